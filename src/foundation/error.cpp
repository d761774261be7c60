#include "foundation/error.h"

#include "foundation/panic.h"

namespace tervalo {
namespace {

// A build for one interpreter of 3.12 or later uses its single-object calls. The Limited API
// build decides nothing by the headers it was compiled with (it runs on 3.10 and later): it
// uses the fetch/restore triple, which every version provides.
#if !defined(Py_LIMITED_API) && PY_VERSION_HEX >= 0x030C0000
#define TERVALO_SINGLE_OBJECT_ERRORS 1
#else
#define TERVALO_SINGLE_OBJECT_ERRORS 0
#endif

Ref take_raised_exception() {
#if TERVALO_SINGLE_OBJECT_ERRORS
  return Ref::steal(PyErr_GetRaisedException());
#else
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return Ref();
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(traceback);
  Py_XDECREF(type);
  return Ref::steal(value);
#endif
}

void set_raised_exception(Ref exception) {
#if TERVALO_SINGLE_OBJECT_ERRORS
  PyErr_SetRaisedException(exception.release());
#else
  PyObject* value = exception.release();
  PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value)));
  PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

}  // namespace

Error Error::lazy(PyObject* type, std::string message) {
  Error error;
  error.state_->type = type;
  error.state_->message = std::move(message);
  return error;
}

Error Error::lazy_without_arguments(PyObject* type) {
  Error error;
  error.state_->type = type;
  return error;
}

Error Error::from_exception(Ref exception) {
  Error error;
  error.state_->exception = std::move(exception);
  return error;
}

Error Error::fetch() {
  Ref exception = take_raised_exception();
  if (!exception) {
    return lazy(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  if (is_panic_exception(exception.get())) resume_panic(std::move(exception));
  return from_exception(std::move(exception));
}

void Error::restore() && {
  State& state = *state_;
  if (state.exception) {
    set_raised_exception(std::move(state.exception));
  } else if (state.message) {
    PyErr_SetString(state.type, state.message->c_str());
  } else {
    PyErr_SetNone(state.type);
  }
}

PyObject* Error::exception() {
  State& state = *state_;
  if (!state.exception) {
    Ref built;
    if (state.message) {
      Ref text = Ref::steal(PyUnicode_FromStringAndSize(
          state.message->data(), static_cast<Py_ssize_t>(state.message->size())));
      if (text) built = Ref::steal(call_one(state.type, text.get()));
    } else {
      built = Ref::steal(PyObject_CallNoArgs(state.type));
    }
    if (!built) built = take_raised_exception();
    state.exception = std::move(built);
  }
  return state.exception.get();
}

Error cast_error(PyObject* object, const char* target) {
  if (object == Py_None) {
    return Error::lazy(PyExc_TypeError,
                       std::string("'None' is not an instance of '") + target + "'");
  }
  Ref qualname = Ref::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
  if (!qualname) PyErr_Clear();
  std::string name = utf8_or(qualname.get(), "<failed to extract type name>");
  return Error::lazy(PyExc_TypeError,
                     "'" + name + "' object is not an instance of '" + target + "'");
}

std::string utf8_or(PyObject* text, const char* fallback) {
  Py_ssize_t size = 0;
  const char* data = text ? PyUnicode_AsUTF8AndSize(text, &size) : nullptr;
  if (data == nullptr) {
    PyErr_Clear();
    return fallback;
  }
  return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace tervalo
