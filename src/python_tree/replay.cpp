#include "python_tree/replay.h"

#include <utility>

namespace tervalo {
namespace {

constexpr std::size_t kBits = 64;

// The bits of `word` below bit `at`.
std::uint64_t bits_below(std::uint64_t word, std::size_t at) noexcept {
  return word & ((std::uint64_t{1} << at) - 1);
}
// The bits of `word` above bit `at`.
std::uint64_t bits_above(std::uint64_t word, std::size_t at) noexcept {
  return at + 1 == kBits ? 0 : word & ~((std::uint64_t{2} << at) - 1);
}
std::size_t highest_bit(std::uint64_t word) noexcept {
  return kBits - 1 - static_cast<std::size_t>(std::countl_zero(word));
}
std::size_t lowest_bit(std::uint64_t word) noexcept {
  return static_cast<std::size_t>(std::countr_zero(word));
}

}  // namespace

ShapeReplay::Presence::Presence(std::size_t count)
    : words_(count / kBits + 1, 0), summary_(count / (kBits * kBits) + 1, 0) {}

void ShapeReplay::Presence::add(NodeIndex slot) noexcept {
  const std::size_t word = slot / kBits;
  words_[word] |= std::uint64_t{1} << (slot % kBits);
  summary_[word / kBits] |= std::uint64_t{1} << (word % kBits);
}

NodeIndex ShapeReplay::Presence::below(NodeIndex slot) const noexcept {
  std::size_t word = slot / kBits;
  if (const std::uint64_t bits = bits_below(words_[word], slot % kBits)) {
    return static_cast<NodeIndex>(word * kBits + highest_bit(bits));
  }
  std::size_t group = word / kBits;
  std::uint64_t words = bits_below(summary_[group], word % kBits);
  while (words == 0) words = summary_[--group];
  word = group * kBits + highest_bit(words);
  return static_cast<NodeIndex>(word * kBits + highest_bit(words_[word]));
}

NodeIndex ShapeReplay::Presence::above(NodeIndex slot) const noexcept {
  std::size_t word = slot / kBits;
  if (const std::uint64_t bits = bits_above(words_[word], slot % kBits)) {
    return static_cast<NodeIndex>(word * kBits + lowest_bit(bits));
  }
  std::size_t group = word / kBits;
  std::uint64_t words = bits_above(summary_[group], word % kBits);
  while (words == 0) words = summary_[++group];
  word = group * kBits + lowest_bit(words);
  return static_cast<NodeIndex>(word * kBits + lowest_bit(words_[word]));
}

ShapeReplay::ShapeReplay(std::size_t count) : links_(count + 1), present_(count) {}

NodeIndex& ShapeReplay::link_to(NodeIndex slot) noexcept {
  const NodeIndex parent = links_[slot].parent;
  if (parent == kNoNode) return root_;
  Link& above = links_[parent];
  return above.left == slot ? above.left : above.right;
}

void ShapeReplay::insert(NodeIndex slot) {
  present_.add(slot);
  if (root_ == kNoNode) {
    root_ = lowest_ = highest_ = slot;
    return;
  }
  NodeIndex parent;
  if (slot > highest_) {
    parent = std::exchange(highest_, slot);
    links_[parent].right = slot;
  } else if (slot < lowest_) {
    parent = std::exchange(lowest_, slot);
    links_[parent].left = slot;
  } else if (const NodeIndex lower = present_.below(slot); links_[lower].right == kNoNode) {
    parent = lower;
    links_[parent].right = slot;
  } else {
    parent = present_.above(slot);
    links_[parent].left = slot;
  }
  links_[slot].parent = parent;
  rebalance_up(parent);
}

void ShapeReplay::rebalance_up(NodeIndex slot) {
  for (NodeIndex node = slot; node != kNoNode;) {
    NodeIndex& link = link_to(node);
    const NodeIndex parent = links_[node].parent;
    const std::uint8_t height_before = links_[node].height;
    const NodeIndex top = rebalance(links_, node);
    if (top != node) {
      // A rotation moves slots at most two levels below the new top: their parents follow.
      link = top;
      links_[top].parent = parent;
      for (const NodeIndex child : {links_[top].left, links_[top].right}) {
        if (child == kNoNode) continue;
        links_[child].parent = top;
        for (const NodeIndex grandchild : {links_[child].left, links_[child].right}) {
          if (grandchild != kNoNode) links_[grandchild].parent = child;
        }
      }
    }
    if (links_[top].height == height_before) break;
    node = parent;
  }
}

}  // namespace tervalo
