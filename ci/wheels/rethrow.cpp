// Linked into the wheels' module in place of libc++abi's __cxa_rethrow (ld --wrap).
//
// CPython 3.10 to 3.13 end a daemon thread that wants the interpreter lock back after
// finalisation with pthread_exit, which unwinds the thread's stack by a forced unwind. The
// module's entry frames catch everything and rethrow what C++ did not throw, so the forced
// unwind goes on through them. libstdc++ rethrows with _Unwind_Resume_or_Rethrow, which continues
// a forced unwind; libc++abi rethrows a foreign exception with _Unwind_RaiseException, which
// starts a search for a handler instead, finds none and ends the process. This does what
// libstdc++ does for foreign exceptions and leaves C++ exceptions to libc++abi.
//
// Compiled against libc++abi's own private header, from the zig that links it, so the layout of
// the exception records is the one the runtime was built with.
#include <unwind.h>

#include <exception>

#include "cxa_exception.h"

extern "C" [[noreturn]] void __real___cxa_rethrow();

extern "C" [[noreturn]] void __wrap___cxa_rethrow() {
  __cxxabiv1::__cxa_eh_globals* globals = __cxxabiv1::__cxa_get_globals();
  __cxxabiv1::__cxa_exception* header = globals->caughtExceptions;
  if (header != nullptr && !__cxxabiv1::__isOurExceptionClass(&header->unwindHeader)) {
    // As libc++abi does for a foreign exception: off the stack of caught exceptions, so that the
    // handler's __cxa_end_catch leaves it alone.
    globals->caughtExceptions = nullptr;
    _Unwind_Resume_or_Rethrow(&header->unwindHeader);
    std::terminate();  // the unwinder found nowhere to go
  }
  __real___cxa_rethrow();
}
