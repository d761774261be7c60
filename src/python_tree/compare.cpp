// Comparison of keys, in four tiers, each tried only when the one before cannot decide:
//
//  1. Summaries (`KeyNumber`, inline in key_order.h): two numbers settle most comparisons of
//     exact ints, floats, strs and bytes, and of tuples whose first items differ, without
//     touching either key. `compare_keys` adds the one case the numbers cannot settle alone: a
//     Latin-1 str prefix against a wider one.
//  2. Exact built-in scalars (`compare_scalars`): two objects of one exact type among int,
//     float, str and bytes are compared directly, as the interpreter would, running no Python
//     code.
//  3. Exact tuples (`compare_tuples`): item by item through tier 2, as long as the items are
//     such scalars.
//  4. The general protocol (`compare_rich`): `==`, `<`, `>` by rich comparison and truth tests.
//
// Tiers 1 to 3 answer only where no Python code could observe the difference (differential
// tests hold them to the interpreter's own operators). Their internal verdict, `DirectOrder`,
// can also say "unordered" (a NaN) or "unknown" (leave it to the next tier); `Ordering` is the
// answer every caller sees.
#include <algorithm>
#include <cstring>
#include <optional>

#include "python_tree/key_order.h"

namespace tervalo {
namespace {

using Kind = KeyNumber::Kind;

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

// The outcome of `==`, `<` and `>` on two objects whose comparisons run no Python code:
// Unordered when all three are false (a NaN), Unknown when the pair is not one of those.
enum class DirectOrder { Equal, Less, Greater, Unordered, Unknown };

template <class T>
DirectOrder order_of(T a, T b) {
  if (a == b) return DirectOrder::Equal;
  if (a < b) return DirectOrder::Less;
  if (a > b) return DirectOrder::Greater;
  return DirectOrder::Unordered;
}

Result<Ordering> to_ordering(DirectOrder order) {
  switch (order) {
    case DirectOrder::Equal:
      return Ordering::Equal;
    case DirectOrder::Less:
      return Ordering::Less;
    case DirectOrder::Greater:
      return Ordering::Greater;
    default:
      return incomparable();
  }
}

template <class T>
Result<Ordering> three_way(T a, T b) {
  return to_ordering(order_of(a, b));
}

Ordering unequal(bool less) { return less ? Ordering::Less : Ordering::Greater; }

// The stable ABI offers no view of a str's storage, and its UTF-8 form (whose byte order is
// code-point order as well) would make the interpreter keep an encoded copy inside every
// non-ASCII key for as long as the key lives. A wide-character copy of the first code points
// caches nothing and reads no further: where `wchar_t` is 32 bits wide, each holds one code
// point as it is, lone surrogates included.
static_assert(sizeof(wchar_t) == sizeof(Py_UCS4));
KeyNumber text_number(PyObject* text) noexcept {
  constexpr Py_ssize_t kLatin1Count = 8, kWideCount = 3;
  // Past the end of a shorter str, zeros: they add nothing to either prefix.
  wchar_t copied[kLatin1Count] = {};
  // Cannot fail for an exact str.
  PyUnicode_AsWideChar(text, copied, kLatin1Count);
  std::uint64_t latin1 = 0;
  Py_UCS4 widest = 0;
  for (Py_ssize_t i = 0; i < kLatin1Count; ++i) {
    const auto code = static_cast<Py_UCS4>(copied[i]);
    widest = std::max(widest, code);
    latin1 |= std::uint64_t{code & 0xFF} << (56 - 8 * i);
  }
  KeyNumber number;
  number.kind = Kind::Latin1;
  number.value.prefix = latin1;
  if (widest > 0xFF) {
    std::uint64_t wide = 0;
    for (Py_ssize_t i = 0; i < kWideCount; ++i) {
      wide |= std::uint64_t{static_cast<Py_UCS4>(copied[i])} << (42 - 21 * i);
    }
    number.kind = Kind::Wide;
    number.value.prefix = wide;
  }
  return number;
}

// A Latin1 prefix in the Wide form: its first 3 characters, 21 bits each.
std::uint64_t widened(std::uint64_t latin1) {
  return ((latin1 >> 56) << 42) | (((latin1 >> 48) & 0xFF) << 21) | ((latin1 >> 40) & 0xFF);
}

KeyNumber scalar_number(PyObject* key) noexcept {
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
  } else if (type == &PyUnicode_Type) {
    number = text_number(key);
  } else if (type == &PyBytes_Type) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(PyBytes_AsString(key));
    const Py_ssize_t count = std::min<Py_ssize_t>(PyBytes_Size(key), 8);
    std::uint64_t prefix = 0;
    for (Py_ssize_t i = 0; i < count; ++i) prefix |= std::uint64_t{bytes[i]} << (56 - 8 * i);
    number.kind = Kind::Bytes;
    number.value.prefix = prefix;
  }
  return number;
}

