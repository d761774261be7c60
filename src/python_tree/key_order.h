// The order of keys: three-way comparison by Python's rich comparison, and the summary of a key
// (`KeyNumber`) that settles most comparisons without touching the key object.
//
// Exact ints, floats, strs and bytes, and tuples starting with one of these, are mostly
// compared by their numbers, so a descent among such keys rarely touches the key objects and
// never calls into Python for them. `compare` is the only place that calls into Python.
#pragma once

#include <cstdint>
#include <optional>

#include "foundation/error.h"
#include "foundation/ref.h"

namespace tervalo {

enum class Ordering { Less, Equal, Greater };

// What a node keeps of its key so that most comparisons need neither key object nor any call
// into Python: the number of an exact int that fits 64 bits or of an exact float, or an
// order-preserving number made of the leading characters of an exact str or the leading bytes
// of an exact bytes. An exact non-empty tuple keeps the same of its first item, which decides
// every comparison whose first items differ. Numbers of differing kinds (an int with a float,
// say) are left to the full comparison.
union NumberValue {
  std::int64_t integer;
  double real;
  // Leading characters or bytes, the first in the most significant bits, absent ones as 0: two
  // different prefixes order as their strings do; equal prefixes say nothing.
  std::uint64_t prefix;
};

struct KeyNumber {
  // The prefix of a str whose first (up to) 8 code points are all below 256 packs those 8 bits
  // each (Latin1); any other str packs its first 3 code points, 21 bits each (Wide). The tuple
  // kinds describe the first item of a tuple and come in the same order as the plain ones.
  enum class Kind : std::uint8_t {
    Other,
    Integer,
    Real,
    Latin1,
    Wide,
    Bytes,
    TupleInteger,
    TupleReal,
    TupleLatin1,
    TupleWide,
    TupleBytes,
  };
  Kind kind = Kind::Other;
  NumberValue value{0};
  static KeyNumber of(PyObject* key) noexcept;

  // The ordering of two keys of these numbers when the numbers alone settle it. For two tuples
  // that means their first items differ, and then these items alone decide: the interpreter
  // compares no further item. Equal floats of two tuples (or NaNs, which may be one object),
  // equal prefixes and differing kinds are left to the full comparison.
  std::optional<Ordering> settle(const KeyNumber& other) const noexcept {
    if (kind != other.kind) return std::nullopt;
    const NumberValue x = value, y = other.value;
    switch (kind) {
      case Kind::Integer:
        if (x.integer == y.integer) return Ordering::Equal;
        [[fallthrough]];
      case Kind::TupleInteger:
        if (x.integer != y.integer)
          return x.integer < y.integer ? Ordering::Less : Ordering::Greater;
        return std::nullopt;
      case Kind::Real:
        if (x.real == y.real) return Ordering::Equal;
        [[fallthrough]];
      case Kind::TupleReal:
        if (x.real < y.real) return Ordering::Less;
        if (x.real > y.real) return Ordering::Greater;
        return std::nullopt;
      case Kind::Latin1:
      case Kind::Wide:
      case Kind::Bytes:
      case Kind::TupleLatin1:
      case Kind::TupleWide:
      case Kind::TupleBytes:
        if (x.prefix != y.prefix) return x.prefix < y.prefix ? Ordering::Less : Ordering::Greater;
        return std::nullopt;
      case Kind::Other:
        break;
    }
    return std::nullopt;
  }
};

// Three-way comparison of `a` (always the left operand) with `b`: `==`, then `<`, then `>`,
// each followed by a truth test. There is no identity shortcut. All three false is a TypeError.
Result<Ordering> compare(PyObject* a, PyObject* b);
// The same, for keys whose numbers are known (`KeyNumber::of` of each). Where the numbers
// alone decide (the common case of a descent) this stays inline and touches no key object.
Result<Ordering> compare_keys(PyObject* a, const KeyNumber& a_number, PyObject* b,
                              const KeyNumber& b_number);
inline Result<Ordering> compare(PyObject* a, const KeyNumber& a_number, PyObject* b,
                                const KeyNumber& b_number) {
  if (auto settled = a_number.settle(b_number)) return *settled;
  return compare_keys(a, a_number, b, b_number);
}

}  // namespace tervalo
