// Rebalancing and rotations: pure relinking of slots, no Python calls.
//
// Written once for any storage of links that numbers its nodes by slot and gives each a `left`,
// a `right` and a `height` (a tree's arena, or the bare links a construction replays its
// insertions on), so that every tree gets the same shape from the same sequence of insertions.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "foundation/panic.h"
#include "python_tree/arena.h"

namespace tervalo {

// Deeper than any balanced tree whose slots fit 32-bit numbers can be.
inline constexpr std::size_t kMaxHeight = 64;

template <class Links>
std::uint8_t height_of(const Links& links, NodeIndex index) noexcept {
  return index == kNoNode ? 0 : links[index].height;
}

namespace detail {

template <class Links, class Node>
void update_height(const Links& links, Node& node) noexcept {
  node.height = static_cast<std::uint8_t>(
      1 + std::max(height_of(links, node.left), height_of(links, node.right)));
}

template <class Links, class Node>
int balance_of(const Links& links, const Node& node) noexcept {
  return int{height_of(links, node.left)} - int{height_of(links, node.right)};
}

}  // namespace detail

/*
 *     x                r
 *    / \              / \
 *  [a]  r     ==>    x  [c]
 *      / \          / \
 *    [b] [c]      [a] [b]
 *
 * Answers the former right child, now heading the subtree.
 */
template <class Links>
NodeIndex rotate_left(Links& links, NodeIndex x) {
  auto& top = links[x];
  if (top.right == kNoNode) throw Panic{"left rotation needs a right child"};
  const NodeIndex r = top.right;
  auto& right = links[r];
  top.right = right.left;
  detail::update_height(links, top);
  right.left = x;
  detail::update_height(links, right);
  return r;
}

/*
 *       x            l
 *      / \          / \
 *     l  [c] ==>  [a]  x
 *    / \              / \
 *  [a] [b]          [b] [c]
 *
 * Answers the former left child, now heading the subtree.
 */
template <class Links>
NodeIndex rotate_right(Links& links, NodeIndex x) {
  auto& top = links[x];
  if (top.left == kNoNode) throw Panic{"right rotation needs a left child"};
  const NodeIndex l = top.left;
  auto& left = links[l];
  top.left = left.right;
  detail::update_height(links, top);
  left.right = x;
  detail::update_height(links, left);
  return l;
}

// Restores the height and balance of a node whose subtrees are balanced and differ in height by
// at most 2; answers the node that now heads the subtree.
template <class Links>
NodeIndex rebalance(Links& links, NodeIndex index) {
  auto& node = links[index];
  detail::update_height(links, node);
  const int balance = detail::balance_of(links, node);
  if (balance > 1) {
    // A child of balance 0 (possible only after a removal) takes the single rotation.
    if (detail::balance_of(links, links[node.left]) < 0) node.left = rotate_left(links, node.left);
    return rotate_right(links, index);
  }
  if (balance < -1) {
    if (detail::balance_of(links, links[node.right]) > 0) {
      node.right = rotate_right(links, node.right);
    }
    return rotate_left(links, index);
  }
  return index;
}

// The links passed by a descent, root first. Slots do not move during a descent: room for a
// new node is reserved before it starts and removal allocates nothing.
template <class Links>
class Path {
 public:
  void push(NodeIndex* link) {
    if (depth_ == links_.size()) throw Panic{"tree is deeper than a balanced tree can be"};
    links_[depth_++] = link;
  }
  // Rebalances the passed nodes bottom-up. A subtree whose height comes out as it was leaves
  // every node above it exactly as it is, so the walk stops there: the result is the same as
  // rebalancing every node of the path, without reading the siblings of the upper levels.
  void rebalance_all(Links& links) {
    while (depth_ > 0) {
      NodeIndex* link = links_[--depth_];
      const std::uint8_t height_before = links[*link].height;
      *link = rebalance(links, *link);
      if (links[*link].height == height_before) break;
    }
  }

 private:
  // Left uninitialised: only the entries below `depth_` are ever read.
  std::array<NodeIndex*, kMaxHeight> links_;
  std::size_t depth_ = 0;
};

}  // namespace tervalo
