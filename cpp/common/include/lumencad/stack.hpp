// Guards for recursive walks over Python object trees. The interpreter's
// recursion limit can be raised far beyond what the C stack holds, so a walk
// checks the stack itself too, and stops with RecursionError, as the limit
// would, instead of overflowing it.
#pragma once

#include <nanobind/nanobind.h>

#include "lumencad/export.hpp"

namespace lumencad {

namespace nb = nanobind;

// True when the calling thread's C stack has less than a safe margin left
// below the caller; RecursionError "maximum recursion depth exceeded<where>"
// is set then. A stack whose bounds cannot be read, or a caller running
// outside them (on a coroutine's own stack), always passes.
LUMENCAD_API bool stack_exhausted(const char* where);

// Py_EnterRecursiveCall(where) and the stack check: 0 to go on, -1 with
// RecursionError set. Every 0 must be paired with Py_LeaveRecursiveCall().
LUMENCAD_API int enter_recursive_call(const char* where);

// enter_recursive_call for code that reports errors by exception: throws
// nb::python_error, else leaves the recursive call when it goes out of scope.
class RecursionGuard {
 public:
  explicit RecursionGuard(const char* where) {
    if (enter_recursive_call(where) != 0) throw nb::python_error();
  }
  ~RecursionGuard() { Py_LeaveRecursiveCall(); }
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
};

}  // namespace lumencad
