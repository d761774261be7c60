// Entry frames: the only functions the interpreter calls.
//
// Each frame is written once, as a template over the method body. It runs the body in a fixed
// order (bind, hold, then the body converts and runs), turns an error value into the current
// exception and the calling convention's failure return, and converts any C++ exception that
// reaches it: a fault becomes `PanicException`, exhausted memory `MemoryError`. That conversion
// is written once, in `convert_exceptions`, and every frame goes through it.
//
// One kind of unwinding is not an exception and passes through untouched: a thread being ended
// (`pthread_exit`, which CPython 3.10 to 3.13 use for daemon threads at interpreter exit) unwinds
// every frame on its stack, the interpreter's included, with a foreign exception
// (`abi::__forced_unwind` to libstdc++; libc++abi has no name for it). Catching it for good, or
// meeting a `noexcept` frame, would end the process, and so would rethrowing it from a
// catch-all under libc++abi, which restarts it as an ordinary throw. So no frame here is
// `noexcept` and no handler catches everything: every handler names a C++ type, which a forced
// unwind never matches on either runtime. `std::exception` covers every fault the standard
// library can raise; `Panic` and `std::bad_alloc` are the two this code expects.
#pragma once

#include <cassert>
#include <exception>
#include <new>
#include <optional>
#include <type_traits>

#include "binding/arguments.h"
#include "binding/borrow.h"
#include "binding/release_nesting.h"
#include "foundation/error.h"
#include "foundation/panic.h"

namespace tervalo {

namespace detail {

// How a body's result reaches the interpreter, per calling convention.
template <class T>
struct Outcome;
template <>
struct Outcome<Ref> {
  using C = PyObject*;
  static constexpr C kFailure = nullptr;
  static C convert(Ref&& value) noexcept { return value.release(); }
};
template <>
struct Outcome<void> {
  using C = int;
  static constexpr C kFailure = -1;
};
template <>
struct Outcome<Py_ssize_t> {
  using C = Py_ssize_t;
  static constexpr C kFailure = -1;
  static C convert(Py_ssize_t value) noexcept { return value; }
};
template <>
struct Outcome<bool> {
  using C = int;
  static constexpr C kFailure = -1;
  static C convert(bool value) noexcept { return value ? 1 : 0; }
};

template <class R>
struct ResultValue;
template <class T>
struct ResultValue<Result<T>> {
  using type = T;
};

}  // namespace detail

// Runs `body` and converts any C++ exception that reaches it: the exception becomes the
// interpreter's current exception and `raised` (called with it set) says what the frame returns.
// A fault while a fault is being converted ends the process: there is no sound way back into
// Python.
template <class Body, class Raised>
auto convert_exceptions(Body&& body, Raised&& raised) -> std::invoke_result_t<Body> {
  try {
    try {
      return body();
    } catch (const Panic& fault) {
      from_panic_payload(fault).restore();
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (const std::exception&) {
      from_unknown_exception().restore();
    }
    return raised();
  } catch (const std::exception&) {
    abort_with("uncaught panic at ffi boundary");
  } catch (const Panic&) {
    abort_with("uncaught panic at ffi boundary");
  }
}

// Runs `body` (returning `Result<T>`) and converts its outcome for the interpreter.
template <class Body>
auto run_entry(Body&& body) {
  using T = typename detail::ResultValue<std::invoke_result_t<Body>>::type;
  using Out = detail::Outcome<T>;
  // The interpreter reads the return value and its error indicator together: a failure with no
  // exception set surfaces as a `SystemError` about a missing exception, and a success with one
  // set as a `SystemError` in whatever code next checks, far from the body that left it. Debug
  // builds check both directions at the one place every body returns through.
  const auto failed = [] {
    assert(PyErr_Occurred() != nullptr && "failure returned without an exception set");
    return Out::kFailure;
  };
  return convert_exceptions(
      [&]() -> typename Out::C {
        auto result = body();
        if (!result) {
          std::move(result).error().restore();
          return failed();
        }
        assert(PyErr_Occurred() == nullptr && "success returned with an exception set");
        if constexpr (std::is_void_v<T>) {
          return 0;
        } else {
          return Out::convert(std::move(*result));
        }
      },
      failed);
}

// Release of an instance: failures cannot be raised from here, so they are reported as
// unraisable and the release returns normally. Releases nested too deeply are postponed.
template <void (*Release)(PyObject*)>
void dealloc_entry(PyObject* self) {
  const ReleaseNesting nesting;
  if (nesting.too_deep()) {
    postpone_release(self, dealloc_entry<Release>);
    return;
  }
  convert_exceptions(
      [&] {
        Release(self);
        if (nesting.outermost()) release_postponed();
      },
      [] { PyErr_WriteUnraisable(nullptr); });
}

// Every instance type has a `borrow` field; the casts happen here, once.
template <class Self>
Self& receiver(PyObject* self) noexcept {
  return *reinterpret_cast<Self*>(self);
}

// `body(object, arguments...)` under a hold of `kind` on `object`, or the conflict when the hold
// cannot be taken.
template <Hold kind, class Body, class Self, class... Arguments>
auto run_held(Body body, Self& object, Arguments&&... arguments)
    -> std::invoke_result_t<Body, Self&, Arguments...> {
  const HoldGuard<kind> hold(object.borrow);
  if (!hold) return fail(HoldGuard<kind>::conflict());
  return body(object, std::forward<Arguments>(arguments)...);
}

// METH_FASTCALL | METH_KEYWORDS method with a receiver.
template <class Self, const FunctionDescription& description, Hold kind,
          Result<Ref> (*Body)(Self&, const BoundArguments&)>
PyObject* fastcall_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return run_entry([&]() -> Result<Ref> {
    BoundArguments bound{};
    TRY(description.extract_arguments_fastcall(args, nargs, kwnames, bound));
    return run_held<kind>(Body, receiver<Self>(self), bound);
  });
}

// METH_FASTCALL | METH_KEYWORDS | METH_STATIC module function: no receiver, no hold.
template <const FunctionDescription& description, Result<Ref> (*Body)(const BoundArguments&)>
PyObject* fastcall_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_entry([&]() -> Result<Ref> {
    BoundArguments bound{};
    TRY(description.extract_arguments_fastcall(args, nargs, kwnames, bound));
    return Body(bound);
  });
}

