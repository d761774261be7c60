// Creating and releasing instances of the module's heap types.
//
// Instance records are a Python object header followed by C++ members. The interpreter
// allocates the memory (through `object.__new__`, so the type's allocator is used); the C++
// members are constructed in place afterwards and destroyed explicitly before the memory goes
// back, in the order the type's release function chooses.
#pragma once

#include "foundation/error.h"
#include "foundation/panic.h"

namespace tervalo {

// Allocates an uninitialised instance of `type` through `object.__new__(type)`.
inline Result<Ref> allocate_instance(PyTypeObject* type) {
  Ref no_arguments = Ref::steal(PyTuple_New(0));
  if (!no_arguments) return fail_fetched();
  static const auto object_new =
      reinterpret_cast<newfunc>(PyType_GetSlot(&PyBaseObject_Type, Py_tp_new));
  Ref object = Ref::steal(object_new(type, no_arguments.get(), nullptr));
  if (!object) return fail_fetched();
  return object;
}

// Gives the memory of an instance whose C++ members are already destroyed back to its type,
// and drops the reference that every instance of a heap type holds on its type.
inline void free_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  Ref base = Ref::borrow(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  if (free_slot == nullptr) throw Panic{"PyBaseObject_Type should have tp_free"};
  free_slot(self);
  Py_DECREF(type);
}

}  // namespace tervalo
