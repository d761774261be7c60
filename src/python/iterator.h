// `_AVLTreeIterator`: hands out a snapshot of values taken when it was made.
//
// It owns the values it has not yet yielded and nothing else; it holds no reference to its tree,
// so later changes to the tree never reach it and it never keeps the tree alive.
#pragma once

#include "binding/borrow.h"
#include "python/type_cell.h"
#include "python_tree/python_tree.h"

namespace tervalo {

struct PyAVLTreeIterator {
  PyObject_HEAD
  // References at indices below `position` were handed to callers; the rest are owned.
  ValueList snapshot;
  std::size_t position;
  BorrowChecker borrow;
};

extern TypeCell iterator_type;

// Wraps a value list in a new iterator; on failure every reference in it is released.
Result<Ref> create_iterator(ValueList values);

}  // namespace tervalo
