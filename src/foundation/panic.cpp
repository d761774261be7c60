#include "foundation/panic.h"

#include <cstdio>
#include <cstdlib>

#include "generated/surface_docs.h"

namespace tervalo {
namespace {

// Created once, never freed: faults may be converted at any time, even during shutdown.
PyObject* panic_type_cell = nullptr;

constexpr const char kGenericPanicMessage[] = "internal fault in tervalo's native code";

}  // namespace

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

bool is_panic_exception(PyObject* exception) {
  return panic_type_cell != nullptr &&
         reinterpret_cast<PyObject*>(Py_TYPE(exception)) == panic_type_cell;
}

// A PanicException that comes back to us from Python code (raised by a callback, or passed
// through one) is our own fault resurfacing: report it and keep unwinding as a fault, so that
// no ordinary error handling on the way can swallow it.
void resume_panic(Ref exception) {
  Ref text = Ref::steal(PyObject_Str(exception.get()));
  std::string message = utf8_or(text.get(), "Unwrapped panic from Python code");
  PySys_WriteStderr(
      "--- tervalo: an internal fault was fetched from Python code; resuming it ---\n");
  PySys_WriteStderr("Python stack trace below:\n");
  Error::from_exception(std::move(exception)).restore();
  PyErr_PrintEx(0);
  throw Panic{std::move(message)};
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
