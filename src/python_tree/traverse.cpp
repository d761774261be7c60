// Whole-tree listings. They compare nothing and call no Python code: they only take new
// references. Each reserves its result at `len` up front, so the walk itself never reallocates.
// The collectors recurse on one side and loop along the other, so the stack grows with the
// height only (post-order recurses on both sides, still bounded by the height).
#include <deque>

#include "python_tree/python_tree.h"

namespace tervalo {
namespace {

void collect_in_order(const NodeArena& nodes, NodeIndex index, ValueList& out) {
  while (index != kNoNode) {
    const Node& node = nodes[index];
    collect_in_order(nodes, node.left, out);
    out.push_back(Ref::borrow(node.value.get()));
    index = node.right;
  }
}

void collect_descending(const NodeArena& nodes, NodeIndex index, ValueList& out) {
  while (index != kNoNode) {
    const Node& node = nodes[index];
    collect_descending(nodes, node.right, out);
    out.push_back(Ref::borrow(node.value.get()));
    index = node.left;
  }
}

void collect_pre_order(const NodeArena& nodes, NodeIndex index, ValueList& out) {
  while (index != kNoNode) {
    const Node& node = nodes[index];
    out.push_back(Ref::borrow(node.value.get()));
    collect_pre_order(nodes, node.left, out);
    index = node.right;
  }
}

void collect_post_order(const NodeArena& nodes, NodeIndex index, ValueList& out) {
  if (index == kNoNode) return;
  const Node& node = nodes[index];
  collect_post_order(nodes, node.left, out);
  collect_post_order(nodes, node.right, out);
  out.push_back(Ref::borrow(node.value.get()));
}

}  // namespace

// Nodes that lie in key order are listed by reading their slots front to back (or back to
// front), without a walk. The values themselves are seldom in memory order: each is fetched a
// few entries ahead of the reference taken to it.
static ValueList listed_by_slot(const NodeArena& nodes, std::size_t len, bool descending) {
  constexpr std::size_t kAhead = 32;
  const auto slot_of = [len, descending](std::size_t i) {
    return static_cast<NodeIndex>(descending ? len - i : i + 1);
  };
  ValueList out;
  out.reserve(len);
  for (std::size_t i = 0; i < len; ++i) {
    if (i + kAhead < len) __builtin_prefetch(nodes[slot_of(i + kAhead)].value.get());
    out.push_back(Ref::borrow(nodes[slot_of(i)].value.get()));
  }
  return out;
}

template <void (*Collect)(const NodeArena&, NodeIndex, ValueList&)>
static ValueList listing(const NodeArena& nodes, NodeIndex root, std::size_t len) {
  ValueList out;
  out.reserve(len);
  Collect(nodes, root, out);
  return out;
}

ValueList PythonAvlTree::in_order() const {
  if (!nodes_.slots_in_key_order()) return listing<collect_in_order>(nodes_, root_, len_);
  return listed_by_slot(nodes_, len_, false);
}

ValueList PythonAvlTree::descending() const {
  if (!nodes_.slots_in_key_order()) return listing<collect_descending>(nodes_, root_, len_);
  return listed_by_slot(nodes_, len_, true);
}

ValueList PythonAvlTree::pre_order() const {
  return listing<collect_pre_order>(nodes_, root_, len_);
}
ValueList PythonAvlTree::post_order() const {
  return listing<collect_post_order>(nodes_, root_, len_);
}

ValueList PythonAvlTree::level_order() const {
  ValueList out;
  out.reserve(len_);
  if (root_ == kNoNode) return out;
  // Slot numbers only; the queue never holds Python references.
  std::deque<NodeIndex> queue{root_};
  while (!queue.empty()) {
    const Node& node = nodes_[queue.front()];
    queue.pop_front();
    out.push_back(Ref::borrow(node.value.get()));
    if (node.left != kNoNode) queue.push_back(node.left);
    if (node.right != kNoNode) queue.push_back(node.right);
  }
  return out;
}

}  // namespace tervalo
