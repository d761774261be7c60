// The ordered tree core: an AVL tree of (value, key) entries ordered by Python rich comparison.
//
// Ownership. Each `Node` owns one reference to its value and one to its key (two references to
// one object when the tree has no key extractor) and owns its two children. Nodes have no parent
// pointers and are never shared or copied: rotations and removal relink whole nodes, so a node
// keeps its value and key for its whole life. Releasing a node releases its value, then its key,
// then its left subtree, then its right subtree.
//
// Heights. A leaf has height 1 and an absent child counts 0. Once an insertion or removal
// returns, every node's height is 1 + the larger child height, every node's balance
// (height(left) - height(right)) lies in -1..1, and no two keys compare Equal.
//
// Python code. `compare` is the only place that calls into Python (rich comparison and truth
// tests); releasing a reference may run a finaliser. The core has no notion of holds: the
// caller must keep Python code from reaching the tree while an operation runs. Faults (C++
// exceptions) may unwind through any operation; every operation changes the tree only after its
// last call into Python, so an unwinding operation leaves the tree as it was.
#pragma once

#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

#include "binding/error.h"
#include "binding/ref.h"

namespace tervalo {

enum class Ordering { Less, Equal, Greater };

// Three-way comparison of `a` (always the left operand) with `b`: `==`, then `<`, then `>`,
// each followed by a truth test. There is no identity shortcut. All three false is a TypeError.
Result<Ordering> compare(PyObject* a, PyObject* b);

struct Node {
  Node(Ref value_in, Ref key_in) noexcept : value(std::move(value_in)), key(std::move(key_in)) {}
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;
  // Members would be destroyed in reverse order; the release order is value, key, left, right.
  ~Node() {
    value.reset();
    key.reset();
    left.reset();
    right.reset();
  }

  Ref value;
  Ref key;
  std::unique_ptr<Node> left;
  std::unique_ptr<Node> right;
  std::size_t height = 1;
};

// A place that owns an optional node: the tree's root or a node's child field.
using Link = std::unique_ptr<Node>;

inline std::size_t height_of(const Link& link) noexcept { return link ? link->height : 0; }

// One (value, key) pair, value first, as listed for pickling and taken by the sorted builder.
struct Entry {
  Ref value;
  Ref key;
};

using ValueList = std::vector<Ref>;
using EntryList = std::vector<Entry>;

class PythonAvlTree {
 public:
  PythonAvlTree() = default;
  PythonAvlTree(Link root, std::size_t len) noexcept : root_(std::move(root)), len_(len) {}
  PythonAvlTree(PythonAvlTree&&) noexcept = default;
  PythonAvlTree& operator=(PythonAvlTree&&) noexcept = default;

  std::size_t len() const noexcept { return len_; }
  std::size_t height() const noexcept { return height_of(root_); }
  const Node* root() const noexcept { return root_.get(); }

  // Adds (value, key) unless an Equal key is present; both references are consumed whatever
  // the outcome. Answers whether the entry was added. A failed comparison changes nothing.
  Result<bool> insert(Ref value, Ref key);
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
  void clear() noexcept;

  // Whole-tree listings: new references in a fixed order; they call no Python code.
  ValueList in_order() const;
  ValueList descending() const;
  ValueList pre_order() const;
  ValueList post_order() const;
  ValueList level_order() const;
  EntryList in_order_entries() const;

  // Bounded queries; bounds are borrowed keys compared as they are (a null bound is absent).
  // Values with keys between `start` and `end`, ascending. Start above end is a ValueError.
  Result<ValueList> range(PyObject* start, PyObject* end, bool include_start,
                          bool include_end) const;
  // At most `count` values with keys >= `start`, ascending.
  Result<ValueList> iter_from(PyObject* start, std::size_t count) const;
  // At most `count` values with keys <= `end`, descending.
  Result<ValueList> iter_to(PyObject* end, std::size_t count) const;

 private:
  Link root_;
  std::size_t len_ = 0;
};

// A balanced tree holding `entries` in the given order, built without comparing anything.
PythonAvlTree from_sorted(EntryList entries);

// Insertion and rebalancing, exposed for removal and the builder.
Result<bool> insert_at(Link& link, Ref value, Ref key);
// Restores the height and balance of a node whose subtrees are balanced and differ in height by
// at most 2; answers the node that now heads the subtree.
Link rebalance(Link node);
Result<bool> remove_at(Link& link, PyObject* key);
Link rotate_left(Link node);
Link rotate_right(Link node);

}  // namespace tervalo
