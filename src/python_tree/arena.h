// The nodes of one tree, in one array, linked by 32-bit slot numbers (slot 0 is "no node").
//
// A node is 32 bytes on 64-bit systems (24 on 32-bit ones): one object pointer, the two links,
// the number summarising its key, the number's kind and the height. There is no allocator
// overhead per node, and a tree's nodes lie close together in memory.
//
// An entry is a value and its key, and the arena owns one reference to each. Where the key is
// the value itself (always, for a tree without a key extractor), the node's one pointer carries
// both references: the object is held twice, as value and as key, exactly as if it were stored
// twice. The first entry whose key is another object moves every key apart, into an array by
// slot beside the nodes (the second reference moves, no count changes). A descent reads that
// array only when two keys' numbers tie, so the nodes it walks stay small.
//
// Releasing an entry releases its value, then its key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "python_tree/key_order.h"
#include "python_tree/relocatable_array.h"

namespace tervalo {

using NodeIndex = std::uint32_t;
inline constexpr NodeIndex kNoNode = 0;

struct Node {
  Ref value;  // also the key's reference while the arena keeps no keys apart
  NodeIndex left = kNoNode;
  NodeIndex right = kNoNode;
  NumberValue number{0};
  KeyNumber::Kind kind = KeyNumber::Kind::Other;
  std::uint8_t height = 1;

  KeyNumber key_number() const noexcept { return KeyNumber{kind, number}; }
};
static_assert(sizeof(Node) <= sizeof(PyObject*) + 24,
              "a node's size is the tree's memory cost per entry");

// A key kept apart from its node, in the slot of its node.
struct KeySlot {
  Ref key;
};

using NodeStorage = RelocatableArray<Node>;
using KeyStorage = RelocatableArray<KeySlot>;

// Storage grows by taking room first and entries second: `reserve` (and `prepare_for`) may
// throw `std::bad_alloc` and change nothing that can be observed; taking slots then cannot
// fail. Freed slots are chained through `left`.
class NodeArena {
 public:
  NodeArena() = default;
  NodeArena(NodeArena&& other) noexcept
      : nodes_(std::move(other.nodes_)),
        keys_(std::move(other.keys_)),
        free_(std::exchange(other.free_, kNoNode)),
        free_count_(std::exchange(other.free_count_, 0)),
        keys_apart_(std::exchange(other.keys_apart_, false)),
        in_key_order_(std::exchange(other.in_key_order_, true)) {}

  Node& operator[](NodeIndex index) noexcept { return nodes_[index]; }
  const Node& operator[](NodeIndex index) const noexcept { return nodes_[index]; }
  // The key of the entry in `index` (borrowed).
  PyObject* key(NodeIndex index) const noexcept { return key_of(nodes_[index]); }
  // Whether slots 1, 2, ... hold every node in ascending key order, with no free slot between:
  // so after a relayout and while nodes are only appended (in key order), until a slot is taken
  // or given back.
  bool slots_in_key_order() const noexcept { return in_key_order_; }

  // The key of `node`, which must lie in this arena (borrowed).
  PyObject* key_of(const Node& node) const noexcept {
    return keys_apart_ ? keys_[static_cast<std::size_t>(&node - nodes_.data())].key.get()
                       : node.value.get();
  }
  // `probe` (the left operand) against the key of `node`: the key object is read only when the
  // numbers leave the comparison open.
  Result<Ordering> compare_probe(PyObject* probe, const KeyNumber& number, const Node& node) const {
    const KeyNumber stored = node.key_number();
    if (auto settled = number.settle(stored)) return *settled;
    return compare_keys(probe, number, key_of(node), stored);
  }
  // The key of `node` (the left operand) against `bound`.
  Result<Ordering> compare_stored(const Node& node, PyObject* bound,
                                  const KeyNumber& number) const {
    const KeyNumber stored = node.key_number();
    if (auto settled = stored.settle(number)) return *settled;
    return compare_keys(key_of(node), stored, bound, number);
  }

