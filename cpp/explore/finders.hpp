// Finders over a PDK dependency graph, each returning node names in natural
// order.
#pragma once

#include <nanobind/nanobind.h>

namespace lumencad::explore {

namespace nb = nanobind;

// Implementations bound by module.cpp; args follow each function's parameters.
nb::object find_without_ports(nb::handle module, const nb::handle* args);
nb::object find_unconnected(nb::handle module, const nb::handle* args);
nb::object find_sinks(nb::handle module, const nb::handle* args);
nb::object find_fixed(nb::handle module, const nb::handle* args);
nb::object find_composite(nb::handle module, const nb::handle* args);
nb::object find_good_sinks(nb::handle module, const nb::handle* args);

}  // namespace lumencad::explore
