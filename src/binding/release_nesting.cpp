#include "binding/release_nesting.h"

#include <new>
#include <vector>

namespace tervalo {
namespace {

struct PostponedRelease {
  PyObject* object;
  ReleaseFunction release;
};

// Per thread: a release may run Python code that lets another thread run its own releases.
thread_local std::size_t release_depth = 0;
thread_local std::vector<PostponedRelease> postponed;

}  // namespace

ReleaseNesting::ReleaseNesting() noexcept : depth_(++release_depth) {}

ReleaseNesting::~ReleaseNesting() { --release_depth; }

void postpone_release(PyObject* object, ReleaseFunction release) {
  try {
    postponed.push_back({object, release});
  } catch (const std::bad_alloc&) {
    release(object);
  }
}

void release_postponed() {
  while (!postponed.empty()) {
    const PostponedRelease next = postponed.back();
    postponed.pop_back();
    next.release(next.object);
  }
}

}  // namespace tervalo