  // Makes room for `count` more entries, so that taking them moves nothing. Throws
  // `std::bad_alloc` when the memory cannot be had, with nothing changed.
  void reserve(std::size_t count);
  // Readies the arena for an entry of `value` and `key`: when the key is another object, every
  // key moves apart first. Throws `std::bad_alloc` with nothing observable changed.
  void prepare_for(PyObject* value, PyObject* key) {
    if (value != key && !keys_apart_) move_keys_apart();
  }
  // Whether a new slot at the end needs more room first.
  bool full() const noexcept { return nodes_.size() == nodes_.capacity(); }
  // A slot for a new entry whose key has the number `number`; room must have been reserved and
  // the arena prepared for the entry.
  NodeIndex take(Ref value, Ref key, const KeyNumber& number) noexcept;
  // The next slot at the end, for a new entry whose key has the number `number` and is greater
  // than every key in the arena; as `take`, but never reuses a freed slot: consecutive calls
  // fill consecutive slots.
  NodeIndex append(Ref value, Ref key, const KeyNumber& number) noexcept {
    const auto index = static_cast<NodeIndex>(nodes_.size());
    nodes_.emplace_back(std::move(value), kNoNode, kNoNode, number.value, number.kind,
                        std::uint8_t{1});
    if (keys_apart_) {
      keys_.emplace_back(std::move(key));
    } else {
      // The node's one pointer carries this reference beside the value's.
      static_cast<void>(key.release());
    }
    return index;
  }
  // The number of slots handed out (free or not), slot 0 aside.
  std::size_t slot_count() const noexcept { return nodes_.empty() ? 0 : nodes_.size() - 1; }
  // Moves the entry in `from` to `to`, whose entry must have been moved out; links included.
  void move_entry(NodeIndex to, NodeIndex from) {
    nodes_[to] = std::move(nodes_[from]);
    if (keys_apart_) keys_[to].key = std::move(keys_[from].key);
  }
  // Reverses the order of the entries in slots 1..slot_count().
  void reverse_slots();
  // Moves the entry of each slot in 1..slot_count() to the slot `rank[slot - 1]`, which must be
  // a permutation of them; the links move with the entries unchanged.
  void permute_slots(ScratchVector<NodeIndex> rank);
  // Takes the entry out of `index` and releases its value, then its key. The slot is left
  // empty, neither freed nor linked anew; nothing in the arena refers to the references any
  // more when their release runs.
  void release_entry(NodeIndex index) {
    Ref value = std::move(nodes_[index].value);
    Ref key = keys_apart_ ? std::move(keys_[index].key) : Ref::steal(value.get());
    value.reset();
    key.reset();
  }
  // Releases the entries of slots 1..count in slot order, as `release_entry` does; the arena's
  // storage cannot release them itself (see `release_each`).
  void release_slots(std::size_t count) {
    for (std::size_t slot = 1; slot <= count; ++slot) release_entry(static_cast<NodeIndex>(slot));
  }
  // Returns a slot whose entry is already released or moved out.
  void give_back(NodeIndex index) noexcept;
  // Drops every slot and the storage; every entry must already be released.
  void reset() noexcept;
  // Moves the nodes of the tree under `root` into fresh storage in ascending key order, so that
  // ordered walks read memory front to back; answers the root's new slot. Throws
  // `std::bad_alloc` with nothing changed.
  NodeIndex relayout_in_order(NodeIndex root, std::size_t count);

 private:
  void move_keys_apart();
  NodeIndex place_in_order(NodeArena& from, NodeIndex index) noexcept;

  NodeStorage nodes_;
  KeyStorage keys_;  // empty until `keys_apart_`, then one slot per node slot
  NodeIndex free_ = kNoNode;
  std::size_t free_count_ = 0;
  bool keys_apart_ = false;
  bool in_key_order_ = true;
};

}  // namespace tervalo
