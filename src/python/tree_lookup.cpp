// Lookups, removal, clearing and the two ends of a tree.
//
// Value-taking methods derive the probe key with the tree's own extractor first (even on an
// empty tree); key-taking methods use their argument as the key unchanged. A lookup always
// answers the stored value, never the probe.
#include "python/tree.h"

namespace tervalo {
namespace {

// The stored value whose key compares Equal to the key of `probe`, or an empty Ref.
Result<Ref> search(const PyAVLTree& self, Ref probe) {
  TRY_ASSIGN(Ref key, self.key_extractor.key_of(probe.get()));
  auto found = self.tree.find(key.get());
  key.reset();
  probe.reset();
  return found;
}

Ref value_or_none(Ref value) { return value ? std::move(value) : Ref::borrow(Py_None); }
Ref as_bool(bool truth) { return Ref::borrow(truth ? Py_True : Py_False); }

}  // namespace

Result<Ref> tree_search(PyAVLTree& self, const BoundArguments& arguments) {
  TRY_ASSIGN(Ref found, search(self, Ref::borrow(arguments[0])));
  return value_or_none(std::move(found));
}

Result<Ref> tree_contains(PyAVLTree& self, const BoundArguments& arguments) {
  TRY_ASSIGN(Ref found, search(self, Ref::borrow(arguments[0])));
  return as_bool(static_cast<bool>(found));
}

Result<bool> tree_contains_slot(PyAVLTree& self, PyObject* value) {
  TRY_ASSIGN(Ref found, search(self, Ref::borrow(value)));
  return static_cast<bool>(found);
}

Result<Ref> tree_search_key(PyAVLTree& self, const BoundArguments& arguments) {
  Ref key = Ref::borrow(arguments[0]);
  TRY_ASSIGN(Ref found, self.tree.find(key.get()));
  return value_or_none(std::move(found));
}

Result<Ref> tree_contains_key(PyAVLTree& self, const BoundArguments& arguments) {
  Ref key = Ref::borrow(arguments[0]);
  TRY_ASSIGN(Ref found, self.tree.find(key.get()));
  return as_bool(static_cast<bool>(found));
}

Result<Ref> tree_remove(PyAVLTree& self, const BoundArguments& arguments) {
  Ref value = Ref::borrow(arguments[0]);
  TRY_ASSIGN(Ref key, self.key_extractor.key_of(value.get()));
  auto removed = self.tree.remove(key.get());
  key.reset();
  value.reset();
  TRY_ASSIGN(const bool was_removed, std::move(removed));
  return as_bool(was_removed);
}

Result<Ref> tree_remove_key(PyAVLTree& self, const BoundArguments& arguments) {
  Ref key = Ref::borrow(arguments[0]);
  TRY_ASSIGN(const bool removed, self.tree.remove(key.get()));
  return as_bool(removed);
}

Result<Ref> tree_clear(PyAVLTree& self) {
  self.tree.clear();
  return Ref::borrow(Py_None);
}

Result<Ref> tree_first(PyAVLTree& self) { return value_or_none(self.tree.first()); }
Result<Ref> tree_last(PyAVLTree& self) { return value_or_none(self.tree.last()); }

}  // namespace tervalo
