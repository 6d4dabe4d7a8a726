// Schematic icons of lumencad.core.netlist: outlines of the PDK's cells, their
// path strings, the simplification kernels and the icon stage.
#pragma once

#include <nanobind/nanobind.h>

namespace lumencad::netlist {

namespace nb = nanobind;

// Defines patch_netlist_with_icon_info, _get_icon_poly, _get_icon_polys,
// _get_icon_poly_strings, _get_icon_poly_cached, _rdp and _line_dists on `m`,
// in that order, the two caching ones wrapped in the module's `lru_cache`
// (which must already be bound).
void define_icon_functions(nb::module_& m);

}  // namespace lumencad::netlist
