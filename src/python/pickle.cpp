// Pickling: a tree reduces to its (value, key) pairs in ascending order plus its key extractor,
// and `_avltree_from_sorted_entries` rebuilds it with the sorted builder: unpickling runs no
// comparison and no key computation, and restored keys are the pickled key objects.
#include "python/pickle.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include "binding/conversions.h"
#include "foundation/panic.h"
#include "python_tree/build.h"

namespace tervalo {
namespace {

// Named only in the cast error for a non-sequence; imported on the first such failure.
PyObject* sequence_abc = nullptr;

Result<std::string> sequence_type_name() {
  if (sequence_abc == nullptr) {
    Ref module = Ref::steal(PyImport_ImportModule("collections.abc"));
    if (!module) return fail_fetched();
    PyObject* sequence = PyObject_GetAttrString(module.get(), "Sequence");
    if (sequence == nullptr) return fail_fetched();
    sequence_abc = sequence;
  }
  Ref name = Ref::steal(PyObject_GetAttrString(sequence_abc, "__qualname__"));
  const char* text = name ? PyUnicode_AsUTF8AndSize(name.get(), nullptr) : nullptr;
  if (text == nullptr) return fail_fetched();
  return std::string(text);
}

// A length hint only sizes the first reservation, and only up to a bound: a sequence may
// report any length, but only the pairs it yields take memory.
constexpr std::size_t kMaxReservedFromHint = std::size_t{1} << 16;

// Two object references per pair.
constexpr std::size_t kPairSize = 2 * sizeof(PyObject*);

Status reserve_for_hint(PyObject* pairs, SortedBuilder& entries) {
  const Py_ssize_t hint = PyObject_Size(pairs);
  if (hint < 0) {
    PyErr_Clear();
    return {};
  }
  // Storage for the hint could never be allocated: no object may exceed half the address space.
  const auto largest = static_cast<std::size_t>(PTRDIFF_MAX) / kPairSize;
  if (static_cast<std::size_t>(hint) > largest) throw Panic{"capacity overflow"};
  entries.reserve(std::min(static_cast<std::size_t>(hint), kMaxReservedFromHint));
  return {};
}

// Once per pickled entry: an exact tuple is recognised without a call, and the size of any
// tuple is in its object header (part of the stable ABI). The pair goes straight into the
// builder: no list of pairs is kept on the side.
Status append_pair(PyObject* item, SortedBuilder& entries) {
  if (!Py_IS_TYPE(item, &PyTuple_Type) && !PyTuple_Check(item)) {
    return fail(cast_error(item, "tuple"));
  }
  const Py_ssize_t size = Py_SIZE(item);
  if (size != 2) {
    return fail(PyExc_ValueError,
                "expected tuple of length 2, but got tuple of length " + std::to_string(size));
  }
  entries.append(Ref::borrow(PyTuple_GetItem(item, 0)), Ref::borrow(PyTuple_GetItem(item, 1)));
  return {};
}

Status extract_pairs(PyObject* pairs, SortedBuilder& entries) {
  if (PyType_HasFeature(Py_TYPE(pairs), Py_TPFLAGS_UNICODE_SUBCLASS)) {
    return fail(PyExc_TypeError, "Can't extract `str` to `Vec`");
  }
  if (!PySequence_Check(pairs)) {
    TRY_ASSIGN(const std::string target, sequence_type_name());
    return fail(cast_error(pairs, target.c_str()));
  }
  if (PyList_CheckExact(pairs)) {
    // Iterating an exact list or tuple runs no Python code, and neither does checking a pair,
    // so the items can be read in place (the common case: what `__reduce__` produced).
    const Py_ssize_t size = PyList_Size(pairs);
    entries.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) TRY(append_pair(PyList_GetItem(pairs, i), entries));
    return {};
  }
  if (PyTuple_CheckExact(pairs)) {
    const Py_ssize_t size = PyTuple_Size(pairs);
    entries.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) TRY(append_pair(PyTuple_GetItem(pairs, i), entries));
    return {};
  }
  TRY(reserve_for_hint(pairs, entries));
  Ref iterator = Ref::steal(PyObject_GetIter(pairs));
  if (!iterator) return fail_fetched();
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) TRY(append_pair(item.get(), entries));
  if (PyErr_Occurred() != nullptr) return fail_fetched();
  return {};
}

constexpr const char* kFromSortedEntriesParameters[] = {"pairs", "key_spec"};

}  // namespace

constexpr FunctionDescription kFromSortedEntriesDescription{
    .function_name = "_avltree_from_sorted_entries",
    .class_name = nullptr,
    .positional_parameters = kFromSortedEntriesParameters,
    .required_positional_count = 2,
    .keyword_only_parameters = {}};

Result<Ref> tree_reduce(PyAVLTree& self) {
  Ref pairs = Ref::steal(PyList_New(static_cast<Py_ssize_t>(self.tree.len())));
  if (!pairs) return fail_fetched();
  // Two calls per entry, straight from the walk: the pair takes its own references to the
  // stored objects, and the list takes over the pair (on failure too). Nothing else is taken,
  // so nothing needs dropping again; a failure leaves the pairs made so far to the list.
  Py_ssize_t next = 0;
  const bool listed = self.tree.for_each_in_order([&](PyObject* value, PyObject* key) {
    PyObject* pair = PyTuple_Pack(2, value, key);
    return pair != nullptr && PyList_SetItem(pairs.get(), next++, pair) == 0;
  });
  if (!listed) return fail_fetched();
  if (next != PyList_Size(pairs.get())) throw Panic{"tree length differs from its entry count"};
  TRY_ASSIGN(Ref key_spec, self.key_extractor.as_key_spec());
  // Always through the package-qualified name, so pickles refer to a stable import path.
  Ref module_name = Ref::steal(PyUnicode_FromString("tervalo.tervalo"));
  if (!module_name) return fail_fetched();
  Ref module = Ref::steal(PyImport_Import(module_name.get()));
  if (!module) return fail_fetched();
  Ref rebuild = Ref::steal(PyObject_GetAttrString(module.get(), "_avltree_from_sorted_entries"));
  if (!rebuild) return fail_fetched();
  Ref reduced = Ref::steal(Py_BuildValue("(O(OO))", rebuild.get(), pairs.get(), key_spec.get()));
  if (!reduced) return fail_fetched();
  return reduced;
}

Result<Ref> avltree_from_sorted_entries(const BoundArguments& arguments) {
  SortedBuilder entries;
  TRY(for_parameter("pairs", extract_pairs(arguments[0], entries)));
  KeyExtractor extractor = KeyExtractor::identity();
  if (arguments[1] != Py_None) {
    TRY_ASSIGN(extractor, for_parameter("key_spec", KeyExtractor::extract(arguments[1])));
  }
  PythonAvlTree tree = entries.finish();
  return create_tree(tree_type.get_for_instance(), std::move(extractor), std::move(tree));
}

}  // namespace tervalo
