// Handles to Python objects used by the C++ modules.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>

#include "lumencad/export.hpp"

namespace lumencad {

namespace nb = nanobind;

// The attribute `attr` of module `module` (e.g. cached("copy", "deepcopy")),
// imported on first use and then kept for the life of the process. Modules
// look their internal callables up once while they are imported; the returned
// reference stays valid forever, so callers may keep it in a static reference.
LUMENCAD_API nb::object& cached(const char* module, const char* attr);

// The global `name` of `module` looked up now, as Python code in that module
// would see it: the module's namespace first, then builtins. Raises NameError
// "name '<name>' is not defined" when neither holds it. Used for collaborators
// that host code or tests may replace on the module.
LUMENCAD_API nb::object module_global(nb::handle module, const char* name);

// One collaborator a module binds as its attribute `name`: `attr` of module
// `module` (`from module import attr as name`), or the module itself when
// `attr` is null (`import module as name`).
struct Import {
  const char* name;
  const char* module;
  const char* attr = nullptr;
};

// Binds the collaborators on `m` in the given order; a failing import
// propagates as it is.
LUMENCAD_API void bind_imports(nb::module_& m, std::initializer_list<Import> imports);

// Calls the module global `name` with the given arguments.
template <typename... Args>
nb::object call_global(nb::handle module, const char* name, Args&&... args) {
  return module_global(module, name)(std::forward<Args>(args)...);
}

}  // namespace lumencad
