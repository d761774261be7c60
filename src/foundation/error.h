// Python errors as values.
//
// Every operation that can fail with a Python exception returns `Result<T>`: either the value or
// an `Error` that carries the exception back up to the entry frame, which restores it. An `Error`
// is lazy (an exception type plus a message, the object built only when someone needs it) or
// holds an exception object fetched from the interpreter. Internal faults are not errors of this
// kind: they are the C++ exception `Panic` (foundation/panic.h).
#pragma once

#include <expected>
#include <memory>
#include <optional>
#include <string>

#include "foundation/ref.h"

namespace tervalo {

class Error {
 public:
  // A lazy exception of a built-in (static) type with a message.
  static Error lazy(PyObject* type, std::string message);
  // A lazy exception of `type` raised with no arguments.
  static Error lazy_without_arguments(PyObject* type);
  // Wraps an exception object that is already built.
  static Error from_exception(Ref exception);
  // Takes the interpreter's current exception. A `PanicException` is not an ordinary error: it
  // is reported and resumed as a fault (this throws `Panic`).
  static Error fetch();

  Error(Error&&) noexcept = default;
  Error& operator=(Error&&) noexcept = default;

  // Makes this the interpreter's current exception.
  void restore() &&;
  // The exception object, built now if the error was lazy. Borrowed from this error.
  PyObject* exception();

 private:
  // Kept out of line: an error value is one pointer wide, so results that carry one stay
  // small on the paths that succeed.
  struct State {
    PyObject* type = nullptr;  // borrowed: built-in types and our own immortal type
    std::optional<std::string> message;
    Ref exception;
  };
  Error() : state_(std::make_unique<State>()) {}
  std::unique_ptr<State> state_;
};

template <class T>
using Result = std::expected<T, Error>;
using Status = Result<void>;

inline std::unexpected<Error> fail(Error error) { return std::unexpected(std::move(error)); }
inline std::unexpected<Error> fail(PyObject* type, std::string message) {
  return std::unexpected(Error::lazy(type, std::move(message)));
}
inline std::unexpected<Error> fail_fetched() { return std::unexpected(Error::fetch()); }

// The `TypeError` for an object that is not of a required type; `target` names that type.
Error cast_error(PyObject* object, const char* target);

// The contents of the str `text` (which may be null) as UTF-8, or `fallback` when there are none
// to read; a failure to read them is cleared.
std::string utf8_or(PyObject* text, const char* fallback);

}  // namespace tervalo

// Propagates the error of a `Result` expression, or binds its value.
#define TERVALO_CONCAT_INNER(a, b) a##b
#define TERVALO_CONCAT(a, b) TERVALO_CONCAT_INNER(a, b)
#define TRY(expr)                                                                           \
  do {                                                                                      \
    auto&& tervalo_try_result = (expr);                                                     \
    if (!tervalo_try_result) return std::unexpected(std::move(tervalo_try_result).error()); \
  } while (0)
#define TRY_ASSIGN_IMPL(tmp, decl, expr)                    \
  auto tmp = (expr);                                        \
  if (!tmp) return std::unexpected(std::move(tmp).error()); \
  decl = std::move(*tmp)
#define TRY_ASSIGN(decl, expr) TRY_ASSIGN_IMPL(TERVALO_CONCAT(tervalo_try_, __LINE__), decl, expr)
