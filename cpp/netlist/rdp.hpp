// Polyline simplification kernels behind the schematic icons: point-to-line
// distances and Ramer-Douglas-Peucker. Plain C++ over interleaved (x, y)
// double arrays; no interpreter needed.
//
// Results match the numpy formulation bit for bit: the 2-D cross product is
// a0 * b1 - a1 * b0, a vector length is sqrt(x * x + y * y) in that order,
// and every distance is divided by the line length point by point (the build
// disables multiply-add contraction).
#pragma once

#include <cstddef>

namespace lumencad {

// Writes to `out` the distance of each of the `n` points `xy` from the
// infinite line through `start` and `end` (each an (x, y) pair), or from
// `start` itself when the two coincide.
void line_dists(const double* xy, std::size_t n, const double* start, const double* end,
                double* out);

// Ramer-Douglas-Peucker simplification of the polyline `xy` of `n` points with
// tolerance `eps`: sets keep[i] to 1 for every vertex the recursive algorithm
// keeps and to 0 for the others, and returns how many are kept. The first and
// last vertex are always kept; fewer than 3 points are kept whole.
//
// A split whose farthest vertex is an end of its own range would recurse on
// the same range forever; that only happens when eps is negative and every
// distance in the range is zero. Such a range keeps all its vertices, so a
// negative eps keeps every vertex (ranges with NaN distances aside, which keep
// their ends as for any eps).
//
// Works with an explicit stack of pending split points, so deep inputs cannot
// overflow the call stack.
std::size_t rdp_keep(const double* xy, std::size_t n, double eps, unsigned char* keep);

}  // namespace lumencad
