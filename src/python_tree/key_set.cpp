#include "python_tree/key_set.h"

#include <bit>
#include <cstring>
#include <new>

namespace tervalo {
namespace {

std::uint64_t mix(std::uint64_t bits) noexcept {
  bits ^= bits >> 33;
  bits *= 0xff51afd7ed558ccdULL;
  bits ^= bits >> 33;
  return bits;
}

}  // namespace

// Keys of one group that compare Equal get one hash: equal ints have equal numbers, equal
// floats equal values once -0.0 is taken as 0.0 (NaN never gets here), and equal strs or bytes
// equal interpreter hashes, which for exact strs and bytes cannot fail and run no Python code.
std::uint32_t KeySet::hash_of(PyObject* key, const KeyNumber& number) noexcept {
  std::uint64_t bits;
  switch (number.kind) {
    case KeyNumber::Kind::Integer:
      bits = static_cast<std::uint64_t>(number.value.integer);
      break;
    case KeyNumber::Kind::Real: {
      const double real = number.value.real == 0.0 ? 0.0 : number.value.real;
      std::memcpy(&bits, &real, sizeof bits);
      break;
    }
    default:
      bits = static_cast<std::uint64_t>(PyObject_Hash(key));
  }
  return static_cast<std::uint32_t>(mix(bits) >> 32);
}

void KeySet::place(std::uint32_t hash, std::uint32_t position) noexcept {
  const std::size_t mask = buckets_.size() - 1;
  std::size_t at = home(hash);
  while (buckets_[at] != 0) at = (at + 1) & mask;
  buckets_[at] = std::uint64_t{hash} << 32 | (std::uint64_t{position} + 1);
}

void KeySet::resize(std::size_t size) {
  // The home bucket is taken from the 32 hash bits kept.
  if (size > std::size_t{1} << 31) throw std::bad_alloc();
  ScratchVector<std::uint64_t> old(size, 0);
  old.swap(buckets_);
  home_shift_ = 32 - static_cast<unsigned>(std::countr_zero(size));
  for (const std::uint64_t held : old) {
    if (held != 0) {
      place(static_cast<std::uint32_t>(held >> 32), static_cast<std::uint32_t>(held) - 1);
    }
  }
}

void KeySet::fill(Stash stash) {
  resize(std::bit_ceil(std::max<std::size_t>(2 * stash.size(), 16)));
  for (std::size_t position = 0; position < stash.size(); ++position) {
    place(hash_of(stash.key(position), stash.number(position)),
          static_cast<std::uint32_t>(position));
  }
  count_ = stash.size();
}

bool KeySet::contains(Stash stash, PyObject* key, const KeyNumber& number) const {
  const std::size_t mask = buckets_.size() - 1;
  const std::uint32_t hash = hash_of(key, number);
  for (std::size_t at = home(hash); buckets_[at] != 0; at = (at + 1) & mask) {
    if (static_cast<std::uint32_t>(buckets_[at] >> 32) != hash) continue;
    const std::size_t position = static_cast<std::uint32_t>(buckets_[at]) - 1;
    if (order_in_group(key, number, stash.key(position), stash.number(position)) ==
        Ordering::Equal) {
      return true;
    }
  }
  return false;
}

void KeySet::add_last(Stash stash) {
  // At most half full, so that probes stay short.
  if (2 * (count_ + 1) > buckets_.size()) resize(2 * buckets_.size());
  const std::size_t last = stash.size() - 1;
  place(hash_of(stash.key(last), stash.number(last)), static_cast<std::uint32_t>(last));
  ++count_;
}

}  // namespace tervalo
