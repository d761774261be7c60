// The shape of one-by-one insertion, computed on slot numbers alone.
//
// When the slots 1..n hold the entries in ascending key order, a key's slot is its rank, and
// inserting slot numbers in the order the keys arrived gives exactly the shape that inserting
// the keys gives: the same attachments, the same rotations. The links live apart from the
// nodes, 16 bytes a slot.
//
// No insertion descends from the root. A new slot's parent in a search tree is its nearest
// present neighbour on one side: the next lower slot when that has no right child, else the
// next higher one, whose left child is then free. The neighbours come from a bitmap of the
// slots present (an eighth of a byte a slot, with a summary bit per 64), and each slot knows its
// parent, so the heights are corrected bottom-up from the new leaf, rotating where a descent's
// path would be rotated, up to the first subtree whose height comes out as it was. A descent
// would touch a slot at every level, far apart in memory; this touches the few it changes.
// Sorted and reverse-sorted input need no replay at all: `link_ascending` gives their shape from
// the count alone.
#pragma once

#include <bit>
#include <cstddef>

#include "foundation/panic.h"
#include "python_tree/balance.h"
#include "python_tree/mapped_allocator.h"

namespace tervalo {

struct Link {
  NodeIndex left = kNoNode;
  NodeIndex right = kNoNode;
  NodeIndex parent = kNoNode;
  std::uint8_t height = 1;
};

class ShapeReplay {
 public:
  // Room for slots 1..count; `std::bad_alloc` when it cannot be had.
  explicit ShapeReplay(std::size_t count);

  // Inserts `slot`, which must not be in the tree yet.
  void insert(NodeIndex slot);
  // Hands every slot's links to `write(slot, left, right, height)`; answers the root.
  template <class Write>
  NodeIndex write_links(Write&& write) const {
    for (NodeIndex slot = 1; slot < links_.size(); ++slot) {
      const Link& link = links_[slot];
      write(slot, link.left, link.right, link.height);
    }
    return root_;
  }

 private:
  // The slots present, one bit each, and one summary bit per word that has any.
  class Presence {
   public:
    explicit Presence(std::size_t count);
    void add(NodeIndex slot) noexcept;
    // The nearest present slot below (above) `slot`; one must exist.
    NodeIndex below(NodeIndex slot) const noexcept;
    NodeIndex above(NodeIndex slot) const noexcept;

   private:
    ScratchVector<std::uint64_t> words_;
    ScratchVector<std::uint64_t> summary_;
  };

  // The link in `slot`'s parent (or the root) that leads to `slot`.
  NodeIndex& link_to(NodeIndex slot) noexcept;
  // Corrects heights and balances from `slot` up, as a descent's path is rebalanced.
  void rebalance_up(NodeIndex slot);

  ScratchVector<Link> links_;
  Presence present_;
  NodeIndex root_ = kNoNode;
  NodeIndex lowest_ = kNoNode;
  NodeIndex highest_ = kNoNode;
};

namespace detail {

// Links slots first .. first + size - 1 (size is 2^h - 1) as a perfect tree; answers its top.
template <class Link>
std::size_t link_perfect(std::size_t first, std::size_t size, Link& link) {
  if (size == 0) return 0;
  const std::size_t top = first + size / 2;
  link(top, link_perfect(first, size / 2, link), link_perfect(top + 1, size / 2, link),
       static_cast<std::uint8_t>(std::bit_width(size)));
  return top;
}

}  // namespace detail

// Links slots 1..count as inserting them in ascending order one by one leaves them, handing
// each slot's links to `write(slot, left, right, height)` once; answers the root. Mirrored,
// slot s is handed over as count + 1 - s with its sides swapped: the shape that descending
// insertion leaves is the mirror image.
//
// Ascending insertion of n keys leaves a tree whose top has a perfect left subtree, of the
// largest height h with 3 * 2^(h - 1) <= n (0 for n below 3), and as its right subtree what
// ascending insertion of the other n - 2^h keys leaves: so the right spine carries perfect
// subtrees of falling heights, like the digits of a counter that every insertion steps.
template <class Write>
NodeIndex link_ascending(std::size_t count, bool mirrored, Write&& write) {
  const auto place = [count, mirrored](std::size_t slot) {
    return static_cast<NodeIndex>(!mirrored || slot == 0 ? slot : count + 1 - slot);
  };
  const auto link = [&](std::size_t slot, std::size_t left, std::size_t right,
                        std::uint8_t height) {
    if (mirrored) std::swap(left, right);
    write(place(slot), place(left), place(right), height);
  };
  // The right spine from the root down, with the height of each spine slot's left subtree.
  std::array<std::size_t, kMaxHeight> spine{};
  std::array<std::uint8_t, kMaxHeight> left_heights{};
  std::size_t depth = 0;
  for (std::size_t first = 1, remaining = count; remaining > 0; ++depth) {
    if (depth == spine.size()) throw Panic{"tree is deeper than a balanced tree can be"};
    const auto height = static_cast<std::uint8_t>(std::bit_width(remaining / 3));
    const std::size_t left_size = (std::size_t{1} << height) - 1;
    spine[depth] = first + left_size;
    left_heights[depth] = height;
    first += left_size + 1;
    remaining -= left_size + 1;
  }
  std::uint8_t below = 0;
  for (std::size_t at = depth; at-- > 0;) {
    const std::size_t top = spine[at];
    const std::size_t left_size = (std::size_t{1} << left_heights[at]) - 1;
    const std::size_t left = detail::link_perfect(top - left_size, left_size, link);
    below = static_cast<std::uint8_t>(1 + std::max(left_heights[at], below));
    link(top, left, at + 1 < depth ? spine[at + 1] : 0, below);
  }
  return place(depth == 0 ? 0 : spine[0]);
}

}  // namespace tervalo
