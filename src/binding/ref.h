// Owning references to Python objects.
//
// `Ref` is the only type in the module that releases a reference. A raw `PyObject*` is always
// borrowed and is never stored past the call that received it. A `Ref` taken by value is
// consumed; a `Ref` returned is a new reference.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tervalo {

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
  Ref& operator=(Ref&& other) noexcept {
    // Release the old object last: its finaliser may run Python code that looks at us.
    PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
    Py_XDECREF(old);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference to the caller; the only way a reference leaves RAII.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  // Releases the reference now, leaving this empty.
  void reset() noexcept {
    PyObject* old = std::exchange(object_, nullptr);
    Py_XDECREF(old);
  }

 private:
  explicit Ref(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace tervalo
