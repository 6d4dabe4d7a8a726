// Placement stage: schematic points for instances and top-level ports.
#pragma once

#include <nanobind/nanobind.h>

namespace lumencad::netlist {

namespace nb = nanobind;

// patch_netlist_with_placement_info(name, netlist, width, height), bound by
// module.cpp.
nb::object patch_netlist_with_placement_info(nb::handle module, const nb::handle* args);

}  // namespace lumencad::netlist
