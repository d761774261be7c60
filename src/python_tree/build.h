#pragma once

#include <cstddef>

#include "python_tree/python_tree.h"

namespace tervalo {

// The sorted bulk builder: a balanced tree from (value, key) entries handed over one at a time,
// already in ascending key order, with no comparison and no rotation. The order is trusted: it
// becomes the tree's in-order sequence, whatever it is. Each entry moves straight into the next
// arena slot, so the nodes lie in key order; `finish` then only links them. Until then the
// builder owns the entries, and dropping it releases them in the order given, value then key.
class SortedBuilder {
 public:
  SortedBuilder() = default;
  SortedBuilder(const SortedBuilder&) = delete;
  SortedBuilder& operator=(const SortedBuilder&) = delete;
  ~SortedBuilder() noexcept(false);

  // Makes room for `count` more entries at once; `std::bad_alloc` when it cannot be had.
  void reserve(std::size_t count);
  // Takes over one entry, the next in key order.
  void append(Ref value, Ref key) {
    if (room_ == 0) grow();
    tree_.nodes_.prepare_for(value.get(), key.get());
    --room_;
    const KeyNumber number = KeyNumber::of(key.get());
    tree_.nodes_.append(std::move(value), std::move(key), number);
    ++tree_.len_;
  }
  // The tree of the entries appended, in that order. Its top is the entry at position
  // floor(n / 2), and so is each subtree's: the left side never holds fewer entries than the
  // right, every balance is 0 or +1, and the height is the bit length of n.
  PythonAvlTree finish();

 private:
  void grow();

  PythonAvlTree tree_;
  std::size_t room_ = 0;
};

}  // namespace tervalo
