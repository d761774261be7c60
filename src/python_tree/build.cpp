// The sorted bulk builder: a balanced tree from entries already in ascending key order, in one
// pass, with no comparison, no rotation and no reference-count traffic (entries move into
// nodes). The input is trusted: its order is the tree's in-order sequence, whatever it is.
#include <algorithm>

#include "python_tree/balance.h"

namespace tervalo {
namespace {

// Consumes entries strictly in sequence.
class EntrySource {
 public:
  explicit EntrySource(EntryList& entries) noexcept : entries_(entries) {}
  Entry& next() {
    if (next_ == entries_.size()) throw Panic{"iterator must supply exactly n entries"};
    return entries_[next_++];
  }

 private:
  EntryList& entries_;
  std::size_t next_ = 0;
};

// The subtree of the next n entries. Its top is the entry at position floor(n / 2), so the left
// side never holds fewer entries than the right: every balance is 0 or +1, and the height is
// the bit length of n. Recursion depth is that bit length.
NodeIndex build_balanced_py(NodeArena& nodes, EntrySource& source, std::size_t n) {
  if (n == 0) return kNoNode;
  const NodeIndex left = build_balanced_py(nodes, source, n / 2);
  Entry& entry = source.next();
  // Slots are taken in key order, so ordered walks of the new tree read memory front to back.
  const KeyNumber number = KeyNumber::of(entry.key.get());
  const NodeIndex index = nodes.take(std::move(entry.value), std::move(entry.key), number);
  const NodeIndex right = build_balanced_py(nodes, source, n - n / 2 - 1);
  Node& node = nodes[index];
  node.left = left;
  node.right = right;
  node.height =
      static_cast<std::uint8_t>(1 + std::max(height_of(nodes, left), height_of(nodes, right)));
  return index;
}

}  // namespace

PythonAvlTree PythonAvlTree::from_sorted(EntryList entries) {
  PythonAvlTree tree;
  const std::size_t n = entries.size();
  tree.nodes_.reserve(n);
  EntrySource source(entries);
  tree.root_ = build_balanced_py(tree.nodes_, source, n);
  tree.len_ = n;
  return tree;
}

}  // namespace tervalo
