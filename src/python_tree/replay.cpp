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
  Path<std::vector<Link>> path;
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

void ShapeReplay::insert_ascending() {
  struct Step {
    NodeIndex slot;
    std::uint8_t left_height;
    std::uint8_t height;
  };
  std::array<Step, kMaxHeight> spine{};
  std::size_t depth = 0;
  const std::size_t count = links_.size() - 1;
  for (std::size_t n = 1; n <= count; ++n) {
    const auto slot = static_cast<NodeIndex>(n);
    if (depth == spine.size()) throw Panic{"tree is deeper than a balanced tree can be"};
    if (depth > 0) links_[spine[depth - 1].slot].right = slot;
    spine[depth++] = Step{slot, 0, 1};
    for (std::size_t at = depth - 1; at-- > 0;) {
      Step& node = spine[at];
      Step& child = spine[at + 1];
      if (child.height <= node.left_height + 1) {
        const auto height = static_cast<std::uint8_t>(1 + std::max(node.left_height, child.height));
        if (height == node.height) break;
        node.height = height;
        links_[node.slot].height = height;
        continue;
      }
      // Two taller on the right, where the child leans right too (its right side grew): the
      // single left rotation lifts the child into this place, and the height is as it was.
      const std::uint8_t right_height = at + 2 < depth ? spine[at + 2].height : 0;
      if (child.left_height > right_height) throw Panic{"an end insertion needs a single rotation"};
      Link& lowered = links_[node.slot];
      Link& lifted = links_[child.slot];
      lowered.right = lifted.left;
      lowered.height = static_cast<std::uint8_t>(1 + std::max(node.left_height, child.left_height));
      lifted.left = node.slot;
      child.left_height = lowered.height;
      child.height = static_cast<std::uint8_t>(1 + std::max(lowered.height, right_height));
      lifted.height = child.height;
      if (at > 0) links_[spine[at - 1].slot].right = child.slot;
      for (std::size_t i = at + 1; i < depth; ++i) spine[i - 1] = spine[i];
      --depth;
      break;
    }
  }
  root_ = depth > 0 ? spine[0].slot : kNoNode;
}

NodeIndex ShapeReplay::write_into(NodeArena& nodes, bool mirrored) const {
  const auto count = static_cast<NodeIndex>(links_.size() - 1);
  const auto place = [&](NodeIndex slot) {
    return !mirrored || slot == kNoNode ? slot : count + 1 - slot;
  };
  for (NodeIndex slot = 1; slot <= count; ++slot) {
    const Link& link = links_[slot];
    Node& node = nodes[place(slot)];
    node.left = place(mirrored ? link.right : link.left);
    node.right = place(mirrored ? link.left : link.right);
    node.height = link.height;
  }
  return place(root_);
}

}  // namespace tervalo
