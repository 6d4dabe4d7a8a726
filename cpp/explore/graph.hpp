// The PDK dependency graph and the per-cell queries it is built from.
#pragma once

#include <nanobind/nanobind.h>

namespace lumencad::explore {

namespace nb = nanobind;

// Implementations bound by module.cpp; args follow each function's parameters.
nb::object num_args(nb::handle module, const nb::handle* args);
nb::object get_f(nb::handle module, const nb::handle* args);
nb::object get_c(nb::handle module, const nb::handle* args);
nb::object get_net(nb::handle module, const nb::handle* args);
nb::object get_port_names(nb::handle module, const nb::handle* args);
nb::object is_fixed(nb::handle module, const nb::handle* args);
nb::object get_pdk_graph(nb::handle module, const nb::handle* args);

}  // namespace lumencad::explore
