// The ordered tree core: an AVL tree of (value, key) entries ordered by Python rich comparison.
//
// Ownership. Each node owns one reference to its value and one to its key (two references to
// one object when the tree has no key extractor) and owns its two children. Nodes have no parent
// pointers and are never shared or copied: rotations and removal relink whole nodes, so a node
// keeps its value and key for its whole life. Releasing a node releases its value, then its key,
// then its left subtree, then its right subtree.
//
// Storage. A tree keeps its nodes in one arena and links them by 32-bit slot numbers (slot 0
// is "no node"): 40 bytes per entry, no allocator overhead per node, and a tree's nodes close
// together in memory. A node also keeps a number summarising its key (`KeyNumber`): exact
// ints, floats, strs and bytes, and tuples starting with one of these, are mostly compared by
// that number, so a descent among such keys rarely touches the key objects.
//
// Heights. A leaf has height 1 and an absent child counts 0. Once an insertion or removal
// returns, every node's height is 1 + the larger child height, every node's balance
// (height(left) - height(right)) lies in -1..1, and no two keys compare Equal.
//
// Python code. `compare` is the only place that calls into Python (rich comparison and truth
// tests); releasing a reference may run a finaliser. The core has no notion of holds: the
// caller must keep Python code from changing the tree while an operation runs. Faults (C++
// exceptions) may unwind through any operation; every operation changes the tree only after its
// last call into Python, so an unwinding operation leaves the tree as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "foundation/error.h"
#include "foundation/panic.h"
#include "foundation/ref.h"
#include "python_tree/relocatable_array.h"

namespace tervalo {

enum class Ordering { Less, Equal, Greater };

// What a node keeps of its key so that most comparisons need neither key object nor any call
// into Python: the number of an exact int that fits 64 bits or of an exact float, or an
// order-preserving number made of the leading characters of an exact str or the leading bytes
// of an exact bytes. An exact non-empty tuple keeps the same of its first item, which decides
// every comparison whose first items differ. Numbers of differing kinds (an int with a float,
// say) are left to the full comparison.
union NumberValue {
  std::int64_t integer;
  double real;
  // Leading characters or bytes, the first in the most significant bits, absent ones as 0: two
  // different prefixes order as their strings do; equal prefixes say nothing.
  std::uint64_t prefix;
};

struct KeyNumber {
  // The prefix of a str whose first (up to) 8 code points are all below 256 packs those 8 bits
  // each (Latin1); any other str packs its first 3 code points, 21 bits each (Wide). The tuple
  // kinds describe the first item of a tuple and come in the same order as the plain ones.
  enum class Kind : std::uint8_t {
    Other,
    Integer,
    Real,
    Latin1,
    Wide,
    Bytes,
    TupleInteger,
    TupleReal,
    TupleLatin1,
    TupleWide,
    TupleBytes,
  };
  Kind kind = Kind::Other;
  NumberValue value{0};
  static KeyNumber of(PyObject* key) noexcept;

  // The ordering of two keys of these numbers when the numbers alone settle it. For two tuples
  // that means their first items differ, and then these items alone decide: the interpreter
  // compares no further item. Equal floats of two tuples (or NaNs, which may be one object),
  // equal prefixes and differing kinds are left to the full comparison.
  std::optional<Ordering> settle(const KeyNumber& other) const noexcept {
    if (kind != other.kind) return std::nullopt;
    const NumberValue x = value, y = other.value;
    switch (kind) {
      case Kind::Integer:
        if (x.integer == y.integer) return Ordering::Equal;
        [[fallthrough]];
      case Kind::TupleInteger:
        if (x.integer != y.integer)
          return x.integer < y.integer ? Ordering::Less : Ordering::Greater;
        return std::nullopt;
      case Kind::Real:
        if (x.real == y.real) return Ordering::Equal;
        [[fallthrough]];
      case Kind::TupleReal:
        if (x.real < y.real) return Ordering::Less;
        if (x.real > y.real) return Ordering::Greater;
        return std::nullopt;
      case Kind::Latin1:
      case Kind::Wide:
      case Kind::Bytes:
      case Kind::TupleLatin1:
      case Kind::TupleWide:
      case Kind::TupleBytes:
        if (x.prefix != y.prefix) return x.prefix < y.prefix ? Ordering::Less : Ordering::Greater;
        return std::nullopt;
      case Kind::Other:
        break;
    }
    return std::nullopt;
  }
};

// Three-way comparison of `a` (always the left operand) with `b`: `==`, then `<`, then `>`,
// each followed by a truth test. There is no identity shortcut. All three false is a TypeError.
Result<Ordering> compare(PyObject* a, PyObject* b);
// The same, for keys whose numbers are known (`KeyNumber::of` of each). Where the numbers
// alone decide (the common case of a descent) this stays inline and touches no key object.
Result<Ordering> compare_keys(PyObject* a, const KeyNumber& a_number, PyObject* b,
                              const KeyNumber& b_number);
inline Result<Ordering> compare(PyObject* a, const KeyNumber& a_number, PyObject* b,
                                const KeyNumber& b_number) {
  if (auto settled = a_number.settle(b_number)) return *settled;
  return compare_keys(a, a_number, b, b_number);
}

using NodeIndex = std::uint32_t;
inline constexpr NodeIndex kNoNode = 0;

// 40 bytes: the two references, the two links, the key's number or prefix, its kind and the
// height.
struct Node {
  Ref value;
  Ref key;
  NodeIndex left = kNoNode;
  NodeIndex right = kNoNode;
  NumberValue number{0};
  KeyNumber::Kind kind = KeyNumber::Kind::Other;
  std::uint8_t height = 1;

