#include <algorithm>

#include "python_tree/python_tree.h"

namespace tervalo {
namespace {

void update_height(Node& node) noexcept {
  node.height = 1 + std::max(height_of(node.left), height_of(node.right));
}

// Signed difference of two unsigned heights; heights never exceed the bit width of a count.
long balance_of(const Node& node) noexcept {
  return static_cast<long>(height_of(node.left)) - static_cast<long>(height_of(node.right));
}

}  // namespace

/*
 *     x                r
 *    / \              / \
 *  [a]  r     ==>    x  [c]
 *      / \          / \
 *    [b] [c]      [a] [b]
 */
Link rotate_left(Link x) {
  if (!x->right) throw Panic{"left rotation needs a right child"};
  Link r = std::move(x->right);
  x->right = std::move(r->left);
  update_height(*x);
  r->left = std::move(x);
  update_height(*r);
  return r;
}

/*
 *       x            l
 *      / \          / \
 *     l  [c] ==>  [a]  x
 *    / \              / \
 *  [a] [b]          [b] [c]
 */
Link rotate_right(Link x) {
  if (!x->left) throw Panic{"right rotation needs a left child"};
  Link l = std::move(x->left);
  x->left = std::move(l->right);
  update_height(*x);
  l->right = std::move(x);
  update_height(*l);
  return l;
}

Link rebalance(Link node) {
  update_height(*node);
  const long balance = balance_of(*node);
  if (balance > 1) {
    // A child of balance 0 (possible only after a removal) takes the single rotation.
    if (balance_of(*node->left) < 0) node->left = rotate_left(std::move(node->left));
    return rotate_right(std::move(node));
  }
  if (balance < -1) {
    if (balance_of(*node->right) > 0) node->right = rotate_right(std::move(node->right));
    return rotate_left(std::move(node));
  }
  return node;
}

// Recursion depth is the tree's height. Every comparison happens on the way down, before any
// node is created or relinked, so a failure (or a fault) leaves the tree as it was.
Result<bool> insert_at(Link& link, Ref value, Ref key) {
  if (!link) {
    link = std::make_unique<Node>(std::move(value), std::move(key));
    return true;
  }
  auto ordering = compare(key.get(), link->key.get());
  if (!ordering || *ordering == Ordering::Equal) {
    value.reset();
    key.reset();
    if (!ordering) return fail(std::move(ordering).error());
    return false;
  }
  Link& child = *ordering == Ordering::Less ? link->left : link->right;
  TRY_ASSIGN(const bool inserted, insert_at(child, std::move(value), std::move(key)));
  if (inserted) link = rebalance(std::move(link));
  return inserted;
}

}  // namespace tervalo
