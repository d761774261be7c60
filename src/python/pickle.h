// Reduction of a tree for pickle and copy, and its reconstruction.
#pragma once

#include "python/tree.h"

namespace tervalo {

// `AVLTree.__reduce__`: (_avltree_from_sorted_entries, (pairs, key_spec)).
Result<Ref> tree_reduce(PyAVLTree& self);

// The module function `_avltree_from_sorted_entries(pairs, key_spec)`.
Result<Ref> avltree_from_sorted_entries(const BoundArguments& arguments);
extern const FunctionDescription kFromSortedEntriesDescription;

}  // namespace tervalo
