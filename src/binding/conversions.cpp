#include "binding/conversions.h"

#include <cstdint>
#include <limits>
#include <string_view>

namespace tervalo {
namespace {

bool attribute_equals(PyObject* object, const char* attribute, std::string_view expected) {
  Ref value = Ref::steal(PyObject_GetAttrString(object, attribute));
  if (!value || !PyUnicode_Check(value.get())) {
    PyErr_Clear();
    return false;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(value.get(), &size);
  if (text == nullptr) {
    PyErr_Clear();
    return false;
  }
  return std::string_view(text, static_cast<std::size_t>(size)) == expected;
}

bool is_numpy_bool_type(PyObject* type) {
  return attribute_equals(type, "__module__", "numpy") &&
         (attribute_equals(type, "__name__", "bool_") ||
          attribute_equals(type, "__name__", "bool"));
}

Result<std::size_t> to_machine_size(PyObject* integer) {
  const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    return fail_fetched();
  }
  if (value > std::numeric_limits<std::size_t>::max()) {
    return fail(PyExc_OverflowError, "out of range integral type conversion attempted");
  }
  return static_cast<std::size_t>(value);
}

}  // namespace

Error argument_extraction_error(const char* parameter, Error error) {
  PyObject* exception = error.exception();
  Ref note = Ref::steal(PyUnicode_FromFormat("while processing '%s'", parameter));
  Ref added;
  if (note && exception != nullptr) {
    added = Ref::steal(PyObject_CallMethod(exception, "add_note", "O", note.get()));
  }
  // Interpreters before 3.11 have no notes; the error stands as it is.
  if (!added) PyErr_Clear();
  return error;
}

Result<bool> extract_flag(PyObject* object) {
  if (PyBool_Check(object)) return object == Py_True;
  auto* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  if (is_numpy_bool_type(type)) {
    // Looked up on the type, as the interpreter looks up special methods.
    Ref method = Ref::steal(PyObject_GetAttrString(type, "__bool__"));
    if (!method) {
      PyErr_Clear();
      Ref message = Ref::steal(PyUnicode_FromFormat(
          "object of type '%S' does not define a '__bool__' conversion", type));
      if (!message) return fail_fetched();
      Ref exception = Ref::steal(call_one(PyExc_TypeError, message.get()));
      if (!exception) return fail_fetched();
      return fail(Error::from_exception(std::move(exception)));
    }
    Ref truth = Ref::steal(call_one(method.get(), object));
    if (!truth) return fail_fetched();
    if (PyBool_Check(truth.get())) return truth.get() == Py_True;
    return fail(cast_error(truth.get(), "bool"));
  }
  return fail(cast_error(object, "bool"));
}

Result<std::size_t> extract_count(PyObject* object) {
  if (PyLong_Check(object)) return to_machine_size(object);
  Ref index = Ref::steal(PyNumber_Index(object));
  if (!index) return fail_fetched();
  return to_machine_size(index.get());
}

}  // namespace tervalo
