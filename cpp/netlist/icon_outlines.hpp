// Outlines of the PDK's cells for their schematic icons: unit-box polygons
// from the rules for straights, tapers and couplers or from the union of a
// cell's top-layer polygons, and the entry points that compute them.
#pragma once

#include "lumencad/function.hpp"

namespace lumencad::netlist {

// Implementations of _get_icon_poly_cached (the outline of one cell),
// _get_icon_poly (through the outline cache for the PDK's own cells) and
// _get_icon_polys (all PDK pics by name), as def_function takes them.
nb::object get_icon_poly_cached_impl(nb::handle module, const nb::handle* args);
nb::object get_icon_poly_impl(nb::handle module, const nb::handle* args);
nb::object get_icon_polys_impl(nb::handle module, const nb::handle* args);

}  // namespace lumencad::netlist
