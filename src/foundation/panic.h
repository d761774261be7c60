// Internal faults.
//
// An internal fault (a broken invariant that ordinary input cannot reach) is the C++ exception
// `Panic`. Only entry frames catch it; they turn it into the Python exception `PanicException`,
// which no ordinary error handling is meant to swallow: when one comes back from Python code it
// is resumed as a fault.
#pragma once

#include <string>

#include "foundation/error.h"

namespace tervalo {

// An internal fault. Thrown for broken invariants only, caught only by entry frames.
struct Panic {
  std::string message;
};

// The process-wide `PanicException` type, created on first use. Borrowed.
PyObject* panic_exception_type();

// Whether `exception` is a `PanicException` (false while the type has not been created yet).
bool is_panic_exception(PyObject* exception);

// Reports a `PanicException` that came back from Python code, with its traceback, on standard
// error, and throws it on as a `Panic` carrying its message.
[[noreturn]] void resume_panic(Ref exception);

// Turns a caught fault into a lazy `PanicException` carrying its message.
Error from_panic_payload(const Panic& fault);

// Turns a non-fault C++ exception that reached an entry frame into an error value.
Error from_unknown_exception();

// Ends the process with `message` on standard error. Used when a fault escapes its conversion.
[[noreturn]] void abort_with(const char* message) noexcept;

}  // namespace tervalo
