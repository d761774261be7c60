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

struct Bound {
  PyObject* key;  // borrowed; null when absent
  KeyNumber number;
  explicit Bound(PyObject* key_in) : key(key_in) {
    if (key != nullptr) number = KeyNumber::of(key);
  }
};

struct Bounds {
  Bound start;
  Bound end;
  bool include_start;
  bool include_end;
};

Result<Ordering> compare_node(const NodeArena& nodes, const Node& node, const Bound& bound) {
  return nodes.compare_stored(node, bound.key, bound.number);
}

// Both comparisons at a node come before anything in its left subtree. A subtree is entered
// only when the strict comparisons say it can hold keys inside the bounds, whatever the flags.
Status collect_range(const NodeArena& nodes, NodeIndex index, const Bounds& bounds,
                     ValueList& out) {
  if (index == kNoNode) return {};
  const Node& node = nodes[index];
  Ordering to_start = Ordering::Greater;
  Ordering to_end = Ordering::Less;
  if (bounds.start.key != nullptr) {
    TRY_ASSIGN(to_start, compare_node(nodes, node, bounds.start));
  }
  if (bounds.end.key != nullptr) {
    TRY_ASSIGN(to_end, compare_node(nodes, node, bounds.end));
  }
  if (to_start == Ordering::Greater) TRY(collect_range(nodes, node.left, bounds, out));
  const bool above_start = bounds.start.key == nullptr || to_start == Ordering::Greater ||
                           (to_start == Ordering::Equal && bounds.include_start);
  const bool below_end = bounds.end.key == nullptr || to_end == Ordering::Less ||
                         (to_end == Ordering::Equal && bounds.include_end);
  if (above_start && below_end) out.push_back(Ref::borrow(node.value.get()));
  if (to_end == Ordering::Less) TRY(collect_range(nodes, node.right, bounds, out));
  return {};
}

// The counted walks: one descent comparing `node key` with `bound` at each level, keeping the
// nodes on the wanted side, then an emission that compares nothing. `Toward` is the direction
// the output runs (right for ascending) and `Away` its opposite.
template <NodeIndex Node::* Toward, NodeIndex Node::* Away, Ordering kSkip>
Result<ValueList> counted_walk(const NodeArena& nodes, NodeIndex root, std::size_t len,
                               PyObject* key, std::size_t count) {
  ValueList out;
  out.reserve(std::min(count, len));
  if (count == 0) return out;
  const Bound bound(key);
  std::vector<NodeIndex> stack;
  for (NodeIndex index = root; index != kNoNode;) {
    const Node& node = nodes[index];
    TRY_ASSIGN(const Ordering ordering, compare_node(nodes, node, bound));
    if (ordering == kSkip) {
      index = node.*Toward;
    } else {
      stack.push_back(index);
      index = node.*Away;
    }
  }
  while (!stack.empty() && out.size() < count) {
    const Node& node = nodes[stack.back()];
    stack.pop_back();
    out.push_back(Ref::borrow(node.value.get()));
    for (NodeIndex next = node.*Toward; next != kNoNode; next = nodes[next].*Away) {
      stack.push_back(next);
    }
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
  TRY(collect_range(nodes_, root_, Bounds{Bound(start), Bound(end), include_start, include_end},
                    out));
  return out;
}

Result<ValueList> PythonAvlTree::iter_from(PyObject* start, std::size_t count) const {
  return counted_walk<&Node::right, &Node::left, Ordering::Less>(nodes_, root_, len_, start, count);
}

Result<ValueList> PythonAvlTree::iter_to(PyObject* end, std::size_t count) const {
  return counted_walk<&Node::left, &Node::right, Ordering::Greater>(nodes_, root_, len_, end,
                                                                    count);
}

}  // namespace tervalo
