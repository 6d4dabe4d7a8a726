// Icon path strings: an outline in unit-box coordinates drawn in a 100 x 100
// box whose y axis points down, as "M x y L x y ... Z". The path pieces work
// on plain strings; _get_icon_poly_strings builds the paths from the outlines.
#pragma once

#include <string>

#include "lumencad/function.hpp"

namespace lumencad {

// Drawing-box coordinates of an outline vertex.
inline double icon_x(double x) { return 100.0 * x; }
inline double icon_y(double y) { return 100.0 - 100.0 * y; }

// Appends `value` as Python's repr writes a float (shortest round-trip form,
// ".0" on whole values, exponent form outside 1e-4 .. 1e16), using the
// interpreter's own conversion routine. Needs the GIL.
void append_float_repr(std::string& out, double value);

// Appends the command that starts ("M") or continues ("L") the path, up to and
// including the space before the first coordinate.
void append_path_command(std::string& out, bool first_vertex);

// Closes the path; nothing follows the "Z".
void append_path_end(std::string& out);

namespace netlist {

// Implementation of _get_icon_poly_strings, as def_function takes it: the
// path string of every outline _get_icon_polys gives, by name.
nb::object get_icon_poly_strings_impl(nb::handle module, const nb::handle* args);

}  // namespace netlist

}  // namespace lumencad