// METH_NOARGS method.
template <class Self, Hold kind, Result<Ref> (*Body)(Self&)>
PyObject* noargs_method(PyObject* self, PyObject*) {
  return run_entry([&] { return run_held<kind>(Body, receiver<Self>(self)); });
}

// Protocol slots taking only the receiver (`len`, `bool`, `iter`, `next`, `repr`).
template <class Self, Hold kind, auto Body>
auto unary_slot(PyObject* self) {
  return run_entry([&] { return run_held<kind>(Body, receiver<Self>(self)); });
}

// `value in tree`.
template <class Self, Hold kind, Result<bool> (*Body)(Self&, PyObject*)>
int contains_slot(PyObject* self, PyObject* value) {
  return run_entry([&] { return run_held<kind>(Body, receiver<Self>(self), value); });
}

// Property getter.
template <class Self, Hold kind, Result<Ref> (*Body)(Self&)>
PyObject* getter(PyObject* self, void*) {
  return unary_slot<Self, kind, Body>(self);
}

// `tp_new`: binds from the argument tuple and keyword dictionary; the object does not exist yet,
// so there is nothing to hold.
template <const FunctionDescription& description,
          Result<Ref> (*Body)(PyTypeObject*, const BoundArguments&)>
PyObject* new_slot(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return run_entry([&]() -> Result<Ref> {
    BoundArguments bound{};
    TRY(description.extract_arguments_tuple_dict(args, kwargs, bound));
    return Body(type, bound);
  });
}

// Casts an entry frame to the generic method pointer type without tripping
// -Wcast-function-type.
template <class F>
PyCFunction as_method(F function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// Casts an entry frame to the untyped pointer of a type or module slot table.
template <class F>
void* as_slot(F function) noexcept {
  return reinterpret_cast<void*>(function);
}

}  // namespace tervalo
