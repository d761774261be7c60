// Module start-up: the module definition and its exec step.
//
// The module has no per-module state (m_size 0): its types live in process-wide cells, so every
// module object in the process hands out trees of one and the same type.
#include <string>

#include "binding/trampoline.h"
#include "foundation/panic.h"
#include "generated/surface_docs.h"
#include "python/iterator.h"
#include "python/pickle.h"
#include "python/tree.h"

namespace tervalo {
namespace {

// Appends `name` to the module's `__all__` (creating the list when there is none) and sets the
// attribute.
Status add(PyObject* module, const char* name, PyObject* value) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return fail_fetched();
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return fail_fetched();
  } else if (!PyList_Check(all.get())) {
    return fail(cast_error(all.get(), "list"));
  }
  Ref name_object = Ref::steal(PyUnicode_FromString(name));
  if (!name_object) return fail_fetched();
  if (PyList_Append(all.get(), name_object.get()) < 0) {
    PyErr_Clear();
    throw Panic{"could not append __name__ to __all__"};
  }
  if (PyObject_SetAttr(module, name_object.get(), value) < 0) return fail_fetched();
  return {};
}

Status add_class(PyObject* module, TypeCell& cell) {
  TRY_ASSIGN(PyTypeObject * type, cell.get());
  return add(module, cell.class_name, reinterpret_cast<PyObject*>(type));
}

PyMethodDef from_sorted_entries_definition = {
    "_avltree_from_sorted_entries",
    as_method(fastcall_function<kFromSortedEntriesDescription, avltree_from_sorted_entries>),
    METH_FASTCALL | METH_KEYWORDS | METH_STATIC, docs::kFromSortedEntries};

// The function is static: it receives no module object and its `__self__` reads None.
Status add_function(PyObject* module, PyMethodDef* definition) {
  PyObject* module_name = PyModule_GetNameObject(module);
  if (module_name == nullptr) return fail_fetched();
  Ref name_owner = Ref::steal(module_name);
  Ref function = Ref::steal(PyCMethod_New(definition, module, module_name, nullptr));
  if (!function) return fail_fetched();
  Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return fail_fetched();
  if (!PyUnicode_Check(name.get())) return fail(cast_error(name.get(), "str"));
  const char* text = PyUnicode_AsUTF8AndSize(name.get(), nullptr);
  if (text == nullptr) return fail_fetched();
  return add(module, text, function.get());
}

Status exec_steps(PyObject* module) {
  if (module == nullptr) return fail_fetched();
  if (Py_TYPE(module) != &PyModule_Type && !PyType_IsSubtype(Py_TYPE(module), &PyModule_Type)) {
    return fail(cast_error(module, "PyModule"));
  }
  TRY(add_class(module, tree_type));
  TRY(add_class(module, iterator_type));
  TRY(add_function(module, &from_sorted_entries_definition));
  Ref version = Ref::steal(PyUnicode_FromString(TERVALO_VERSION));
  if (!version) return fail_fetched();
  TRY(add(module, "__version__", version.get()));
  Ref all = Ref::steal(Py_BuildValue("[ss]", "AVLTree", "__version__"));
  if (!all) return fail_fetched();
  TRY(add(module, "__all__", all.get()));
  // Reachable so that callers can name it in an `except`; kept out of `__all__`.
  if (PyObject_SetAttrString(module, "PanicException", panic_exception_type()) < 0) {
    return fail_fetched();
  }
  return {};
}

int module_exec(PyObject* module) {
  return run_entry([&] { return exec_steps(module); });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, as_slot(module_exec)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "tervalo",
    .m_doc = docs::kModule,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace tervalo

PyMODINIT_FUNC PyInit_tervalo() { return PyModuleDef_Init(&tervalo::module_definition); }
