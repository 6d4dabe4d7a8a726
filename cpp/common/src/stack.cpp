// C stack checks of recursive walks.
#include "lumencad/stack.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstdint>

namespace lumencad {

namespace {

// Room left free below the deepest check: enough for the interpreter to
// raise and unwind, and for the Python code a walk calls at that depth (each
// call from C into Python takes a few KiB). Small thread stacks keep a
// quarter of their size instead.
constexpr std::uintptr_t kMargin = 256 * 1024;

// The calling thread's stack: its lowest address and the address below which
// the margin starts (the stack grows downwards). Both 0 when unknown.
struct StackBounds {
  std::uintptr_t low;
  std::uintptr_t limit;
};

StackBounds read_bounds() {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return {0, 0};
  void* base = nullptr;
  std::size_t size = 0;
  const int rc = pthread_attr_getstack(&attr, &base, &size);
  pthread_attr_destroy(&attr);
  if (rc != 0 || base == nullptr || size == 0) return {0, 0};
  const auto low = reinterpret_cast<std::uintptr_t>(base);
  return {low, low + std::min<std::uintptr_t>(kMargin, size / 4)};
}

// Read once per thread: the main thread's bounds come from /proc/self/maps.
const StackBounds& bounds() {
  thread_local bool known = false;
  thread_local StackBounds cached = {0, 0};
  if (!known) {
    cached = read_bounds();
    known = true;
  }
  return cached;
}

}  // namespace

bool stack_exhausted(const char* where) {
  const char here = 0;
  const auto at = reinterpret_cast<std::uintptr_t>(&here);
  const StackBounds& b = bounds();
  if (at >= b.limit || at < b.low) return false;
  PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
  return true;
}

int enter_recursive_call(const char* where) {
  if (Py_EnterRecursiveCall(where) != 0) return -1;
  if (stack_exhausted(where)) {
    Py_LeaveRecursiveCall();
    return -1;
  }
  return 0;
}

}  // namespace lumencad
