#include "python_tree/replay.h"

namespace tervalo {

ShapeReplay::ShapeReplay(std::size_t count) : links_(count + 1) {}

void ShapeReplay::insert(NodeIndex slot) {
  if (root_ == kNoNode) {
    root_ = lowest_ = highest_ = slot;
    return;
  }
  if (slot > highest_) {
    highest_ = slot;
    attach(slot, high_, &Link::right, low_);
  } else if (slot < lowest_) {
    lowest_ = slot;
    attach(slot, low_, &Link::left, high_);
  } else {
    descend(slot);
  }
}

void ShapeReplay::find(Spine& spine, NodeIndex Link::* toward) const {
  spine.clear();
  for (NodeIndex slot = root_; slot != kNoNode; slot = links_[slot].*toward) spine.push(slot);
}

void ShapeReplay::attach(NodeIndex slot, Spine& spine, NodeIndex Link::* toward, Spine& other) {
  if (spine.empty()) find(spine, toward);
  links_[spine.back()].*toward = slot;
  spine.push(slot);
  // As a descent's path is rebalanced: bottom-up, up to the first subtree whose height comes
  // out as it was.
  for (std::size_t depth = spine.depth() - 1; depth-- > 0;) {
    const NodeIndex node = spine[depth];
    const std::uint8_t height_before = links_[node].height;
    const NodeIndex top = rebalance(links_, node);
    if (top != node) {
      // Only the side of the new slot can have grown too tall, and there only its outer
      // grandchild: the single rotation lifts the next spine slot into this one's place.
      if (spine[depth + 1] != top) throw Panic{"an end insertion needs a single rotation"};
      (depth == 0 ? root_ : links_[spine[depth - 1]].*toward) = top;
      spine.erase(depth);
      // The other spine starts at the root.
      if (depth == 0) other.clear();
    }
    if (links_[top].height == height_before) break;
  }
}

void ShapeReplay::descend(NodeIndex slot) {
  Path<ScratchVector<Link>> path;
  NodeIndex* link = &root_;
  while (*link != kNoNode) {
    path.push(link);
    Link& node = links_[*link];
    link = slot < *link ? &node.left : &node.right;
  }
  *link = slot;
  path.rebalance_all(links_);
  // Rotations along the path may have moved either spine.
  low_.clear();
  high_.clear();
}

}  // namespace tervalo
