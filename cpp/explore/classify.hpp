// The PDK's cell factories sorted into parametric, fixed and other cells.
#pragma once

#include <nanobind/nanobind.h>

namespace lumencad::explore {

namespace nb = nanobind;

// Implementation bound by module.cpp.
nb::object classify_cells(nb::handle module, const nb::handle* args);

}  // namespace lumencad::explore
