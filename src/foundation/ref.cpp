#include "foundation/ref.h"

#ifdef Py_LIMITED_API
#include <dlfcn.h>
#endif

namespace tervalo {
namespace {

#ifdef Py_LIMITED_API
// The Limited API has no way to ask whether this thread holds the interpreter lock before
// 3.13. `PyGILState_Check` answers it on every CPython 3 and is exported by each of them with
// the same signature, but outside the stable ABI: it is looked up when the module is loaded
// rather than imported, so that the module's imports stay within what every interpreter from
// 3.10 on guarantees. An interpreter without it has `PyThreadState_GetUnchecked` (stable ABI
// from 3.13), which tells whether this thread has a thread state attached.
using IntQuery = int (*)();
using ThreadStateQuery = PyThreadState* (*)();

const auto gil_check = reinterpret_cast<IntQuery>(dlsym(RTLD_DEFAULT, "PyGILState_Check"));
const auto attached_thread_state =
    gil_check != nullptr
        ? nullptr
        : reinterpret_cast<ThreadStateQuery>(dlsym(RTLD_DEFAULT, "PyThreadState_GetUnchecked"));

bool gil_check_answers_yes() {
  if (gil_check != nullptr) return gil_check() != 0;
  if (attached_thread_state != nullptr) return attached_thread_state() != nullptr;
  // Unreachable on CPython 3.10 and later, which has one or the other.
  return true;
}
#else
bool gil_check_answers_yes() { return PyGILState_Check() != 0; }
#endif

}  // namespace

// `PyGILState_Check` alone answers yes for every thread once finalisation is complete; a thread
// without a thread state of its own holds nothing, whatever it says.
bool holds_interpreter_lock() {
  return gil_check_answers_yes() && PyGILState_GetThisThreadState() != nullptr;
}

}  // namespace tervalo
