// The set of keys a construction has kept so far, for keys of one comparison group.
//
// A construction that defers linking must still refuse a duplicate at the moment insertion
// would refuse it (its release can run a finaliser between two calls of the key callable), so
// it asks this set first. The set holds positions in the stash only, open-addressed and probed
// linearly; each key's hash is recomputed from the entry: the number itself for ints and floats,
// the object's own cached hash for strs and bytes.
#pragma once

#include <cstddef>
#include <span>

#include "python_tree/python_tree.h"
#include "python_tree/scratch.h"

namespace tervalo {

// The ordering of two keys of one comparison group, which cannot fail and runs no Python code.
inline Ordering order_in_group(PyObject* a, const KeyNumber& a_number, PyObject* b,
                               const KeyNumber& b_number) {
  auto ordering = compare(a, a_number, b, b_number);
  if (!ordering) throw Panic{"keys of one group failed to compare"};
  return *ordering;
}

// An entry a construction has taken and not yet placed in a node.
struct StashedEntry {
  Ref value;
  Ref key;
  KeyNumber number;
};
using Stash = std::span<const StashedEntry>;

class KeySet {
 public:
  // Every entry of `stash`, none of them Equal to another.
  void fill(Stash stash);
  // Whether an entry of `stash` in the set has a key Equal to `key`.
  bool contains(Stash stash, PyObject* key, const KeyNumber& number) const;
  // Adds the last entry of `stash`, whose key must not be in the set.
  void add_last(Stash stash);
  // Gives the memory back.
  void clear() noexcept { ScratchVector<std::uint32_t>().swap(buckets_); }

 private:
  static std::size_t hash_of(PyObject* key, const KeyNumber& number) noexcept;
  static std::size_t hash_of(const StashedEntry& entry) noexcept {
    return hash_of(entry.key.get(), entry.number);
  }
  void grow(Stash stash, std::size_t capacity);
  void place(std::size_t hash, std::uint32_t position) noexcept;

  // 1 + the entry's position in the stash; 0 where empty. The size is a power of two.
  ScratchVector<std::uint32_t> buckets_;
  std::size_t count_ = 0;
};

}  // namespace tervalo