  KeyNumber key_number() const noexcept { return KeyNumber{kind, number}; }
};
static_assert(sizeof(Node) <= 40, "a node's size is the tree's memory cost per entry");

using ValueList = std::vector<Ref>;
using NodeStorage = RelocatableArray<Node>;

class SortedBuilder;
class TreeConstruction;

// The nodes of one tree. Slot 0 is never used. Freed slots are chained through `left`.
class NodeArena {
 public:
  NodeArena() = default;
  NodeArena(NodeArena&& other) noexcept
      : nodes_(std::move(other.nodes_)),
        free_(std::exchange(other.free_, kNoNode)),
        free_count_(std::exchange(other.free_count_, 0)),
        in_key_order_(std::exchange(other.in_key_order_, true)) {}

  Node& operator[](NodeIndex index) noexcept { return nodes_[index]; }
  const Node& operator[](NodeIndex index) const noexcept { return nodes_[index]; }
  // Whether slots 1, 2, ... hold every node in ascending key order, with no free slot between:
  // so after a relayout and while nodes are only appended (in key order), until a slot is taken
  // or given back.
  bool slots_in_key_order() const noexcept { return in_key_order_; }

  // Makes room for `count` more nodes, so that taking them moves nothing. Throws
  // `std::bad_alloc` when the memory cannot be had, with nothing changed.
  void reserve(std::size_t count);
  // Whether a new slot at the end needs more room first.
  bool full() const noexcept { return nodes_.size() == nodes_.capacity(); }
  // A slot for a new node whose key has the number `number`; room must have been reserved.
  NodeIndex take(Ref value, Ref key, const KeyNumber& number) noexcept;
  // The next slot at the end, for a new node whose key has the number `number` and is greater
  // than every key in the arena; room must have been reserved. Unlike `take`, never reuses a
  // freed slot: consecutive calls fill consecutive slots.
  NodeIndex append(Ref value, Ref key, const KeyNumber& number) noexcept {
    const auto index = static_cast<NodeIndex>(nodes_.size());
    nodes_.emplace_back(std::move(value), std::move(key), kNoNode, kNoNode, number.value,
                        number.kind, std::uint8_t{1});
    return index;
  }
  // Slots 1, 2, ... up to the last one handed out, free or not.
  std::span<Node> slots() noexcept {
    return nodes_.empty() ? std::span<Node>{}
                          : std::span<Node>{nodes_.data(), nodes_.size()}.subspan(1);
  }
  std::span<const Node> slots() const noexcept {
    return nodes_.empty() ? std::span<const Node>{}
                          : std::span<const Node>{nodes_.data(), nodes_.size()}.subspan(1);
  }
  // Returns a slot whose references are already released.
  void give_back(NodeIndex index) noexcept;
  // Drops every slot and the storage; all references must already be released.
  void reset() noexcept;
  // Moves the nodes of the tree under `root` into fresh storage in ascending key order, so that
  // ordered walks read memory front to back; answers the root's new slot. Throws
  // `std::bad_alloc` with nothing changed.
  NodeIndex relayout_in_order(NodeIndex root, std::size_t count);

 private:
  NodeStorage nodes_;
  NodeIndex free_ = kNoNode;
  std::size_t free_count_ = 0;
  bool in_key_order_ = true;
};

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
  class TreeConstruction;

  // Recurses on the left, loops along the right: the stack grows with the height only.
  template <class Visit>
  bool visit_in_order(NodeIndex index, Visit& visit) const {
    while (index != kNoNode) {
      const Node& node = nodes_[index];
      if (!visit_in_order(node.left, visit) || !visit(node.value.get(), node.key.get())) {
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

// The sorted bulk builder: a balanced tree from (value, key) entries handed over one at a time,
// already in ascending key order, with no comparison and no rotation. The order is trusted: it
// becomes the tree's in-order sequence, whatever it is. Each entry moves straight into the next
// arena slot, so the nodes lie in key order; `finish` then only links them. Until then the
// builder owns the entries, and dropping it releases them in the order given, value then key.
class SortedBuilder {
 public:
  SortedBuilder() = default;
  SortedBuilder(const SortedBuilder&) = delete;
  SortedBuilder& operator=(const SortedBuilder&) = delete;
  ~SortedBuilder() noexcept(false);

  // Makes room for `count` more entries at once; `std::bad_alloc` when it cannot be had.
  void reserve(std::size_t count);
  // Takes over one entry, the next in key order.
  void append(Ref value, Ref key) {
    if (room_ == 0) grow();
    --room_;
    const KeyNumber number = KeyNumber::of(key.get());
    tree_.nodes_.append(std::move(value), std::move(key), number);
    ++tree_.len_;
  }
  // The tree of the entries appended, in that order. Its top is the entry at position
  // floor(n / 2), and so is each subtree's: the left side never holds fewer entries than the
  // right, every balance is 0 or +1, and the height is the bit length of n.
  PythonAvlTree finish();

 private:
  void grow();

  PythonAvlTree tree_;
  std::size_t room_ = 0;
};

}  // namespace tervalo
