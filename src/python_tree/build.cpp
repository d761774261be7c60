// The sorted bulk builder: a balanced tree from entries already in ascending key order, in one
// pass, with no comparison, no rotation and no reference-count traffic (entries move into
// nodes). The input is trusted: its order is the tree's in-order sequence, whatever it is.
#include <algorithm>

#include "python_tree/python_tree.h"

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
Link build_balanced_py(EntrySource& source, std::size_t n) {
  if (n == 0) return Link();
  Link left = build_balanced_py(source, n / 2);
  Entry& entry = source.next();
  Link right = build_balanced_py(source, n - n / 2 - 1);
  auto node = std::make_unique<Node>(std::move(entry.value), std::move(entry.key));
  node->left = std::move(left);
  node->right = std::move(right);
  node->height = 1 + std::max(height_of(node->left), height_of(node->right));
  return node;
}

}  // namespace

PythonAvlTree from_sorted(EntryList entries) {
  const std::size_t n = entries.size();
  EntrySource source(entries);
  Link root = build_balanced_py(source, n);
  return PythonAvlTree(std::move(root), n);
}

}  // namespace tervalo
