// Owning references to Python objects.
//
// `Ref` is the only type in the module that releases a reference. A raw `PyObject*` is always
// borrowed and is never stored past the call that received it. A `Ref` taken by value is
// consumed; a `Ref` returned is a new reference.
//
// A release can run any Python code (a finaliser), and that code can end the thread it runs on:
// at interpreter exit, a daemon thread that asks for the interpreter lock back is ended with
// `pthread_exit`, which unwinds every C++ frame on its stack. Releases are therefore never
// `noexcept`, and neither is anything that releases through them. Frames unwound that way no
// longer hold the interpreter lock: a last reference is then left alone, since deallocating
// without the lock could run Python code with no thread state at all.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <span>
#include <utility>

namespace tervalo {

// Whether this thread holds the interpreter lock. Asked only while the interpreter is being
// finalised.
bool holds_interpreter_lock();

// Whether this thread is being ended under us. That happens only while the interpreter is being
// finalised (when it no longer counts as initialised), so the common case costs one load.
inline bool thread_is_being_ended() { return !Py_IsInitialized() && !holds_interpreter_lock(); }

// `callable(argument)`: a new reference, or null with an exception set. Builds no argument
// tuple (the one-argument vector call itself is outside the Limited API).
inline PyObject* call_one(PyObject* callable, PyObject* argument) {
  return PyObject_CallFunctionObjArgs(callable, argument, static_cast<PyObject*>(nullptr));
}

// Drops one reference to `object` (which may be null).
inline void release_reference(PyObject* object) {
  if (object == nullptr) return;
  if (Py_REFCNT(object) == 1 && thread_is_being_ended()) return;
  Py_DECREF(object);
}

class Ref {
 public:
  Ref() noexcept = default;
  // Takes over a reference the caller already owns (a "new reference" from the C API).
  static Ref steal(PyObject* object) noexcept { return Ref(object); }
  // Takes a new reference to a borrowed object.
  static Ref borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return Ref(object);
  }

  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) {
    // Release the old object last: its finaliser may run Python code that looks at us.
    PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
    release_reference(old);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() noexcept(false) { release_reference(object_); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference to the caller; the only way a reference leaves RAII.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  // Releases the reference now, leaving this empty.
  void reset() { release_reference(std::exchange(object_, nullptr)); }

 private:
  explicit Ref(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

// Releases every reference in `refs`, front to back, leaving each empty. A container of
// references is always emptied this way before it is destroyed: the destructor of a standard
// container is `noexcept`, and a release that unwinds inside it (a thread being ended) would end
// the process. Releasing here, outside any `noexcept` frame, lets that unwinding pass.
inline void release_each(std::span<Ref> refs) {
  for (Ref& ref : refs) ref.reset();
}

}  // namespace tervalo
