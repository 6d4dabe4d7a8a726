// Port directions of components: each port reduced to the side it faces.
#pragma once

#include <nanobind/nanobind.h>

namespace lumencad::netlist {

namespace nb = nanobind;

// Implementations bound by module.cpp; args follow each function's parameters.
nb::object patch_netlist_with_port_info(nb::handle module, const nb::handle* args);
nb::object get_component_name(nb::handle module, const nb::handle* args);
nb::object try_get_ports(nb::handle module, const nb::handle* args);
nb::object get_ports(nb::handle module, const nb::handle* args);
nb::object get_orientation(nb::handle module, const nb::handle* args);

}  // namespace lumencad::netlist