// Bytes order as the interpreter orders them: by their common bytes, then by length.
DirectOrder compare_bytes(PyObject* a, PyObject* b) {
  const Py_ssize_t a_size = PyBytes_Size(a), b_size = PyBytes_Size(b);
  const int sign = std::memcmp(PyBytes_AsString(a), PyBytes_AsString(b),
                               static_cast<std::size_t>(std::min(a_size, b_size)));
  if (sign != 0) return sign < 0 ? DirectOrder::Less : DirectOrder::Greater;
  return order_of(a_size, b_size);
}

// Two objects of the same exact built-in type among int, float, str and bytes compare without
// running any Python code: the interpreter's own comparisons of these types call nothing that
// can be observed, so their three answers can be computed directly (a float NaN is neither
// equal, less nor greater, as there). There is no identity shortcut: a NaN key must still fail.
DirectOrder compare_scalars(PyObject* a, PyObject* b) {
  PyTypeObject* type = Py_TYPE(a);
  if (type != Py_TYPE(b)) return DirectOrder::Unknown;
  if (type == &PyLong_Type) {
    int a_overflow = 0, b_overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(a, &a_overflow);
    const long long y = PyLong_AsLongLongAndOverflow(b, &b_overflow);
    if (a_overflow != 0 || b_overflow != 0) return DirectOrder::Unknown;
    return order_of(x, y);
  }
  if (type == &PyFloat_Type) return order_of(PyFloat_AsDouble(a), PyFloat_AsDouble(b));
  if (type == &PyUnicode_Type) {
    if (a == b) return DirectOrder::Equal;
    const int sign = PyUnicode_Compare(a, b);
    return sign < 0 ? DirectOrder::Less : sign > 0 ? DirectOrder::Greater : DirectOrder::Equal;
  }
  if (type == &PyBytes_Type) return compare_bytes(a, b);
  return DirectOrder::Unknown;
}

// Two exact tuples whose items, up to the first that differ, are such objects compare as the
// interpreter compares them: the first item pair that is not equal (equality here has the
// identity shortcut, so one NaN object equals itself) decides all three answers, and with no
// such pair the lengths do. Any other item pair leaves the whole comparison to the interpreter;
// nothing observable has happened by then. The first `known_equal` items are already known to
// compare equal.
std::optional<Result<Ordering>> compare_tuples(PyObject* a, PyObject* b, Py_ssize_t known_equal) {
  const Py_ssize_t a_size = PyTuple_Size(a), b_size = PyTuple_Size(b);
  const Py_ssize_t common = std::min(a_size, b_size);
  for (Py_ssize_t i = known_equal; i < common; ++i) {
    PyObject* x = PyTuple_GetItem(a, i);
    PyObject* y = PyTuple_GetItem(b, i);
    if (x == y) continue;
    const DirectOrder order = compare_scalars(x, y);
    if (order == DirectOrder::Equal) continue;
    if (order == DirectOrder::Unknown) return std::nullopt;
    return to_ordering(order);
  }
  return three_way(a_size, b_size);
}

