#include "python_tree/arena.h"

#include <algorithm>
#include <limits>
#include <new>

namespace tervalo {

void NodeArena::reserve(std::size_t count) {
  if (count <= free_count_) return;
  // Slot 0 is the "no node" number and is never handed out.
  const std::size_t used = std::max<std::size_t>(nodes_.size(), 1);
  const std::size_t needed = used + (count - free_count_);
  // Slot numbers are 32 bits wide (which, with slot 0 unused, also keeps the count of slots
  // representable where size_t is 32 bits wide).
  const std::size_t most =
      std::min<std::size_t>(std::numeric_limits<NodeIndex>::max(), nodes_.max_size());
  if (needed > most) throw std::bad_alloc();
  if (needed > nodes_.capacity()) {
    const std::size_t grown =
        std::min(std::max(needed, nodes_.capacity() + nodes_.capacity() / 2), most);
    // Keys first: should the nodes' room then fail, the keys' larger room is unobservable.
    if (keys_apart_) keys_.reserve(grown);
    nodes_.reserve(grown);
  }
  if (nodes_.empty()) {
    nodes_.emplace_back();
    if (keys_apart_) keys_.emplace_back();
  }
}

void NodeArena::move_keys_apart() {
  KeyStorage keys;
  keys.reserve(std::max<std::size_t>(nodes_.capacity(), 1));
  // Each value's pointer has carried two references; the key's now moves to its own slot.
  for (std::size_t index = 0; index < nodes_.size(); ++index) {
    keys.emplace_back(Ref::steal(nodes_[index].value.get()));
  }
  keys_.swap(keys);
  keys_apart_ = true;
}

NodeIndex NodeArena::take(Ref value, Ref key, const KeyNumber& number) noexcept {
  in_key_order_ = false;
  if (free_ == kNoNode) return append(std::move(value), std::move(key), number);
  const NodeIndex index = free_;
  Node& node = nodes_[index];
  free_ = node.left;
  --free_count_;
  node.kind = number.kind;
  node.number = number.value;
  node.value = std::move(value);
  if (keys_apart_) {
    keys_[index].key = std::move(key);
  } else {
    // The node's one pointer carries this reference beside the value's.
    static_cast<void>(key.release());
  }
  node.left = kNoNode;
  node.right = kNoNode;
  node.height = 1;
  return index;
}

void NodeArena::give_back(NodeIndex index) noexcept {
  in_key_order_ = false;
  nodes_[index].left = free_;
  free_ = index;
  ++free_count_;
}

void NodeArena::reverse_slots() {
  const std::size_t count = slot_count();
  std::reverse(nodes_.data() + 1, nodes_.data() + 1 + count);
  if (keys_apart_) std::reverse(keys_.data() + 1, keys_.data() + 1 + count);
}

// Each cycle of the permutation is followed hole by hole: the entry that belongs in the hole
// moves in, leaving its own slot as the next hole, so every entry moves once. The cycle is
// followed a few steps ahead of the moves, so that the entries about to move are fetched while
// others move.
void NodeArena::permute_slots(ScratchVector<NodeIndex> rank) {
  constexpr int kAhead = 8;
  const std::size_t count = slot_count();
  // The slot of the entry that belongs in each slot; once a slot is filled, the slot itself.
  ScratchVector<NodeIndex> from(count + 1);
  for (std::size_t at = 0; at < count; ++at) from[rank[at]] = static_cast<NodeIndex>(at + 1);
  ScratchVector<NodeIndex>().swap(rank);  // given back before the moves: it is not read again
  const auto fetch = [this](std::size_t slot) {
    __builtin_prefetch(&nodes_[slot]);
    if (keys_apart_) __builtin_prefetch(&keys_[slot]);
  };
  for (std::size_t start = 1; start <= count; ++start) {
    if (from[start] == start) continue;
    Node held = std::move(nodes_[start]);
    Ref held_key = keys_apart_ ? std::move(keys_[start].key) : Ref();
    std::size_t ahead = start;
    for (int i = 0; i < kAhead; ++i) fetch(ahead = from[ahead]);
    for (std::size_t hole = start;;) {
      const std::size_t next = std::exchange(from[hole], static_cast<NodeIndex>(hole));
      if (next == start) {
        nodes_[hole] = std::move(held);
        if (keys_apart_) keys_[hole].key = std::move(held_key);
        break;
      }
      move_entry(static_cast<NodeIndex>(hole), static_cast<NodeIndex>(next));
      hole = next;
      fetch(ahead = from[ahead]);
    }
  }
}

// Moves the nodes of the subtree under `index` from `from` to the end of this arena, in key
// order; answers the subtree's new top. Room must have been reserved.
NodeIndex NodeArena::place_in_order(NodeArena& from, NodeIndex index) noexcept {
  if (index == kNoNode) return kNoNode;
  Node& node = from.nodes_[index];
  const NodeIndex left = place_in_order(from, node.left);
  const auto placed = static_cast<NodeIndex>(nodes_.size());
  nodes_.emplace_back(std::move(node));
  if (keys_apart_) keys_.emplace_back(std::move(from.keys_[index].key));
  const NodeIndex right = place_in_order(from, nodes_[placed].right);
  nodes_[placed].left = left;
  nodes_[placed].right = right;
  return placed;
}

NodeIndex NodeArena::relayout_in_order(NodeIndex root, std::size_t count) {
  NodeArena fresh;
  fresh.keys_apart_ = keys_apart_;
  fresh.reserve(count);
  const NodeIndex placed = fresh.place_in_order(*this, root);
  nodes_.swap(fresh.nodes_);
  keys_.swap(fresh.keys_);
  free_ = kNoNode;
  free_count_ = 0;
  in_key_order_ = true;
  return placed;
}

void NodeArena::reset() noexcept {
  NodeStorage().swap(nodes_);
  KeyStorage().swap(keys_);
  free_ = kNoNode;
  free_count_ = 0;
  keys_apart_ = false;
  in_key_order_ = true;
}

}  // namespace tervalo
