#include "python_tree/python_tree.h"

namespace tervalo {
namespace {

// One rich comparison followed by its truth test. The result object is released on both
// outcomes of the test.
Result<bool> compare_op(PyObject* a, PyObject* b, int op) {
  Ref outcome = Ref::steal(PyObject_RichCompare(a, b, op));
  if (!outcome) return fail_fetched();
  const int truth = PyObject_IsTrue(outcome.get());
  outcome.reset();
  if (truth < 0) return fail_fetched();
  return truth == 1;
}

}  // namespace

// Deliberately not PyObject_RichCompareBool: its identity shortcut would answer Equal for an
// object compared with itself without asking the object (a NaN key must still fail).
Result<Ordering> compare(PyObject* a, PyObject* b) {
  TRY_ASSIGN(const bool equal, compare_op(a, b, Py_EQ));
  if (equal) return Ordering::Equal;
  TRY_ASSIGN(const bool less, compare_op(a, b, Py_LT));
  if (less) return Ordering::Less;
  TRY_ASSIGN(const bool greater, compare_op(a, b, Py_GT));
  if (greater) return Ordering::Greater;
  return fail(PyExc_TypeError, "PyAny::compare(): All comparisons returned false");
}

}  // namespace tervalo
