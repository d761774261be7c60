#include "python_tree/key_set.h"

#include <bit>
#include <cstring>

namespace tervalo {
namespace {

std::size_t mix(std::uint64_t bits) noexcept {
  bits ^= bits >> 33;
  bits *= 0xff51afd7ed558ccdULL;
  bits ^= bits >> 33;
  return static_cast<std::size_t>(bits);
}

}  // namespace

// Keys of one group that compare Equal get one hash: equal ints have equal numbers, equal
// floats equal values once -0.0 is taken as 0.0 (NaN never gets here), and equal strs or bytes
// equal interpreter hashes, which for exact strs and bytes cannot fail and run no Python code.
std::size_t KeySet::hash_of(PyObject* key, const KeyNumber& number) noexcept {
  switch (number.kind) {
    case KeyNumber::Kind::Integer:
      return mix(static_cast<std::uint64_t>(number.value.integer));
    case KeyNumber::Kind::Real: {
      const double real = number.value.real == 0.0 ? 0.0 : number.value.real;
      std::uint64_t bits;
      std::memcpy(&bits, &real, sizeof bits);
      return mix(bits);
    }
    default:
      return mix(static_cast<std::uint64_t>(PyObject_Hash(key)));
  }
}

void KeySet::place(std::size_t hash, std::uint32_t position) noexcept {
  const std::size_t mask = buckets_.size() - 1;
  std::size_t at = hash & mask;
  while (buckets_[at] != 0) at = (at + 1) & mask;
  buckets_[at] = position + 1;
}

void KeySet::grow(Stash stash, std::size_t capacity) {
  ScratchVector<std::uint32_t> old(capacity, 0);
  old.swap(buckets_);
  for (const std::uint32_t held : old) {
    if (held != 0) place(hash_of(stash[held - 1]), held - 1);
  }
}

void KeySet::fill(Stash stash) {
  buckets_.assign(std::bit_ceil(std::max<std::size_t>(2 * stash.size(), 16)), 0);
  for (std::size_t position = 0; position < stash.size(); ++position) {
    place(hash_of(stash[position]), static_cast<std::uint32_t>(position));
  }
  count_ = stash.size();
}

bool KeySet::contains(Stash stash, PyObject* key, const KeyNumber& number) const {
  const std::size_t mask = buckets_.size() - 1;
  for (std::size_t at = hash_of(key, number) & mask; buckets_[at] != 0; at = (at + 1) & mask) {
    const StashedEntry& entry = stash[buckets_[at] - 1];
    if (order_in_group(key, number, entry.key.get(), entry.number) == Ordering::Equal) {
      return true;
    }
  }
  return false;
}

void KeySet::add_last(Stash stash) {
  // At most half full, so that probes stay short.
  if (2 * (count_ + 1) > buckets_.size()) grow(stash, 2 * buckets_.size());
  place(hash_of(stash.back()), static_cast<std::uint32_t>(stash.size() - 1));
  ++count_;
}

}  // namespace tervalo
