#include "python_tree/balance.h"

#include <algorithm>

namespace tervalo {
namespace {

void update_height(NodeArena& nodes, Node& node) noexcept {
  node.height = static_cast<std::uint8_t>(
      1 + std::max(height_of(nodes, node.left), height_of(nodes, node.right)));
}

int balance_of(const NodeArena& nodes, const Node& node) noexcept {
  return int{height_of(nodes, node.left)} - int{height_of(nodes, node.right)};
}

}  // namespace

/*
 *     x                r
 *    / \              / \
 *  [a]  r     ==>    x  [c]
 *      / \          / \
 *    [b] [c]      [a] [b]
 */
NodeIndex rotate_left(NodeArena& nodes, NodeIndex x) {
  Node& top = nodes[x];
  if (top.right == kNoNode) throw Panic{"left rotation needs a right child"};
  const NodeIndex r = top.right;
  Node& right = nodes[r];
  top.right = right.left;
  update_height(nodes, top);
  right.left = x;
  update_height(nodes, right);
  return r;
}

/*
 *       x            l
 *      / \          / \
 *     l  [c] ==>  [a]  x
 *    / \              / \
 *  [a] [b]          [b] [c]
 */
NodeIndex rotate_right(NodeArena& nodes, NodeIndex x) {
  Node& top = nodes[x];
  if (top.left == kNoNode) throw Panic{"right rotation needs a left child"};
  const NodeIndex l = top.left;
  Node& left = nodes[l];
  top.left = left.right;
  update_height(nodes, top);
  left.right = x;
  update_height(nodes, left);
  return l;
}

NodeIndex rebalance(NodeArena& nodes, NodeIndex index) {
  Node& node = nodes[index];
  update_height(nodes, node);
  const int balance = balance_of(nodes, node);
  if (balance > 1) {
    // A child of balance 0 (possible only after a removal) takes the single rotation.
    if (balance_of(nodes, nodes[node.left]) < 0) node.left = rotate_left(nodes, node.left);
    return rotate_right(nodes, index);
  }
  if (balance < -1) {
    if (balance_of(nodes, nodes[node.right]) > 0) node.right = rotate_right(nodes, node.right);
    return rotate_left(nodes, index);
  }
  return index;
}

}  // namespace tervalo
