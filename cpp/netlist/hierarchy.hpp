// Hierarchy stage and the cross-section walk.
#pragma once

#include <nanobind/nanobind.h>

namespace lumencad::netlist {

namespace nb = nanobind;

// Implementations bound by module.cpp; args follow each function's parameters.
nb::object patch_netlist_with_hierarchy_info(nb::handle module, const nb::handle* args);
nb::object replace_cross_sections_recursive(nb::handle module, const nb::handle* args);

}  // namespace lumencad::netlist
