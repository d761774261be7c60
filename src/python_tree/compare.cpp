#include <optional>

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

Result<Ordering> incomparable() {
  return fail(PyExc_TypeError, "PyAny::compare(): All comparisons returned false");
}

template <class T>
Result<Ordering> three_way(T a, T b) {
  if (a == b) return Ordering::Equal;
  if (a < b) return Ordering::Less;
  if (a > b) return Ordering::Greater;
  return incomparable();
}

// Two objects of the same exact built-in type among int, float and str compare without running
// any Python code: the interpreter's own comparisons of these types call nothing that can be
// observed. Their three answers can then be computed directly, with the same outcome as the
// three rich comparisons (a float NaN is neither equal, less nor greater, as there).
std::optional<Result<Ordering>> compare_builtin(PyObject* a, PyObject* b) {
  PyTypeObject* type = Py_TYPE(a);
  if (type != Py_TYPE(b)) return std::nullopt;
  if (type == &PyLong_Type || type == &PyFloat_Type) {
    const KeyNumber x = KeyNumber::of(a), y = KeyNumber::of(b);
    if (x.kind == KeyNumber::Kind::Other || y.kind == KeyNumber::Kind::Other) {
      return std::nullopt;
    }
    return compare(a, x, b, y);
  }
  if (type == &PyUnicode_Type) {
    if (a == b) return Ordering::Equal;
    const int order = PyUnicode_Compare(a, b);
    return order < 0 ? Ordering::Less : order > 0 ? Ordering::Greater : Ordering::Equal;
  }
  return std::nullopt;
}

}  // namespace

KeyNumber KeyNumber::of(PyObject* key) noexcept {
  KeyNumber number;
  PyTypeObject* type = Py_TYPE(key);
  if (type == &PyLong_Type) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(key, &overflow);
    if (overflow == 0) {
      number.kind = Kind::Integer;
      number.value.integer = value;
    }
  } else if (type == &PyFloat_Type) {
    number.kind = Kind::Real;
    // Cannot fail: the type is exactly float.
    number.value.real = PyFloat_AsDouble(key);
  }
  return number;
}

// Deliberately not PyObject_RichCompareBool: its identity shortcut would answer Equal for an
// object compared with itself without asking the object (a NaN key must still fail).
Result<Ordering> compare(PyObject* a, PyObject* b) {
  if (auto known = compare_builtin(a, b)) return std::move(*known);
  TRY_ASSIGN(const bool equal, compare_op(a, b, Py_EQ));
  if (equal) return Ordering::Equal;
  TRY_ASSIGN(const bool less, compare_op(a, b, Py_LT));
  if (less) return Ordering::Less;
  TRY_ASSIGN(const bool greater, compare_op(a, b, Py_GT));
  if (greater) return Ordering::Greater;
  return incomparable();
}

Result<Ordering> compare(PyObject* a, const KeyNumber& a_number, PyObject* b,
                         const KeyNumber& b_number) {
  if (a_number.kind == b_number.kind) {
    if (a_number.kind == KeyNumber::Kind::Integer) {
      return three_way(a_number.value.integer, b_number.value.integer);
    }
    if (a_number.kind == KeyNumber::Kind::Real) {
      return three_way(a_number.value.real, b_number.value.real);
    }
  }
  return compare(a, b);
}

}  // namespace tervalo
