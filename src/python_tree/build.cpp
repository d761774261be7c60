// The sorted bulk builder. Entries arrive in key order and take consecutive arena slots from 1
// on, so the subtree of the n entries from slot `first` on is headed by slot first + n / 2, and
// linking needs no entry at hand: one pass over the slots, no reference-count traffic.
#include "python_tree/build.h"

#include <algorithm>
#include <bit>

namespace tervalo {
namespace {

// Recursion depth is the bit length of n. A single entry is a leaf as appended.
NodeIndex link_balanced(NodeArena& nodes, NodeIndex first, std::size_t n) {
  if (n <= 1) return n == 0 ? kNoNode : first;
  const auto top = static_cast<NodeIndex>(first + n / 2);
  Node& node = nodes[top];
  node.left = link_balanced(nodes, first, n / 2);
  node.right = link_balanced(nodes, top + 1, n - n / 2 - 1);
  node.height = static_cast<std::uint8_t>(std::bit_width(n));
  return top;
}

}  // namespace

void SortedBuilder::reserve(std::size_t count) {
  tree_.nodes_.reserve(count);
  room_ = std::max(room_, count);
}

// Without a reservation up front, room grows by half the entries taken so far.
void SortedBuilder::grow() { reserve(std::max<std::size_t>(tree_.len_ / 2, 16)); }

PythonAvlTree SortedBuilder::finish() {
  PythonAvlTree tree(std::move(tree_));
  tree.root_ = link_balanced(tree.nodes_, 1, tree.len_);
  return tree;
}

SortedBuilder::~SortedBuilder() noexcept(false) {
  // Not finished: the entries are still unlinked (the tree has no root, so its own release
  // would not reach them) and go in the order given. Nothing can reach the builder meanwhile.
  tree_.nodes_.release_slots(std::exchange(tree_.len_, 0));
}

}  // namespace tervalo
