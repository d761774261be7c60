// The ordered tree core: an AVL tree of (value, key) entries ordered by Python rich comparison.
//
// Ownership. The tree owns one reference to each entry's value and one to its key (two
// references to one object when the tree has no key extractor); its nodes live in a
// `NodeArena`. Nodes have no parent pointers and are never shared or copied: rotations and
// removal relink whole nodes, so a node keeps its entry for its whole life. Releasing a tree
// releases each entry's value, then its key, then its left subtree, then its right subtree.
//
// Heights. A leaf has height 1 and an absent child counts 0. Once an insertion or removal
// returns, every node's height is 1 + the larger child height, every node's balance
// (height(left) - height(right)) lies in -1..1, and no two keys compare Equal.
//
// Python code. `compare` is the only place that calls into Python (rich comparison and truth
// tests); releasing a reference may run a finaliser. The core has no notion of holds: the
// caller must keep Python code from changing the tree while an operation runs. Faults (C++
// exceptions) may unwind through any operation; every operation changes the tree only after its
// last call into Python, so an unwinding operation leaves the tree as it was, and it releases
// what it removes only once the tree is whole and balanced again.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "python_tree/arena.h"

namespace tervalo {

using ValueList = std::vector<Ref>;

class SortedBuilder;
class TreeConstruction;

class PythonAvlTree {
 public:
  PythonAvlTree() = default;
  PythonAvlTree(PythonAvlTree&& other) noexcept
      : nodes_(std::move(other.nodes_)),
        root_(std::exchange(other.root_, kNoNode)),
        len_(std::exchange(other.len_, 0)),
        first_(std::exchange(other.first_, kNoNode)),
        last_(std::exchange(other.last_, kNoNode)) {}
  PythonAvlTree& operator=(PythonAvlTree&&) = delete;
  PythonAvlTree(const PythonAvlTree&) = delete;
  ~PythonAvlTree() noexcept(false) { clear(); }

  std::size_t len() const noexcept { return len_; }
  // Lays the nodes out in ascending key order (see `NodeArena::relayout_in_order`). Changes
  // nothing that can be observed.
  void relayout() {
    root_ = nodes_.relayout_in_order(root_, len_);
    first_ = last_ = kNoNode;
  }
  std::size_t height() const noexcept { return root_ == kNoNode ? 0 : nodes_[root_].height; }

  // Adds (value, key) unless an Equal key is present; both references are consumed whatever
  // the outcome. Answers whether the entry was added. A failed comparison changes nothing.
  Result<bool> insert(Ref value, Ref key) {
    const KeyNumber number = KeyNumber::of(key.get());
    return insert(std::move(value), std::move(key), number);
  }
  // Removes the entry whose key compares Equal to `key` (borrowed); answers whether one was.
  // A failed comparison changes nothing.
  Result<bool> remove(PyObject* key);
  // A new reference to the value stored under a key Equal to `key`, or an empty Ref.
  Result<Ref> find(PyObject* key) const;
  // New references to the values with the smallest and the largest key; empty Refs when empty.
  Ref first() const;
  Ref last() const;
  // Takes every node out of the tree first, then releases them: finalisers run on a tree that
  // is already empty.
  void clear();

  // Whole-tree listings: new references in a fixed order; they call no Python code.
  ValueList in_order() const;
  ValueList descending() const;
  ValueList pre_order() const;
  ValueList post_order() const;
  ValueList level_order() const;
  // Calls `visit(value, key)`, both borrowed, for every entry in ascending key order, until
  // `visit` answers false; answers whether every call answered true. The walk itself calls no
  // Python code and takes no reference.
  template <class Visit>
  bool for_each_in_order(Visit&& visit) const {
    return visit_in_order(root_, visit);
  }

  // Bounded queries; bounds are borrowed keys compared as they are (a null bound is absent).
  // Values with keys between `start` and `end`, ascending. Start above end is a ValueError.
  Result<ValueList> range(PyObject* start, PyObject* end, bool include_start,
                          bool include_end) const;
  // At most `count` values with keys >= `start`, ascending.
  Result<ValueList> iter_from(PyObject* start, std::size_t count) const;
  // At most `count` values with keys <= `end`, descending.
  Result<ValueList> iter_to(PyObject* end, std::size_t count) const;

 private:
  friend class SortedBuilder;
  friend class TreeConstruction;

  // `insert` for a key whose number is known.
  Result<bool> insert(Ref value, Ref key, const KeyNumber& number);

  // Recurses on the left, loops along the right: the stack grows with the height only.
  template <class Visit>
  bool visit_in_order(NodeIndex index, Visit& visit) const {
    while (index != kNoNode) {
      const Node& node = nodes_[index];
      if (!visit_in_order(node.left, visit) || !visit(node.value.get(), nodes_.key(index))) {
        return false;
      }
      index = node.right;
    }
    return true;
  }

  // The value at the end reached by following `toward` links, remembering its slot.
  Ref end_value(NodeIndex& remembered, NodeIndex Node::* toward) const;

  NodeArena nodes_;
  NodeIndex root_ = kNoNode;
  std::size_t len_ = 0;
  // The slots of the smallest and the largest entry once a walk has found them (kNoNode while
  // unknown); kept up to date by insertion, forgotten when they might move or go.
  mutable NodeIndex first_ = kNoNode;
  mutable NodeIndex last_ = kNoNode;
};

}  // namespace tervalo
