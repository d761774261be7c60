// A tree built from entries handed over one at a time, with the shape, the refusals and the
// calls into Python of inserting them one by one.
//
// While every key so far belongs to one comparison group (exact ints that fit 64 bits, exact
// floats other than NaN, exact strs, or exact bytes), comparing two keys runs no Python code and
// cannot fail, so nothing can tell how many comparisons are made or when. Entries then only
// take the next node, unlinked, in the order they come; a duplicate is found (against the
// previous key while the keys rise or fall, else in a set of the keys kept) and refused at
// once, value then key, as insertion refuses it. Linking comes at the end: the insertions are
// replayed on the entries' ranks (their arrival order when the keys rose or fell, a sort
// otherwise), and the nodes are moved into key order where they lie. The first key outside the
// group links the nodes so far; it and every later entry are then inserted one by one.
#pragma once

#include "python_tree/key_set.h"
#include "python_tree/mapped_allocator.h"
#include "python_tree/python_tree.h"

namespace tervalo {

class TreeConstruction {
 public:
  TreeConstruction() = default;
  TreeConstruction(const TreeConstruction&) = delete;
  TreeConstruction& operator=(const TreeConstruction&) = delete;
  // Unfinished (a fault unwinding), unlinked entries go in the order they came, value then key.
  ~TreeConstruction() noexcept(false) { release_stash(); }

  // Room for `count` entries, as far as storage that the C allocator would serve goes: the input's
  // length bounds the entries kept, and taking their room at once spares the copies and page
  // faults of growing into it. `std::bad_alloc` when it cannot be had.
  void reserve(std::size_t count);
  // As `tree.insert(value, key)` on the tree built so far.
  Result<bool> add(Ref value, Ref key);
  // Readies the lookup of a key that `add` will soon be given: once the keys are scattered,
  // the duplicate set's bucket for an exact int or float lies anywhere in memory.
  void prefetch_key(PyObject* key) const noexcept;
  // The tree built so far, laid out in key order.
  PythonAvlTree finish();
  // Releases the tree built so far as `clear` releases a tree.
  void abandon();

 private:
  enum class Group : std::uint8_t { None, Integer, Real, Text, Bytes, Mixed };
  enum class Arrival : std::uint8_t { Rising, Falling, Scattered };
  static Group group_of(const KeyNumber& number) noexcept;

  // Takes the next node for an entry that is kept.
  void append(Ref value, Ref key, const KeyNumber& number);
  // Whether a key Equal to `key` is stashed.
  Result<bool> stashed(PyObject* key, const KeyNumber& number);
  // The slot in key order of each stashed entry, in the order they came.
  ScratchVector<NodeIndex> ranks() const;
  // Links the stash into the tree; later entries are inserted one by one.
  void link_stash();
  void release_stash();

  PythonAvlTree tree_;
  bool stashing_ = true;
  bool inserted_one_by_one_ = false;
  Group group_ = Group::None;
  Arrival arrival_ = Arrival::Rising;
  KeySet kept_;  // filled once the keys stop rising or falling
};

}  // namespace tervalo
