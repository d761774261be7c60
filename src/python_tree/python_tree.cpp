// Insertion, lookup, removal and release.
//
// Insertion and removal descend iteratively, remembering the links they passed; every
// comparison happens on the way down, before anything is changed, so a failure (or a fault)
// leaves the tree as it was. On the way back up the nodes of the path are rebalanced
// bottom-up, each at most once.
#include "python_tree/python_tree.h"

#include "python_tree/balance.h"

namespace tervalo {
namespace {

struct TakenMin {
  NodeIndex remainder;  // what is left of the subtree, rebalanced
  NodeIndex minimum;    // the detached node with the smallest key, childless
};

// Follows left links only; compares nothing. Every node on the path is rebalanced bottom-up.
TakenMin take_min(NodeArena& nodes, NodeIndex index) {
  Node& node = nodes[index];
  const NodeIndex left = node.left;
  node.left = kNoNode;
  if (left == kNoNode) {
    const NodeIndex right = node.right;
    node.right = kNoNode;
    return {right, index};
  }
  const TakenMin taken = take_min(nodes, left);
  nodes[index].left = taken.remainder;
  return {rebalance(nodes, index), taken.minimum};
}

// Releases a detached subtree: each node's value, then its key, then its left and right
// subtrees. The recursion is as deep as the subtree is high.
void release_subtree(NodeArena& nodes, NodeIndex index) {
  if (index == kNoNode) return;
  nodes.release_entry(index);
  const NodeIndex right = nodes[index].right;
  release_subtree(nodes, nodes[index].left);
  release_subtree(nodes, right);
}

}  // namespace

Result<bool> PythonAvlTree::insert(Ref value, Ref key, const KeyNumber& number) {
  nodes_.reserve(1);
  nodes_.prepare_for(value.get(), key.get());
  Path<NodeArena> path;
  NodeIndex* link = &root_;
  bool leftmost = true, rightmost = true;
  while (*link != kNoNode) {
    Node& node = nodes_[*link];
    auto ordering = nodes_.compare_probe(key.get(), number, node);
    if (!ordering || *ordering == Ordering::Equal) {
      value.reset();
      key.reset();
      if (!ordering) return fail(std::move(ordering).error());
      return false;
    }
    path.push(link);
    const bool less = *ordering == Ordering::Less;
    (less ? rightmost : leftmost) = false;
    link = less ? &node.left : &node.right;
  }
  *link = nodes_.take(std::move(value), std::move(key), number);
  if (leftmost) first_ = *link;
  if (rightmost) last_ = *link;
  path.rebalance_all(nodes_);
  ++len_;
  return true;
}

Result<bool> PythonAvlTree::remove(PyObject* key) {
  const KeyNumber number = KeyNumber::of(key);
  Path<NodeArena> path;
  NodeIndex* link = &root_;
  while (true) {
    if (*link == kNoNode) return false;
    Node& node = nodes_[*link];
    TRY_ASSIGN(const Ordering ordering, nodes_.compare_probe(key, number, node));
    if (ordering == Ordering::Equal) break;
    path.push(link);
    link = ordering == Ordering::Less ? &node.left : &node.right;
  }
  const NodeIndex removed = *link;
  if (removed == first_) first_ = kNoNode;
  if (removed == last_) last_ = kNoNode;
  const NodeIndex left = std::exchange(nodes_[removed].left, kNoNode);
  const NodeIndex right = std::exchange(nodes_[removed].right, kNoNode);
  if (left == kNoNode) {
    *link = right;
  } else if (right == kNoNode) {
    *link = left;
  } else {
    // The in-order successor takes the removed node's place, as a whole node.
    const TakenMin taken = take_min(nodes_, right);
    nodes_[taken.minimum].left = left;
    nodes_[taken.minimum].right = taken.remainder;
    *link = rebalance(nodes_, taken.minimum);
  }
  path.rebalance_all(nodes_);
  --len_;
  // The tree is whole and balanced again before any finaliser can run, and stays so however a
  // release unwinds.
  nodes_.give_back(removed);
  nodes_.release_entry(removed);
  return true;
}

Result<Ref> PythonAvlTree::find(PyObject* key) const {
  const KeyNumber number = KeyNumber::of(key);
  NodeIndex index = root_;
  while (index != kNoNode) {
    const Node& node = nodes_[index];
    TRY_ASSIGN(const Ordering ordering, nodes_.compare_probe(key, number, node));
    if (ordering == Ordering::Equal) return Ref::borrow(node.value.get());
    index = ordering == Ordering::Less ? node.left : node.right;
  }
  return Ref();
}

Ref PythonAvlTree::end_value(NodeIndex& remembered, NodeIndex Node::* toward) const {
  if (root_ == kNoNode) return Ref();
  if (remembered == kNoNode) {
    remembered = root_;
    while (nodes_[remembered].*toward != kNoNode) remembered = nodes_[remembered].*toward;
  }
  return Ref::borrow(nodes_[remembered].value.get());
}

Ref PythonAvlTree::first() const { return end_value(first_, &Node::left); }

Ref PythonAvlTree::last() const { return end_value(last_, &Node::right); }

void PythonAvlTree::clear() {
  const NodeIndex detached = std::exchange(root_, kNoNode);
  len_ = 0;
  first_ = last_ = kNoNode;
  release_subtree(nodes_, detached);
  nodes_.reset();
}

}  // namespace tervalo
