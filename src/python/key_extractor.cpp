#include "python/key_extractor.h"

namespace tervalo {

Result<KeyExtractor> KeyExtractor::extract(PyObject* object) {
  if (PyType_HasFeature(Py_TYPE(object), Py_TPFLAGS_UNICODE_SUBCLASS)) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &size);
    if (text == nullptr) return fail_fetched();
    // Not checked for being an identifier: a bad name fails when the first key is computed.
    return KeyExtractor(Attribute{std::string(text, static_cast<std::size_t>(size))});
  }
  if (PyCallable_Check(object)) return KeyExtractor(Callable{Ref::borrow(object)});
  return fail(PyExc_TypeError, "key must be an attribute name, a callable, or None");
}

Result<Ref> KeyExtractor::computed_key_of(PyObject* value) const {
  if (const auto* attribute = std::get_if<Attribute>(&policy_)) {
    // A fresh name object per lookup: the name is stored as text, never as a Python object.
    Ref name = Ref::steal(PyUnicode_FromStringAndSize(
        attribute->name.data(), static_cast<Py_ssize_t>(attribute->name.size())));
    if (!name) return fail_fetched();
    Ref key = Ref::steal(PyObject_GetAttr(value, name.get()));
    name.reset();
    if (!key) return fail_fetched();
    return key;
  }
  // Passed on the stack: a callable that takes its arguments that way gets no tuple made.
  const Ref& callable = std::get_if<Callable>(&policy_)->callable;
  Ref key = Ref::steal(PyObject_CallFunctionObjArgs(callable.get(), value, nullptr));
  if (!key) return fail_fetched();
  return key;
}

Result<Ref> KeyExtractor::as_key_spec() const {
  if (std::holds_alternative<Identity>(policy_)) return Ref::borrow(Py_None);
  if (const auto* attribute = std::get_if<Attribute>(&policy_)) {
    Ref name = Ref::steal(PyUnicode_FromStringAndSize(
        attribute->name.data(), static_cast<Py_ssize_t>(attribute->name.size())));
    if (!name) return fail_fetched();
    return name;
  }
  return Ref::borrow(std::get_if<Callable>(&policy_)->callable.get());
}

Result<PythonValues> PythonValues::extract(PyObject* iterable) {
  Ref iterator = Ref::steal(PyObject_GetIter(iterable));
  if (!iterator) return fail_fetched();
  PythonValues values;
  // The size of an exact list or tuple is known without running Python code; anything else
  // grows as it goes (no length hint is asked for).
  if (PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable)) {
    values.items_.reserve(static_cast<std::size_t>(Py_SIZE(iterable)));
  }
  while (true) {
    Ref item = Ref::steal(PyIter_Next(iterator.get()));
    if (item) {
      values.items_.push_back(std::move(item));
      continue;
    }
    if (PyErr_Occurred() == nullptr) break;
    Error error = Error::fetch();
    iterator.reset();
    values.release_from(0);
    return fail(std::move(error));
  }
  return values;
}

}  // namespace tervalo
