// The set of keys a construction has kept so far, for keys of one comparison group.
//
// A construction that defers linking must still refuse a duplicate at the moment insertion
// would refuse it (its release can run a finaliser between two calls of the key callable), so
// it asks this set first. The set holds positions of the construction's unlinked nodes,
// open-addressed and probed linearly, each beside the upper half of its key's hash: the number
// itself for ints and floats, the object's own cached hash for strs and bytes. A probe reads a
// node only when that half matches, and growing reads none.
#pragma once

#include <cstddef>

#include "foundation/panic.h"
#include "python_tree/arena.h"
#include "python_tree/mapped_allocator.h"

namespace tervalo {

// The ordering of two keys of one comparison group, which cannot fail and runs no Python code.
inline Ordering order_in_group(PyObject* a, const KeyNumber& a_number, PyObject* b,
                               const KeyNumber& b_number) {
  auto ordering = compare(a, a_number, b, b_number);
  if (!ordering) throw Panic{"keys of one group failed to compare"};
  return *ordering;
}

// The entries a construction has taken and not yet linked, in the order they came: the arena's
// slots 1..size, read by position from 0.
class Stash {
 public:
  explicit Stash(const NodeArena& nodes) noexcept : nodes_(&nodes), size_(nodes.slot_count()) {}
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  KeyNumber number(std::size_t position) const noexcept {
    return (*nodes_)[slot(position)].key_number();
  }
  PyObject* key(std::size_t position) const noexcept { return nodes_->key(slot(position)); }

 private:
  static NodeIndex slot(std::size_t position) noexcept {
    return static_cast<NodeIndex>(position + 1);
  }
  const NodeArena* nodes_;
  std::size_t size_;
};

class KeySet {
 public:
  // Every entry of `stash`, none of them Equal to another.
  void fill(Stash stash);
  // Whether an entry of `stash` in the set has a key Equal to `key`.
  bool contains(Stash stash, PyObject* key, const KeyNumber& number) const;
  // Adds the last entry of `stash`, whose key must not be in the set.
  void add_last(Stash stash);
  // Fetches the bucket that a lookup of a key with the int or float number `number` probes
  // first.
  void prefetch(const KeyNumber& number) const noexcept {
    if (!buckets_.empty()) __builtin_prefetch(&buckets_[home(hash_of(nullptr, number))]);
  }
  // Gives the memory back.
  void clear() noexcept { ScratchVector<std::uint64_t>().swap(buckets_); }

 private:
  // The upper half of a key's hash: Equal keys of one group have the same. `key` is read only
  // for strs and bytes.
  static std::uint32_t hash_of(PyObject* key, const KeyNumber& number) noexcept;
  // Room for `size` buckets, a power of two, refilled from the old ones.
  void resize(std::size_t size);
  // The first bucket probed for a hash: its top bits, as many as the size has.
  std::size_t home(std::uint32_t hash) const noexcept { return hash >> home_shift_; }
  void place(std::uint32_t hash, std::uint32_t position) noexcept;

  // The hash in the upper 32 bits, 1 + the node's position in the lower; 0 where empty.
  ScratchVector<std::uint64_t> buckets_;
  std::size_t count_ = 0;
  unsigned home_shift_ = 32;
};

}  // namespace tervalo