std::optional<Result<Ordering>> compare_builtin(PyObject* a, PyObject* b,
                                                Py_ssize_t known_equal = 0) {
  if (Py_TYPE(a) == &PyTuple_Type && Py_TYPE(b) == &PyTuple_Type) {
    return compare_tuples(a, b, known_equal);
  }
  const DirectOrder order = compare_scalars(a, b);
  if (order == DirectOrder::Unknown) return std::nullopt;
  return to_ordering(order);
}

constexpr int kTupleShift = static_cast<int>(Kind::TupleInteger) - static_cast<int>(Kind::Integer);

// The kind of a tuple's first item, or the plain kind itself.
Kind item_kind(Kind kind) {
  return kind >= Kind::TupleInteger ? static_cast<Kind>(static_cast<int>(kind) - kTupleShift)
                                    : kind;
}

bool is_tuple(Kind kind) { return kind >= Kind::TupleInteger; }

}  // namespace

KeyNumber KeyNumber::of(PyObject* key) noexcept {
  if (Py_TYPE(key) != &PyTuple_Type) return scalar_number(key);
  if (PyTuple_Size(key) == 0) return KeyNumber{};
  KeyNumber number = scalar_number(PyTuple_GetItem(key, 0));
  if (number.kind != Kind::Other) {
    number.kind = static_cast<Kind>(static_cast<int>(number.kind) + kTupleShift);
  }
  return number;
}

namespace {

// The interpreter's three comparisons. Deliberately not PyObject_RichCompareBool: its identity
// shortcut would answer Equal for an object compared with itself without asking the object (a
// NaN key must still fail).
Result<Ordering> compare_rich(PyObject* a, PyObject* b) {
  TRY_ASSIGN(const bool equal, compare_op(a, b, Py_EQ));
  if (equal) return Ordering::Equal;
  TRY_ASSIGN(const bool less, compare_op(a, b, Py_LT));
  if (less) return Ordering::Less;
  TRY_ASSIGN(const bool greater, compare_op(a, b, Py_GT));
  if (greater) return Ordering::Greater;
  return incomparable();
}

}  // namespace

Result<Ordering> compare(PyObject* a, PyObject* b) {
  if (auto known = compare_builtin(a, b)) return std::move(*known);
  return compare_rich(a, b);
}

// The numbers did not settle it (see `KeyNumber::settle`): a str prefix of the one width may
// still decide against one of the other, else the keys themselves are compared.
Result<Ordering> compare_keys(PyObject* a, const KeyNumber& a_number, PyObject* b,
                              const KeyNumber& b_number) {
  if (a_number.kind != b_number.kind && is_tuple(a_number.kind) == is_tuple(b_number.kind)) {
    const Kind a_item = item_kind(a_number.kind), b_item = item_kind(b_number.kind);
    if (a_item == Kind::Latin1 && b_item == Kind::Wide) {
      const std::uint64_t x = widened(a_number.value.prefix), y = b_number.value.prefix;
      if (x != y) return unequal(x < y);
    } else if (a_item == Kind::Wide && b_item == Kind::Latin1) {
      const std::uint64_t x = a_number.value.prefix, y = widened(b_number.value.prefix);
      if (x != y) return unequal(x < y);
    }
  }
  // Equal first items, known from equal numbers, need not be compared again.
  const bool first_equal =
      a_number.kind == b_number.kind &&
      ((a_number.kind == Kind::TupleInteger && a_number.value.integer == b_number.value.integer) ||
       (a_number.kind == Kind::TupleReal && a_number.value.real == b_number.value.real));
  if (auto known = compare_builtin(a, b, first_equal ? 1 : 0)) return std::move(*known);
  return compare_rich(a, b);
}

}  // namespace tervalo
