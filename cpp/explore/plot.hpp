// The drawing of the active PDK's dependency graph.
#pragma once

#include <nanobind/nanobind.h>

namespace lumencad::explore {

namespace nb = nanobind;

// Implementation bound by module.cpp.
nb::object plot_pdk_relations(nb::handle module, const nb::handle* args);

}  // namespace lumencad::explore
