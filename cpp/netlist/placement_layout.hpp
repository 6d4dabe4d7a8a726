// Schematic placement arithmetic: layout positions normalised and scaled onto
// the canvas, and top-level ports spread along its sides. Plain C++ over
// arrays of doubles; the binding converts to and from Python objects.
#pragma once

#include <cstddef>

namespace lumencad::placement {

// Nearest integer, ties to even (Python's one-argument round() of a float),
// kept as a double; NaN and infinities pass through.
double nearest(double value);

// Python's float floor division `a // b` (b != 0), including its results for
// signed zeros and non-finite operands.
double python_floor_div(double a, double b);

// Extent of a set of points, taken the way Python's min()/max() walk a
// sequence: the first value, replaced only by a strictly smaller (larger) one.
struct Extent {
  double min_x, min_y;
  double max_x, max_y;  // of the points shifted by (min_x, min_y), at least 10
};

// Smallest coordinate below which a layout span is not stretched further.
constexpr double kMinimumSpan = 10.0;

// Moves the points so the smallest coordinates become 0, then replaces every
// coordinate by nearest(c / max * side): the span (at least kMinimumSpan) is
// stretched over `width` by `height`. Returns the extent used. n may be 0, in
// which case nothing is touched and the extent is meaningless.
Extent scale_onto_canvas(double* xs, double* ys, std::size_t n, double width, double height);

// Index into the interleaved sequence x0, y0, x1, y1, ... of the first
// coordinate that is not finite, or -1 when all are.
std::ptrdiff_t first_non_finite(const double* xs, const double* ys, std::size_t n);

// Coordinate along a side of length `side` for the port at `index` of
// `count` ports on that side: the middles of `count` equal slots, rounded.
double side_spread(std::size_t index, std::size_t count, double side);

}  // namespace lumencad::placement
