// The common layer's side of a module's initialisation.
#include "lumencad/module.hpp"

namespace lumencad {

bool attach_module(PyObject* module) noexcept {
  return nanobind::register_module(nanobind::handle(module));
}

}  // namespace lumencad
