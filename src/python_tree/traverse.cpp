// Whole-tree listings. They compare nothing and call no Python code: they only take new
// references. Each reserves its result at `len` up front, so the walk itself never reallocates.
// The collectors recurse on one side and loop along the other, so the stack grows with the
// height only (post-order recurses on both sides, still bounded by the height).
#include <deque>

#include "python_tree/python_tree.h"

namespace tervalo {
namespace {

void collect_in_order(const Node* node, ValueList& out) {
  while (node != nullptr) {
    collect_in_order(node->left.get(), out);
    out.push_back(Ref::borrow(node->value.get()));
    node = node->right.get();
  }
}

void collect_descending(const Node* node, ValueList& out) {
  while (node != nullptr) {
    collect_descending(node->right.get(), out);
    out.push_back(Ref::borrow(node->value.get()));
    node = node->left.get();
  }
}

void collect_pre_order(const Node* node, ValueList& out) {
  while (node != nullptr) {
    out.push_back(Ref::borrow(node->value.get()));
    collect_pre_order(node->left.get(), out);
    node = node->right.get();
  }
}

void collect_post_order(const Node* node, ValueList& out) {
  if (node == nullptr) return;
  collect_post_order(node->left.get(), out);
  collect_post_order(node->right.get(), out);
  out.push_back(Ref::borrow(node->value.get()));
}

void collect_in_order_entries(const Node* node, EntryList& out) {
  while (node != nullptr) {
    collect_in_order_entries(node->left.get(), out);
    out.push_back(Entry{Ref::borrow(node->value.get()), Ref::borrow(node->key.get())});
    node = node->right.get();
  }
}

template <void (*Collect)(const Node*, ValueList&)>
ValueList listing(const Node* root, std::size_t len) {
  ValueList out;
  out.reserve(len);
  Collect(root, out);
  return out;
}

}  // namespace

ValueList PythonAvlTree::in_order() const { return listing<collect_in_order>(root(), len_); }
ValueList PythonAvlTree::descending() const { return listing<collect_descending>(root(), len_); }
ValueList PythonAvlTree::pre_order() const { return listing<collect_pre_order>(root(), len_); }
ValueList PythonAvlTree::post_order() const { return listing<collect_post_order>(root(), len_); }

ValueList PythonAvlTree::level_order() const {
  ValueList out;
  out.reserve(len_);
  if (!root_) return out;
  // Borrowed node pointers; the queue never holds Python references.
  std::deque<const Node*> queue{root_.get()};
  while (!queue.empty()) {
    const Node* node = queue.front();
    queue.pop_front();
    out.push_back(Ref::borrow(node->value.get()));
    if (node->left) queue.push_back(node->left.get());
    if (node->right) queue.push_back(node->right.get());
  }
  return out;
}

EntryList PythonAvlTree::in_order_entries() const {
  EntryList out;
  out.reserve(len_);
  collect_in_order_entries(root(), out);
  return out;
}

}  // namespace tervalo
