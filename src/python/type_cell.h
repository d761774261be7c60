// Process-wide cells for the module's heap types.
//
// The types are created once, on first need (module exec or the first instance), and live as
// long as the process: every module object made in the process shares them, so trees from a
// re-imported module have the same type. This is why the module keeps no per-module state.
#pragma once

#include "foundation/error.h"

namespace tervalo {

struct TypeCell {
  const char* class_name;
  PyType_Spec* type_spec;
  PyTypeObject* type = nullptr;  // one owned reference, never released

  // The type, created on first use. A creation failure is a RuntimeError naming the class,
  // with the interpreter's error as its cause.
  Result<PyTypeObject*> get();
  // For instance creation, where a missing type is a fault: the creation error is reported
  // as unraisable and a `Panic` is thrown.
  PyTypeObject* get_for_instance();
};

}  // namespace tervalo
