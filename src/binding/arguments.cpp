#include "binding/arguments.h"

#include <cstring>
#include <string>
#include <string_view>

namespace tervalo {
namespace {

std::string were(std::size_t given) { return given == 1 ? " was given" : " were given"; }

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string push_parameter_list(std::span<const char* const> names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) text += ",";
      text += " ";
      if (i + 1 == names.size()) text += "and ";
    }
    text += "'";
    text += names[i];
    text += "'";
  }
  return text;
}

std::string positional_only_list(std::span<PyObject*> names) {
  std::array<const char*, kMaxParameters> texts{};
  // Each name was already read as UTF-8 when it was bound, so reading it again cannot fail.
  for (std::size_t i = 0; i < names.size(); ++i) {
    texts[i] = PyUnicode_AsUTF8AndSize(names[i], nullptr);
  }
  return push_parameter_list(std::span<const char* const>(texts.data(), names.size()));
}

}  // namespace

std::string FunctionDescription::rendered_name() const {
  std::string name;
  if (class_name != nullptr) {
    name += class_name;
    name += ".";
  }
  name += function_name;
  name += "()";
  return name;
}

Status FunctionDescription::bind_keyword(PyObject* name, PyObject* value,
                                         std::span<PyObject*> output,
                                         std::span<PyObject*> positional_only_by_keyword,
                                         std::size_t& positional_only_seen) const {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
  std::size_t slot = output.size();
  if (text != nullptr) {
    const std::string_view keyword(text, static_cast<std::size_t>(size));
    const std::size_t positional_count = positional_parameters.size();
    for (std::size_t i = 0; i < keyword_only_parameters.size(); ++i) {
      if (keyword == keyword_only_parameters[i].name) slot = positional_count + i;
    }
    if (slot == output.size()) {
      for (std::size_t i = 0; i < positional_count; ++i) {
        if (keyword != positional_parameters[i]) continue;
        if (i < positional_only_count) {
          positional_only_by_keyword[positional_only_seen++] = name;
          return {};
        }
        slot = i;
      }
    }
  } else {
    // Not encodable (a lone surrogate): it cannot name any of our parameters.
    PyErr_Clear();
  }
  if (slot == output.size()) {
    Ref message = Ref::steal(PyUnicode_FromFormat("%s got an unexpected keyword argument '%S'",
                                                  rendered_name().c_str(), name));
    if (!message) return fail_fetched();
    Ref exception = Ref::steal(call_one(PyExc_TypeError, message.get()));
    if (!exception) return fail_fetched();
    return fail(Error::from_exception(std::move(exception)));
  }
  if (output[slot] != nullptr) {
    const char* parameter = slot < positional_parameters.size()
                                ? positional_parameters[slot]
                                : keyword_only_parameters[slot - positional_parameters.size()].name;
    return fail(PyExc_TypeError,
                rendered_name() + " got multiple values for argument '" + parameter + "'");
  }
  output[slot] = value;
  return {};
}

Status FunctionDescription::check_complete(std::size_t given_positional,
                                           std::span<PyObject*> output,
                                           std::span<PyObject*> positional_only_by_keyword,
                                           std::size_t positional_only_seen) const {
  if (positional_only_seen > 0) {
    return fail(PyExc_TypeError,
                rendered_name() +
                    " got some positional-only arguments passed as keyword arguments: " +
                    positional_only_list(positional_only_by_keyword.first(positional_only_seen)));
  }
  std::array<const char*, kMaxParameters> missing{};
  std::size_t missing_count = 0;
  const char* kind = nullptr;
  if (given_positional < required_positional_count) {
    for (std::size_t i = 0; i < required_positional_count; ++i) {
      if (output[i] == nullptr) missing[missing_count++] = positional_parameters[i];
    }
    kind = "positional";
  }
  if (missing_count == 0) {
    for (std::size_t i = 0; i < keyword_only_parameters.size(); ++i) {
      if (keyword_only_parameters[i].required &&
          output[positional_parameters.size() + i] == nullptr) {
        missing[missing_count++] = keyword_only_parameters[i].name;
      }
    }
    kind = "keyword";
  }
  if (missing_count == 0) return {};
  return fail(PyExc_TypeError,
              rendered_name() + " missing " + std::to_string(missing_count) + " required " + kind +
                  (missing_count == 1 ? " argument: " : " arguments: ") +
                  push_parameter_list(std::span<const char* const>(missing.data(), missing_count)));
}

Status FunctionDescription::bind_positional(PyObject* const* args, std::size_t given,
                                            std::span<PyObject*> output) const {
  const std::size_t positional_count = positional_parameters.size();
  for (std::size_t i = 0; i < given && i < positional_count; ++i) output[i] = args[i];
  if (given <= positional_count) return {};
  if (required_positional_count == positional_count) {
    return fail(PyExc_TypeError, rendered_name() + " takes " + std::to_string(positional_count) +
                                     " positional arguments but " + std::to_string(given) +
                                     were(given));
  }
  return fail(PyExc_TypeError, rendered_name() + " takes from " +
                                   std::to_string(required_positional_count) + " to " +
                                   std::to_string(positional_count) + " positional arguments but " +
                                   std::to_string(given) + were(given));
}

Status FunctionDescription::extract_arguments_fastcall(PyObject* const* args, Py_ssize_t nargs,
                                                       PyObject* kwnames,
                                                       std::span<PyObject*> output) const {
  const std::size_t given = static_cast<std::size_t>(nargs);
  TRY(bind_positional(args, given, output));
  std::array<PyObject*, kMaxParameters> positional_only_by_keyword{};
  std::size_t positional_only_seen = 0;
  if (kwnames != nullptr) {
    const Py_ssize_t keyword_count = PyTuple_Size(kwnames);
    for (Py_ssize_t i = 0; i < keyword_count; ++i) {
      TRY(bind_keyword(PyTuple_GetItem(kwnames, i), args[nargs + i], output,
                       positional_only_by_keyword, positional_only_seen));
    }
  }
  return check_complete(given, output, positional_only_by_keyword, positional_only_seen);
}

Status FunctionDescription::extract_arguments_tuple_dict(PyObject* args, PyObject* kwargs,
                                                         std::span<PyObject*> output) const {
  const std::size_t given = static_cast<std::size_t>(PyTuple_Size(args));
  // Laid out like a vector call's positional part; binding reads no item past the parameters.
  std::array<PyObject*, kMaxParameters> items{};
  for (std::size_t i = 0; i < given && i < items.size(); ++i) {
    items[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
  }
  TRY(bind_positional(items.data(), given, output));
  std::array<PyObject*, kMaxParameters> positional_only_by_keyword{};
  std::size_t positional_only_seen = 0;
  Py_ssize_t position = 0;
  PyObject *name = nullptr, *value = nullptr;
  while (kwargs != nullptr && PyDict_Next(kwargs, &position, &name, &value)) {
    TRY(bind_keyword(name, value, output, positional_only_by_keyword, positional_only_seen));
  }
  return check_complete(given, output, positional_only_by_keyword, positional_only_seen);
}

}  // namespace tervalo
