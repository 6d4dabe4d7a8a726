// Connection stage: the connections the built layout makes that the netlist
// does not declare.
#pragma once

#include <nanobind/nanobind.h>

namespace lumencad::netlist {

namespace nb = nanobind;

// Implementations bound by module.cpp; args follow each function's parameters.
nb::object patch_netlist_with_connection_info(nb::handle module, const nb::handle* args);
nb::object is_implicit_connection(nb::handle module, const nb::handle* args);

}  // namespace lumencad::netlist
