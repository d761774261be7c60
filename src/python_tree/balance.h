// Rebalancing and rotations: pure relinking of arena slots, no Python calls.
#pragma once

#include "python_tree/python_tree.h"

namespace tervalo {

// Deeper than any balanced tree whose slots fit 32-bit numbers can be.
inline constexpr std::size_t kMaxHeight = 64;

inline std::uint8_t height_of(const NodeArena& nodes, NodeIndex index) noexcept {
  return index == kNoNode ? 0 : nodes[index].height;
}

// Restores the height and balance of a node whose subtrees are balanced and differ in height by
// at most 2; answers the node that now heads the subtree.
NodeIndex rebalance(NodeArena& nodes, NodeIndex node);
// The former right (left) child, now heading the subtree.
NodeIndex rotate_left(NodeArena& nodes, NodeIndex node);
NodeIndex rotate_right(NodeArena& nodes, NodeIndex node);

}  // namespace tervalo
