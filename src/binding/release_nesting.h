// Releases nested without bound would grow the C stack without bound.
//
// Releasing a tree releases its values, and a value may be another tree or iterator that
// releases its own values in turn: without a bound, a chain nested a million deep overflows the
// stack. A release nested deeper than `kMaxReleaseDepth` is postponed instead (the object, whose
// last reference is already gone, stays as it is) to a list kept per thread, which the
// outermost release of that thread drains after its own object is gone, as the interpreter's
// own containers do. Shallow releases happen exactly where and when they always did; each
// postponed object is still released exactly once.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

namespace tervalo {

using ReleaseFunction = void (*)(PyObject*);

// Counts one level of release nesting on the current thread for its lifetime.
class ReleaseNesting {
 public:
  static constexpr std::size_t kMaxReleaseDepth = 50;

  ReleaseNesting() noexcept;
  ~ReleaseNesting();
  ReleaseNesting(const ReleaseNesting&) = delete;
  ReleaseNesting& operator=(const ReleaseNesting&) = delete;

  bool too_deep() const noexcept { return depth_ > kMaxReleaseDepth; }
  bool outermost() const noexcept { return depth_ == 1; }

 private:
  std::size_t depth_;
};

// Schedules `release(object)` for when the outermost release of this thread has finished.
// Where the list cannot grow, releases at once instead (deeper, but nothing is lost).
void postpone_release(PyObject* object, ReleaseFunction release);

// Runs the postponed releases, including those they postpone in turn, until none is left.
void release_postponed();

}  // namespace tervalo
