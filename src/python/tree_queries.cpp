// Bounded queries: `range`, `iter_from` and `iter_to`, each answering a snapshot iterator.
// Bounds are already-extracted keys; they never pass through the tree's key extractor.
#include "binding/conversions.h"
#include "python/iterator.h"
#include "python/tree.h"

namespace tervalo {
namespace {

Result<bool> flag_or(PyObject* argument, bool fallback, const char* parameter) {
  if (argument == nullptr) return fallback;
  return for_parameter(parameter, extract_flag(argument));
}

// None and an omitted bound both mean "no bound"; None can never be a key of `range`.
Ref bound_or_absent(PyObject* argument) {
  return argument == nullptr || argument == Py_None ? Ref() : Ref::borrow(argument);
}

}  // namespace

Result<Ref> tree_range(PyAVLTree& self, const BoundArguments& arguments) {
  Ref start = bound_or_absent(arguments[0]);
  Ref end = bound_or_absent(arguments[1]);
  TRY_ASSIGN(const bool include_start, flag_or(arguments[2], true, "include_start"));
  TRY_ASSIGN(const bool include_end, flag_or(arguments[3], false, "include_end"));
  auto values = self.tree.range(start.get(), end.get(), include_start, include_end);
  start.reset();
  end.reset();
  TRY_ASSIGN(ValueList found, std::move(values));
  return create_iterator(std::move(found));
}

namespace {

using CountedWalk = Result<ValueList> (PythonAvlTree::*)(PyObject*, std::size_t) const;

// `iter_from` and `iter_to`: the bound as passed (None is an ordinary key here), then `count`.
template <CountedWalk walk>
Result<Ref> counted_query(PyAVLTree& self, const BoundArguments& arguments) {
  Ref bound = Ref::borrow(arguments[0]);
  TRY_ASSIGN(const std::size_t count, for_parameter("count", extract_count(arguments[1])));
  auto values = (self.tree.*walk)(bound.get(), count);
  bound.reset();
  TRY_ASSIGN(ValueList found, std::move(values));
  return create_iterator(std::move(found));
}

}  // namespace

Result<Ref> tree_iter_from(PyAVLTree& self, const BoundArguments& arguments) {
  return counted_query<&PythonAvlTree::iter_from>(self, arguments);
}

Result<Ref> tree_iter_to(PyAVLTree& self, const BoundArguments& arguments) {
  return counted_query<&PythonAvlTree::iter_to>(self, arguments);
}

}  // namespace tervalo
