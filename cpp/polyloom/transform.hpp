// Points and directions moved by an instance's transform: mirrored across x
// (if asked), rotated about (0, 0), then moved. Plain arithmetic, no
// interpreter calls.
#pragma once

#include "lumencad/pymath.hpp"

namespace lumencad::polyloom {

struct Placement {
  double x, y;      // the origin it moves to
  double c, s;      // cosine and sine of the rotation
  double rotation;  // the rotation, degrees
  bool mirror;      // across x, before the rotation
};

// The point (px, py) placed, before rounding; the operations are Python's,
// in its order: x + c * px - s * py.
inline void place_point(const Placement& t, double px, double py, double* x, double* y) {
  if (t.mirror) py = -py;
  *x = t.x + t.c * px - t.s * py;
  *y = t.y + t.s * px + t.c * py;
}

// The direction `angle` (degrees) placed, reduced into [0, 360) with -0.0 made
// 0.0, as polyloom.geometry.normalize_angle reduces it.
inline double place_angle(const Placement& t, double angle) {
  const double reduced = python_float_mod((t.mirror ? -angle : angle) + t.rotation, 360.0);
  return reduced >= 360.0 ? 0.0 : reduced + 0.0;
}

}  // namespace lumencad::polyloom
