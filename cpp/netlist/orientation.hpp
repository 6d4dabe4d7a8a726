// Port orientation (degrees) to the direction letter a schematic draws it on.
// Plain arithmetic, no interpreter calls: usable from any kernel or test.
#pragma once

#include "lumencad/pymath.hpp"

namespace lumencad::orientation {

using lumencad::python_float_mod;
using lumencad::python_int_mod;

// Letter of an orientation already reduced into [0, 360). The ranges are
// open, so each boundary (45, 135, 225, 315) and NaN fall through to east.
inline char letter_of_reduced(double o) {
  if (45 < o && o < 135) return 'n';
  if (135 < o && o < 225) return 'w';
  if (225 < o && o < 315) return 's';
  return 'e';
}

}  // namespace lumencad::orientation
