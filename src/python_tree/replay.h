// The shape of one-by-one insertion, computed on slot numbers alone.
//
// When the slots 1..n hold the entries in ascending key order, a key's slot is its rank, and
// inserting slot numbers in the order the keys arrived gives exactly the shape that inserting
// the keys gives: the same descents, the same rotations. The links live apart from the nodes,
// 12 bytes a slot, so that the descents stay within a small block of memory.
//
// An insertion past the highest (or below the lowest) slot so far is attached at the end of the
// spine that leads there, remembered from the previous insertion at that end, and that spine is
// rebalanced bottom-up as a descent's path would be: sorted and reverse-sorted input costs no
// descent at all.
#pragma once

#include <cstddef>

#include "python_tree/balance.h"
#include "python_tree/scratch.h"

namespace tervalo {

struct Link {
  NodeIndex left = kNoNode;
  NodeIndex right = kNoNode;
  std::uint8_t height = 1;
};

class ShapeReplay {
 public:
  // Room for slots 1..count; `std::bad_alloc` when it cannot be had.
  explicit ShapeReplay(std::size_t count);

  // Inserts `slot`, which must not be in the tree yet.
  void insert(NodeIndex slot);
  // Inserts every slot, in ascending order, into an empty replay, in one pass over the slots.
  // Ascending insertion of n keys leaves a tree whose top has a perfect left subtree, of the
  // largest height h with 3 * 2^(h - 1) <= n (0 for n below 3), and as its right subtree what
  // ascending insertion of the other n - 2^h keys leaves: so the right spine carries perfect
  // subtrees of falling heights, like the digits of a counter that every insertion steps.
  void insert_ascending();
  // Hands every slot's links to `write(slot, left, right, height)`; answers the root. Mirrored,
  // slot s is handed over as count + 1 - s with its sides swapped: the shape of descending
  // insertion is the mirror image of ascending insertion's.
  template <class Write>
  NodeIndex write_links(Write&& write, bool mirrored) const {
    const auto count = static_cast<NodeIndex>(links_.size() - 1);
    const auto place = [&](NodeIndex slot) {
      return !mirrored || slot == kNoNode ? slot : count + 1 - slot;
    };
    for (NodeIndex slot = 1; slot <= count; ++slot) {
      const Link& link = links_[slot];
      write(place(slot), place(mirrored ? link.right : link.left),
            place(mirrored ? link.left : link.right), link.height);
    }
    return place(root_);
  }

 private:
  // The slots from the root toward one end, root first; empty while not known.
  class Spine {
   public:
    bool empty() const noexcept { return depth_ == 0; }
    std::size_t depth() const noexcept { return depth_; }
    NodeIndex operator[](std::size_t at) const noexcept { return slots_[at]; }
    NodeIndex back() const noexcept { return slots_[depth_ - 1]; }
    void clear() noexcept { depth_ = 0; }
    void push(NodeIndex slot) {
      if (depth_ == slots_.size()) throw Panic{"tree is deeper than a balanced tree can be"};
      slots_[depth_++] = slot;
    }
    void erase(std::size_t at) noexcept {
      for (std::size_t i = at + 1; i < depth_; ++i) slots_[i - 1] = slots_[i];
      --depth_;
    }

   private:
    std::array<NodeIndex, kMaxHeight> slots_{};
    std::size_t depth_ = 0;
  };

  // Links slots first .. first + size - 1 (size is 2^h - 1) as a perfect tree; its top.
  NodeIndex link_perfect(NodeIndex first, std::size_t size);
  void find(Spine& spine, NodeIndex Link::* toward) const;
  void attach(NodeIndex slot, Spine& spine, NodeIndex Link::* toward, Spine& other);
  void descend(NodeIndex slot);

  ScratchVector<Link> links_;
  NodeIndex root_ = kNoNode;
  NodeIndex lowest_ = kNoNode;
  NodeIndex highest_ = kNoNode;
  Spine low_;
  Spine high_;
};

}  // namespace tervalo
