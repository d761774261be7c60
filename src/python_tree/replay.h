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
#include <vector>

#include "python_tree/balance.h"

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
  // Inserts every slot, in ascending order, into an empty replay. The same shape as `insert`
  // gives, without its generic rebalancing: along the spine of an ascending run every left
  // subtree is final, so the spine's own heights are all there is to follow.
  void insert_ascending();
  // Copies the links into the nodes of `nodes`; answers the root. Mirrored, slot s goes to
  // count + 1 - s with its sides swapped: the shape of descending insertion is the mirror image
  // of ascending insertion's.
  NodeIndex write_into(NodeArena& nodes, bool mirrored) const;

  Link& operator[](NodeIndex slot) noexcept { return links_[slot]; }
  const Link& operator[](NodeIndex slot) const noexcept { return links_[slot]; }

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

  void find(Spine& spine, NodeIndex Link::* toward) const;
  void attach(NodeIndex slot, Spine& spine, NodeIndex Link::* toward, Spine& other);
  void descend(NodeIndex slot);

  std::vector<Link> links_;
  NodeIndex root_ = kNoNode;
  NodeIndex lowest_ = kNoNode;
  NodeIndex highest_ = kNoNode;
  Spine low_;
  Spine high_;
};

}  // namespace tervalo
