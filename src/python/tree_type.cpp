// The `AVLTree` type: its registration tables, construction, insertion and release.
#include <memory>

#include "binding/conversions.h"
#include "binding/instance.h"
#include "binding/trampoline.h"
#include "generated/surface_docs.h"
#include "python/pickle.h"
#include "python/tree.h"
#include "python_tree/construction.h"

namespace tervalo {
namespace {

constexpr const char* kValuesParameter[] = {"values"};
constexpr const char* kKeyParameter[] = {"key"};
constexpr const char* kValueParameter[] = {"value"};
constexpr const char* kKeyOnlyParameter[] = {"key"};

constexpr FunctionDescription kNewDescription{.function_name = "__new__",
                                              .class_name = "AVLTree",
                                              .positional_parameters = kValuesParameter,
                                              .required_positional_count = 0,
                                              .keyword_only_parameters = kKeyParameter};
constexpr const char* kRangeParameters[] = {"start", "end"};
constexpr const char* kRangeFlags[] = {"include_start", "include_end"};
constexpr const char* kIterFromParameters[] = {"start", "count"};
constexpr const char* kIterToParameters[] = {"end", "count"};

// A method of one required argument: a value (its key is derived) or an already-extracted key.
constexpr FunctionDescription one_argument_method(const char* name,
                                                  std::span<const char* const> parameter) {
  return {.function_name = name,
          .class_name = "AVLTree",
          .positional_parameters = parameter,
          .required_positional_count = 1,
          .keyword_only_parameters = {}};
}
constexpr FunctionDescription value_method(const char* name) {
  return one_argument_method(name, kValueParameter);
}
constexpr FunctionDescription key_method(const char* name) {
  return one_argument_method(name, kKeyOnlyParameter);
}

constexpr FunctionDescription kInsertDescription = value_method("insert");
constexpr FunctionDescription kRemoveDescription = value_method("remove");
constexpr FunctionDescription kRemoveKeyDescription = key_method("remove_key");
constexpr FunctionDescription kSearchDescription = value_method("search");
constexpr FunctionDescription kGetDescription = value_method("get");
constexpr FunctionDescription kSearchKeyDescription = key_method("search_key");
constexpr FunctionDescription kContainsDescription = value_method("contains");
constexpr FunctionDescription kHasNodeDescription = value_method("has_node");
constexpr FunctionDescription kContainsKeyDescription = key_method("contains_key");
constexpr FunctionDescription kRangeDescription{.function_name = "range",
                                                .class_name = "AVLTree",
                                                .positional_parameters = kRangeParameters,
                                                .required_positional_count = 0,
                                                .keyword_only_parameters = kRangeFlags};
constexpr FunctionDescription kIterFromDescription{.function_name = "iter_from",
                                                   .class_name = "AVLTree",
                                                   .positional_parameters = kIterFromParameters,
                                                   .required_positional_count = 2,
                                                   .keyword_only_parameters = {}};
constexpr FunctionDescription kIterToDescription{.function_name = "iter_to",
                                                 .class_name = "AVLTree",
                                                 .positional_parameters = kIterToParameters,
                                                 .required_positional_count = 2,
                                                 .keyword_only_parameters = {}};

// Releases, in this order, the value being processed, the values not yet processed, the tree
// built so far and (when the caller returns) the key extractor.
Error abandon_construction(Error error, PythonValues& values, std::size_t next,
                           TreeConstruction& tree) {
  values.release_from(next);
  tree.abandon();
  return error;
}

}  // namespace

Result<Ref> tree_new(PyTypeObject* type, const BoundArguments& arguments) {
  PyObject* values_argument = arguments[0];
  PyObject* key_argument = arguments[1];

  // Every value is drained before the key argument is even looked at.
  PythonValues values;
  if (values_argument != nullptr && values_argument != Py_None) {
    TRY_ASSIGN(values, for_parameter("values", PythonValues::extract(values_argument)));
  }
  KeyExtractor extractor = KeyExtractor::identity();
  if (key_argument != nullptr && key_argument != Py_None) {
    TRY_ASSIGN(extractor, for_parameter("key", KeyExtractor::extract(key_argument)));
  }

  // Keys are computed one value at a time, each entry kept or refused before the next key is
  // computed. Room for the input's length is taken up front only up to a bound; beyond it, node
  // storage grows with the entries actually stored, not with the input: duplicates take none.
  TreeConstruction tree;
  tree.reserve(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    // Sorted values are seldom in memory order, and scattered keys probe the duplicate set
    // anywhere: fetching ahead hides most of the misses.
    values.prefetch(i + 16);
    if (extractor.is_identity() && i + 8 < values.size()) tree.prefetch_key(values.at(i + 8));
    Ref value = values.take(i);
    auto key = extractor.key_of(value.get());
    if (!key) {
      value.reset();
      return fail(abandon_construction(std::move(key).error(), values, i + 1, tree));
    }
    auto inserted = tree.add(std::move(value), std::move(*key));
    if (!inserted)
      return fail(abandon_construction(std::move(inserted).error(), values, i + 1, tree));
  }
  // Laid out in key order, so that every ordered walk of the new tree reads memory front to back.
  return create_tree(type, std::move(extractor), tree.finish());
}

Result<Ref> create_tree(PyTypeObject* type, KeyExtractor extractor, PythonAvlTree tree) {
  auto allocated = allocate_instance(type);
  if (!allocated) {
    tree.clear();
    return allocated;
  }
  auto& self = *reinterpret_cast<PyAVLTree*>(allocated->get());
  std::construct_at(&self.key_extractor, std::move(extractor));
  std::construct_at(&self.tree, std::move(tree));
  std::construct_at(&self.borrow);
  return allocated;
}

Result<Ref> tree_insert(PyAVLTree& self, const BoundArguments& arguments) {
  Ref value = Ref::borrow(arguments[0]);
  TRY_ASSIGN(Ref key, self.key_extractor.key_of(value.get()));
  TRY_ASSIGN(const bool inserted, self.tree.insert(std::move(value), std::move(key)));
  return Ref::borrow(inserted ? Py_True : Py_False);
}

// The hold state is not consulted: nothing can reach an object whose last reference is gone.
void tree_release(PyObject* object) {
  auto& self = *reinterpret_cast<PyAVLTree*>(object);
  std::destroy_at(&self.tree);
  std::destroy_at(&self.key_extractor);
  std::destroy_at(&self.borrow);
  free_instance(object);
}

namespace {

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

template <const FunctionDescription& description, Hold kind,
          Result<Ref> (*Body)(PyAVLTree&, const BoundArguments&)>
PyMethodDef fast(const char* doc) {
  return {description.function_name, as_method(fastcall_method<PyAVLTree, description, kind, Body>),
          kFast, doc};
}

template <Hold kind, Result<Ref> (*Body)(PyAVLTree&)>
PyMethodDef noargs(const char* name, const char* doc) {
  return {name, as_method(noargs_method<PyAVLTree, kind, Body>), METH_NOARGS, doc};
}

template <Result<Ref> (*Body)(PyAVLTree&)>
PyMethodDef shared_noargs(const char* name, const char* doc) {
  return noargs<Hold::Shared, Body>(name, doc);
}

PyMethodDef tree_methods[] = {
    fast<kInsertDescription, Hold::Exclusive, tree_insert>(docs::kInsert),
    fast<kRemoveDescription, Hold::Exclusive, tree_remove>(docs::kRemove),
    fast<kRemoveKeyDescription, Hold::Exclusive, tree_remove_key>(docs::kRemoveKey),
    fast<kSearchDescription, Hold::Shared, tree_search>(docs::kSearch),
    fast<kGetDescription, Hold::Shared, tree_search>(docs::kGet),
    fast<kSearchKeyDescription, Hold::Shared, tree_search_key>(docs::kSearchKey),
    fast<kContainsDescription, Hold::Shared, tree_contains>(docs::kContains),
    fast<kHasNodeDescription, Hold::Shared, tree_contains>(docs::kHasNode),
    fast<kContainsKeyDescription, Hold::Shared, tree_contains_key>(docs::kContainsKey),
    noargs<Hold::Exclusive, tree_clear>("clear", docs::kClear),
    shared_noargs<tree_is_empty>("is_empty", docs::kIsEmpty),
    shared_noargs<tree_first>("first", docs::kFirst),
    shared_noargs<tree_first>("min", docs::kMin),
    shared_noargs<tree_last>("last", docs::kLast),
    shared_noargs<tree_last>("max", docs::kMax),
    fast<kRangeDescription, Hold::Shared, tree_range>(docs::kRange),
    fast<kIterFromDescription, Hold::Shared, tree_iter_from>(docs::kIterFrom),
    fast<kIterToDescription, Hold::Shared, tree_iter_to>(docs::kIterTo),
    shared_noargs<tree_in_order>("in_order", docs::kInOrder),
    shared_noargs<tree_descending>("descending", docs::kDescending),
    shared_noargs<tree_pre_order>("pre_order", docs::kPreOrder),
    shared_noargs<tree_post_order>("post_order", docs::kPostOrder),
    shared_noargs<tree_level_order>("level_order", docs::kLevelOrder),
    shared_noargs<tree_reduce>("__reduce__", docs::kReduce),
    {},
};

PyGetSetDef tree_getset[] = {
    {"height", getter<PyAVLTree, Hold::Shared, tree_height>, nullptr, docs::kHeight, nullptr},
    {},
};

PyType_Slot tree_slots[] = {
    {Py_tp_doc, const_cast<char*>(docs::kTree)},
    {Py_tp_new, as_slot(new_slot<kNewDescription, tree_new>)},
    {Py_mp_length, as_slot(unary_slot<PyAVLTree, Hold::Shared, tree_length>)},
    {Py_nb_bool, as_slot(unary_slot<PyAVLTree, Hold::Shared, tree_bool>)},
    {Py_sq_contains, as_slot(contains_slot<PyAVLTree, Hold::Shared, tree_contains_slot>)},
    {Py_tp_iter, as_slot(unary_slot<PyAVLTree, Hold::Shared, tree_in_order>)},
    {Py_tp_repr, as_slot(unary_slot<PyAVLTree, Hold::Shared, tree_repr>)},
    {Py_tp_methods, tree_methods},
    {Py_tp_getset, tree_getset},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, as_slot(dealloc_entry<tree_release>)},
    {0, nullptr},
};

// Deliberately final, without collector support and mutable: instances are plain containers
// that never take part in cycle collection.
PyType_Spec tree_spec = {
    .name = "tervalo.AVLTree",
    .basicsize = static_cast<int>(sizeof(PyAVLTree)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = tree_slots,
};

}  // namespace

TypeCell tree_type{"AVLTree", &tree_spec};

}  // namespace tervalo
