// Shared and exclusive holds on an object while one of its methods runs.
//
// Re-entry, not threads, is what the holds guard against: key callables, comparison methods and
// finalisers run Python code in the middle of an operation, and that code may call back into the
// object being worked on. Reads nest; a change while anything holds the object, or anything at
// all while a change holds it, is refused with a `RuntimeError`.
#pragma once

#include <atomic>
#include <cstdint>

#include "foundation/error.h"

namespace tervalo {

// 0 is free, n > 0 counts shared holds, -1 is one exclusive hold.
//
// Every caller holds the interpreter lock, which already orders all accesses; the counter is
// atomic so that it stays well-defined, but needs no read-modify-write instructions (a lock
// prefix on every method call would cost more than some of the methods themselves).
class BorrowChecker {
 public:
  static constexpr std::int32_t kExclusive = -1;

  bool try_share() noexcept {
    const std::int32_t current = state_.load(std::memory_order_relaxed);
    if (current == kExclusive) return false;
    state_.store(current + 1, std::memory_order_relaxed);
    return true;
  }
  void release_shared() noexcept {
    state_.store(state_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
  }

  bool try_exclusive() noexcept {
    if (state_.load(std::memory_order_relaxed) != 0) return false;
    state_.store(kExclusive, std::memory_order_relaxed);
    return true;
  }
  void release_exclusive() noexcept { state_.store(0, std::memory_order_relaxed); }

 private:
  std::atomic<std::int32_t> state_{0};
};

enum class Hold { Shared, Exclusive };

// Holds `checker` for the guard's lifetime, if it could be taken; released on every path,
// faults included.
template <Hold kind>
class HoldGuard {
 public:
  explicit HoldGuard(BorrowChecker& checker) noexcept
      : checker_(kind == Hold::Shared ? (checker.try_share() ? &checker : nullptr)
                                      : (checker.try_exclusive() ? &checker : nullptr)) {}
  HoldGuard(const HoldGuard&) = delete;
  HoldGuard& operator=(const HoldGuard&) = delete;
  ~HoldGuard() {
    if (checker_ == nullptr) return;
    if constexpr (kind == Hold::Shared) {
      checker_->release_shared();
    } else {
      checker_->release_exclusive();
    }
  }

  explicit operator bool() const noexcept { return checker_ != nullptr; }
  // The `RuntimeError` for a hold that could not be taken.
  static Error conflict() {
    return Error::lazy(PyExc_RuntimeError,
                       kind == Hold::Shared ? "Already mutably borrowed" : "Already borrowed");
  }

 private:
  BorrowChecker* checker_;
};

}  // namespace tervalo
