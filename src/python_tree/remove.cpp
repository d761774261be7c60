// Removal by key. The in-order successor replaces a node with two children; whole nodes move,
// so every remaining node keeps its own value and key. Comparisons happen only on the way
// down, before anything is detached, so a removal either fails with nothing changed or
// completes.
#include "python_tree/python_tree.h"

namespace tervalo {
namespace {

struct TakenMin {
  Link remainder;  // what is left of the subtree, rebalanced
  Link minimum;    // the detached node with the smallest key, childless
};

// Follows left links only; compares nothing. Every node on the path is rebalanced bottom-up.
TakenMin take_min(Link node) {
  Link left = std::move(node->left);
  if (!left) {
    Link right = std::move(node->right);
    return {std::move(right), std::move(node)};
  }
  TakenMin taken = take_min(std::move(left));
  node->left = std::move(taken.remainder);
  return {rebalance(std::move(node)), std::move(taken.minimum)};
}

}  // namespace

Result<bool> remove_at(Link& link, PyObject* key) {
  if (!link) return false;
  TRY_ASSIGN(const Ordering ordering, compare(key, link->key.get()));
  if (ordering != Ordering::Equal) {
    Link& child = ordering == Ordering::Less ? link->left : link->right;
    TRY_ASSIGN(const bool removed, remove_at(child, key));
    if (removed) link = rebalance(std::move(link));
    return removed;
  }
  Link removed = std::move(link);
  Link left = std::move(removed->left);
  Link right = std::move(removed->right);
  if (!left) {
    link = std::move(right);
  } else if (!right) {
    link = std::move(left);
  } else {
    TakenMin taken = take_min(std::move(right));
    taken.minimum->left = std::move(left);
    taken.minimum->right = std::move(taken.remainder);
    link = rebalance(std::move(taken.minimum));
  }
  // The link is consistent again before any finaliser can run.
  removed.reset();
  return true;
}

}  // namespace tervalo
