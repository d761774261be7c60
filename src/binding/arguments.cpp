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
                                         std::span<PyObject*> output) const {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
  std::size_t slot = output.size();
  if (text != nullptr) {
    const std::string_view keyword(text, static_cast<std::size_t>(size));
    const std::size_t positional_count = positional_parameters.size();
    for (std::size_t i = 0; i < keyword_only_parameters.size(); ++i) {
      if (keyword == keyword_only_parameters[i]) slot = positional_count + i;
    }
    for (std::size_t i = 0; i < positional_count && slot == output.size(); ++i) {
      if (keyword == positional_parameters[i]) slot = i;
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
    // Kept for keyword-only parameters too, though only a native caller repeating a name in
    // `kwnames` can give one twice (the interpreter refuses that before calling): the message
    // must name the parameter without reading past the positional ones.
    const char* parameter = slot < positional_parameters.size()
                                ? positional_parameters[slot]
                                : keyword_only_parameters[slot - positional_parameters.size()];
    return fail(PyExc_TypeError,
                rendered_name() + " got multiple values for argument '" + parameter + "'");
  }
  output[slot] = value;
  return {};
}

// Only positional parameters can be required, so only they can be missing.
Status FunctionDescription::check_complete(std::size_t given_positional,
                                           std::span<PyObject*> output) const {
  if (given_positional >= required_positional_count) return {};
  std::array<const char*, kMaxParameters> missing{};
  std::size_t missing_count = 0;
  for (std::size_t i = 0; i < required_positional_count; ++i) {
    if (output[i] == nullptr) missing[missing_count++] = positional_parameters[i];
  }
  if (missing_count == 0) return {};
  return fail(PyExc_TypeError,
              rendered_name() + " missing " + std::to_string(missing_count) +
                  " required positional" + (missing_count == 1 ? " argument: " : " arguments: ") +
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
  if (kwnames != nullptr) {
    const Py_ssize_t keyword_count = PyTuple_Size(kwnames);
    for (Py_ssize_t i = 0; i < keyword_count; ++i) {
      TRY(bind_keyword(PyTuple_GetItem(kwnames, i), args[nargs + i], output));
    }
  }
  return check_complete(given, output);
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
  Py_ssize_t position = 0;
  PyObject *name = nullptr, *value = nullptr;
  while (kwargs != nullptr && PyDict_Next(kwargs, &position, &name, &value))
    TRY(bind_keyword(name, value, output));
  return check_complete(given, output);
}

}  // namespace tervalo
