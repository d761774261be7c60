// The `AVLTree` object and the method bodies that work on it.
//
// An instance owns its key extractor and its core tree, and nothing else: no instance
// dictionary, no weak-reference list, no collector support. Values that refer back to their
// tree therefore keep it alive for good; the collector never sees through a tree.
#pragma once

#include "binding/arguments.h"
#include "binding/borrow.h"
#include "python/key_extractor.h"
#include "python/type_cell.h"
#include "python_tree/python_tree.h"

namespace tervalo {

struct PyAVLTree {
  PyObject_HEAD
  KeyExtractor key_extractor;
  PythonAvlTree tree;
  BorrowChecker borrow;
};

extern TypeCell tree_type;

// Makes a tree object of `type` owning `extractor` and `tree`; on failure both are released.
Result<Ref> create_tree(PyTypeObject* type, KeyExtractor extractor, PythonAvlTree tree);

// Construction and insertion.
Result<Ref> tree_new(PyTypeObject* type, const BoundArguments& arguments);
Result<Ref> tree_insert(PyAVLTree& self, const BoundArguments& arguments);
void tree_release(PyObject* self);

// Lookups, removal and the two ends.
Result<Ref> tree_search(PyAVLTree& self, const BoundArguments& arguments);
Result<Ref> tree_contains(PyAVLTree& self, const BoundArguments& arguments);
Result<bool> tree_contains_slot(PyAVLTree& self, PyObject* value);
Result<Ref> tree_search_key(PyAVLTree& self, const BoundArguments& arguments);
Result<Ref> tree_contains_key(PyAVLTree& self, const BoundArguments& arguments);
Result<Ref> tree_remove(PyAVLTree& self, const BoundArguments& arguments);
Result<Ref> tree_remove_key(PyAVLTree& self, const BoundArguments& arguments);
Result<Ref> tree_clear(PyAVLTree& self);
Result<Ref> tree_first(PyAVLTree& self);
Result<Ref> tree_last(PyAVLTree& self);

// Bounded queries, each answering a snapshot iterator.
Result<Ref> tree_range(PyAVLTree& self, const BoundArguments& arguments);
Result<Ref> tree_iter_from(PyAVLTree& self, const BoundArguments& arguments);
Result<Ref> tree_iter_to(PyAVLTree& self, const BoundArguments& arguments);

// Size, height and representation.
Result<Py_ssize_t> tree_length(PyAVLTree& self);
Result<bool> tree_bool(PyAVLTree& self);
Result<Ref> tree_is_empty(PyAVLTree& self);
Result<Ref> tree_height(PyAVLTree& self);
Result<Ref> tree_repr(PyAVLTree& self);

// Whole-tree walks, each answering a snapshot iterator.
Result<Ref> tree_in_order(PyAVLTree& self);
Result<Ref> tree_descending(PyAVLTree& self);
Result<Ref> tree_pre_order(PyAVLTree& self);
Result<Ref> tree_post_order(PyAVLTree& self);
Result<Ref> tree_level_order(PyAVLTree& self);

}  // namespace tervalo
