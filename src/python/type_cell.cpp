#include "python/type_cell.h"

#include <string>

#include "foundation/panic.h"

namespace tervalo {

Result<PyTypeObject*> TypeCell::get() {
  if (type != nullptr) return type;
  PyObject* created = PyType_FromSpec(type_spec);
  if (created == nullptr) {
    Error cause = Error::fetch();
    Error wrapped =
        Error::lazy(PyExc_RuntimeError,
                    std::string("An error occurred while initializing class ") + class_name);
    PyException_SetCause(wrapped.exception(), Py_NewRef(cause.exception()));
    return fail(std::move(wrapped));
  }
  type = reinterpret_cast<PyTypeObject*>(created);
  return type;
}

PyTypeObject* TypeCell::get_for_instance() {
  auto created = get();
  if (created) return *created;
  std::move(created).error().restore();
  PyErr_WriteUnraisable(nullptr);
  throw Panic{std::string("failed to create type object for `") + class_name + "`"};
}

}  // namespace tervalo
