// The container's own operations: entry-count bookkeeping around the recursive algorithms,
// lookups by key and the two ends.
#include "python_tree/python_tree.h"

namespace tervalo {

Result<bool> PythonAvlTree::insert(Ref value, Ref key) {
  TRY_ASSIGN(const bool inserted, insert_at(root_, std::move(value), std::move(key)));
  if (inserted) ++len_;
  return inserted;
}

Result<Ref> PythonAvlTree::find(PyObject* key) const {
  const Node* node = root_.get();
  while (node != nullptr) {
    TRY_ASSIGN(const Ordering ordering, compare(key, node->key.get()));
    if (ordering == Ordering::Equal) return Ref::borrow(node->value.get());
    node = ordering == Ordering::Less ? node->left.get() : node->right.get();
  }
  return Ref();
}

Ref PythonAvlTree::first() const {
  const Node* node = root_.get();
  if (node == nullptr) return Ref();
  while (node->left) node = node->left.get();
  return Ref::borrow(node->value.get());
}

Ref PythonAvlTree::last() const {
  const Node* node = root_.get();
  if (node == nullptr) return Ref();
  while (node->right) node = node->right.get();
  return Ref::borrow(node->value.get());
}

void PythonAvlTree::clear() noexcept {
  Link detached = std::move(root_);
  len_ = 0;
  detached.reset();
}

Result<bool> PythonAvlTree::remove(PyObject* key) {
  TRY_ASSIGN(const bool removed, remove_at(root_, key));
  if (removed) --len_;
  return removed;
}

}  // namespace tervalo
