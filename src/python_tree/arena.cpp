#include <algorithm>
#include <limits>
#include <new>

#include "python_tree/python_tree.h"

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
    const std::size_t grown = std::max(needed, nodes_.capacity() + nodes_.capacity() / 2);
    nodes_.reserve(std::min(grown, most));
  }
  if (nodes_.empty()) nodes_.emplace_back();
}

NodeIndex NodeArena::take(Ref value, Ref key, const KeyNumber& number) noexcept {
  in_key_order_ = false;
  NodeIndex index;
  if (free_ != kNoNode) {
    index = free_;
    free_ = nodes_[index].left;
    --free_count_;
  } else {
    index = static_cast<NodeIndex>(nodes_.size());
    nodes_.emplace_back();
  }
  Node& node = nodes_[index];
  node.kind = number.kind;
  node.number = number.value;
  node.value = std::move(value);
  node.key = std::move(key);
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

namespace {

NodeIndex place_in_order(NodeStorage& from, NodeStorage& to, NodeIndex index) {
  if (index == kNoNode) return kNoNode;
  Node& node = from[index];
  const NodeIndex left = place_in_order(from, to, node.left);
  const auto placed = static_cast<NodeIndex>(to.size());
  to.emplace_back(std::move(node));
  const NodeIndex right = place_in_order(from, to, to[placed].right);
  to[placed].left = left;
  to[placed].right = right;
  return placed;
}

}  // namespace

NodeIndex NodeArena::relayout_in_order(NodeIndex root, std::size_t count) {
  NodeStorage fresh;
  fresh.reserve(count + 1);
  fresh.emplace_back();
  const NodeIndex placed = place_in_order(nodes_, fresh, root);
  nodes_.swap(fresh);
  free_ = kNoNode;
  free_count_ = 0;
  in_key_order_ = true;
  return placed;
}

void NodeArena::reset() noexcept {
  NodeStorage().swap(nodes_);
  free_ = kNoNode;
  free_count_ = 0;
  in_key_order_ = true;
}

}  // namespace tervalo
