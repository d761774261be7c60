#include "binding/error.h"

#include <cstdio>
#include <cstdlib>

#include "generated/surface_docs.h"

namespace tervalo {
namespace {

// Created once, never freed: faults may be converted at any time, even during shutdown.
PyObject* panic_type_cell = nullptr;

constexpr const char kGenericPanicMessage[] = "internal fault in tervalo's native code";

std::string utf8_or(PyObject* text, const char* fallback) {
  Py_ssize_t size = 0;
  const char* data = text ? PyUnicode_AsUTF8AndSize(text, &size) : nullptr;
  if (data == nullptr) {
    PyErr_Clear();
    return fallback;
  }
  return std::string(data, static_cast<std::size_t>(size));
}

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

// A PanicException that comes back to us from Python code (raised by a callback, or passed
// through one) is our own fault resurfacing: report it and keep unwinding as a fault, so that
// no ordinary error handling on the way can swallow it.
[[noreturn]] void print_panic_and_unwind(Ref exception) {
  Ref text = Ref::steal(PyObject_Str(exception.get()));
  std::string message = utf8_or(text.get(), "Unwrapped panic from Python code");
  PySys_WriteStderr(
      "--- tervalo: an internal fault was fetched from Python code; resuming it ---\n");
  PySys_WriteStderr("Python stack trace below:\n");
  set_raised_exception(std::move(exception));
  PyErr_PrintEx(0);
  throw Panic{std::move(message)};
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
  if (panic_type_cell != nullptr &&
      reinterpret_cast<PyObject*>(Py_TYPE(exception.get())) == panic_type_cell) {
    print_panic_and_unwind(std::move(exception));
  }
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

PyObject* panic_exception_type() {
  if (panic_type_cell == nullptr) {
    PyObject* type = PyErr_NewExceptionWithDoc("tervalo.PanicException", docs::kPanicException,
                                               PyExc_BaseException, nullptr);
    if (type == nullptr) {
      PyErr_Clear();
      throw Panic{"Failed to initialize new exception type."};
    }
    panic_type_cell = type;
  }
  return panic_type_cell;
}

Error from_panic_payload(const Panic& fault) {
  return Error::lazy(panic_exception_type(),
                     fault.message.empty() ? std::string(kGenericPanicMessage) : fault.message);
}

Error from_unknown_exception() { return Error::lazy(panic_exception_type(), kGenericPanicMessage); }

void abort_with(const char* message) noexcept {
  std::fputs(message, stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  std::abort();
}

}  // namespace tervalo
