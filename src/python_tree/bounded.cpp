// Bounded queries by already-extracted keys. Unlike the whole-tree listings these compare, so
// they can fail; a failure releases whatever was collected and yields no partial result.
//
// Operand order matters to user comparison methods: a node's stored key is the left operand and
// the bound the right (start left of end for the start-to-end check). Lookups and insertion put
// the probe on the left instead.
#include <algorithm>

#include "python_tree/python_tree.h"

namespace tervalo {
namespace {

struct Bounds {
  PyObject* start;  // borrowed; null when there is no lower bound
  PyObject* end;    // borrowed; null when there is no upper bound
  bool include_start;
  bool include_end;
};

// Both comparisons at a node come before anything in its left subtree. A subtree is entered
// only when the strict comparisons say it can hold keys inside the bounds, whatever the flags.
Status collect_range(const Node* node, const Bounds& bounds, ValueList& out) {
  if (node == nullptr) return {};
  Ordering to_start = Ordering::Greater;
  Ordering to_end = Ordering::Less;
  if (bounds.start != nullptr) {
    TRY_ASSIGN(to_start, compare(node->key.get(), bounds.start));
  }
  if (bounds.end != nullptr) {
    TRY_ASSIGN(to_end, compare(node->key.get(), bounds.end));
  }
  if (to_start == Ordering::Greater) TRY(collect_range(node->left.get(), bounds, out));
  const bool above_start = bounds.start == nullptr || to_start == Ordering::Greater ||
                           (to_start == Ordering::Equal && bounds.include_start);
  const bool below_end = bounds.end == nullptr || to_end == Ordering::Less ||
                         (to_end == Ordering::Equal && bounds.include_end);
  if (above_start && below_end) out.push_back(Ref::borrow(node->value.get()));
  if (to_end == Ordering::Less) TRY(collect_range(node->right.get(), bounds, out));
  return {};
}

// Pushes `node` and its chain of descendants along `Next`.
template <Link Node::*Next>
void push_chain(std::vector<const Node*>& stack, const Node* node) {
  for (; node != nullptr; node = (node->*Next).get()) stack.push_back(node);
}

// The counted walks: one descent comparing `node key` with `bound` at each level, keeping the
// nodes on the wanted side, then an emission that compares nothing. `Toward` is the direction
// the output runs (right for ascending) and `Away` its opposite.
template <Link Node::*Toward, Link Node::*Away, Ordering kSkip>
Result<ValueList> counted_walk(const Node* root, std::size_t len, PyObject* bound,
                               std::size_t count) {
  ValueList out;
  out.reserve(std::min(count, len));
  if (count == 0) return out;
  std::vector<const Node*> stack;
  for (const Node* node = root; node != nullptr;) {
    TRY_ASSIGN(const Ordering ordering, compare(node->key.get(), bound));
    if (ordering == kSkip) {
      node = (node->*Toward).get();
    } else {
      stack.push_back(node);
      node = (node->*Away).get();
    }
  }
  while (!stack.empty() && out.size() < count) {
    const Node* node = stack.back();
    stack.pop_back();
    out.push_back(Ref::borrow(node->value.get()));
    push_chain<Away>(stack, (node->*Toward).get());
  }
  return out;
}

}  // namespace

Result<ValueList> PythonAvlTree::range(PyObject* start, PyObject* end, bool include_start,
                                       bool include_end) const {
  if (start != nullptr && end != nullptr) {
    TRY_ASSIGN(const Ordering ordering, compare(start, end));
    if (ordering == Ordering::Greater) {
      return fail(PyExc_ValueError, "range start must not exceed end");
    }
  }
  ValueList out;
  TRY(collect_range(root(), Bounds{start, end, include_start, include_end}, out));
  return out;
}

Result<ValueList> PythonAvlTree::iter_from(PyObject* start, std::size_t count) const {
  return counted_walk<&Node::right, &Node::left, Ordering::Less>(root(), len_, start, count);
}

Result<ValueList> PythonAvlTree::iter_to(PyObject* end, std::size_t count) const {
  return counted_walk<&Node::left, &Node::right, Ordering::Greater>(root(), len_, end, count);
}

}  // namespace tervalo
