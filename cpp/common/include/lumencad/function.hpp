// Introspectable module-level functions implemented in C++.
//
// A function defined with def_function() is a Python object that tools can
// inspect like a Python function (__name__, __qualname__, __module__, __doc__,
// __annotations__, __signature__, __globals__, __defaults__, __dict__), binds
// its arguments by Python's positional-or-keyword rules with Python's own
// error messages, applies the entry checks of its parameters and then calls a
// plain C++ implementation.
#pragma once

#include <nanobind/nanobind.h>

#include "lumencad/export.hpp"

#include <vector>

namespace lumencad {

namespace nb = nanobind;

// Entry check applied to a bound argument before the implementation runs.
enum class Check {
  None,   // no check
  Str,    // exactly the built-in str
  Dict,   // exactly the built-in dict
  Float,  // converted to a Python float (int and other real numbers accepted)
};

struct Param {
  const char* name;
  // Annotation string as the interface tables give it ("str", "Netlist",
  // "dict[str, Any]"); nullptr means the parameter has no annotation.
  const char* annotation = nullptr;
  Check check = Check::None;
  // A null handle marks a required parameter.
  nb::object default_value = {};
};

// args[i] is the bound, checked argument for params[i]: never null, defaults
// filled in, Float parameters converted to Python floats. `module` is the
// module that defined the function; look collaborators up with module_global()
// at call time. A module's header declares its implementations with the
// function type: `FunctionBody patch_netlist, ensure_netlist_order;`.
using FunctionBody = nb::object(nb::handle module, const nb::handle* args);
using FunctionImpl = FunctionBody*;

struct FunctionSpec {
  const char* name;
  std::vector<Param> params;
  // nullptr: no "return" entry in __annotations__.
  const char* return_annotation = nullptr;
  const char* doc = nullptr;
  FunctionImpl impl = nullptr;
};

// Creates the function object, stores it in the module under spec.name and
// returns it. Required parameters may not follow parameters with defaults.
LUMENCAD_API nb::object def_function(nb::module_& m, FunctionSpec spec);

// def_function for a command: defines the function, applies the module's
// `app.command()` to it and stores what that returns under the function's
// name.
LUMENCAD_API nb::object def_command(nb::module_& m, FunctionSpec spec);

// Sets the Python error indicator for the C++ exception being handled
// (call from inside a catch block): nb::python_error is restored,
// nb::builtin_exception subclasses become their Python exception,
// std::bad_alloc a MemoryError, other std::exception a RuntimeError (or the
// matching ValueError / IndexError / OverflowError for the standard logic
// and range errors).
LUMENCAD_API void set_python_error_from_current_exception() noexcept;

}  // namespace lumencad
