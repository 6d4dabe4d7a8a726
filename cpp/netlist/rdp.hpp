// Polyline simplification kernels behind the schematic icons: point-to-line
// distances and Ramer-Douglas-Peucker. Plain C++ over interleaved (x, y)
// double arrays; no interpreter needed.
//
// Results match the numpy formulation bit for bit, as numpy computes it on the
// running machine: the 2-D cross product is a0 * b1 - a1 * b0, and every
// distance is divided by the line length point by point (the build disables
// multiply-add contraction, so each of these operations rounds on its own).
// numpy takes the two kinds of length along different paths:
// - the length of a line's direction vector is the norm of a 1-D array, the
//   square root of a BLAS dot. Where that dot fuses multiply-add it is
//   sqrt(fma(y, y, x * x)), elsewhere sqrt(x * x + y * y); the caller says
//   which (SquareSum).
// - a distance from a single point is a norm along an axis, the square root
//   of the sum of the squares rounded one by one: sqrt(x * x + y * y) always.
#pragma once

#include <cstddef>
#include <limits>

namespace lumencad {

// How the squares of a line's direction vector are summed.
enum class SquareSum : unsigned char {
  separate,  // x * x + y * y
  fused,     // fma(y, y, x * x): a dot product that fuses multiply-add
};

// Length of a line's direction vector (x, y) summed as `sum` says.
double line_length(double x, double y, SquareSum sum);

// Distance of a point from another, given their difference (x, y).
double point_distance(double x, double y);

// Writes to `out` the distance of each of the `n` points `xy` from the
// infinite line through `start` and `end` (each an (x, y) pair), or from
// `start` itself when the two coincide.
void line_dists(const double* xy, std::size_t n, const double* start, const double* end,
                SquareSum sum, double* out);

// Optional hooks of a simplification run. Every hook that returns false
// abandons the run.
struct RdpHooks {
  // Polled about every 50 ms of work, so that the caller can stop a long run.
  bool (*poll)(void* context) = nullptr;
  // Computes the distances instead of the kernel (for machines whose numpy
  // rounds a length in a way the kernel does not reproduce): writes to `out`
  // the distances of the `n` points `xy` as line_dists defines them.
  bool (*distances)(void* context, const double* xy, std::size_t n, const double* start,
                    const double* end, double* out) = nullptr;
  void* context = nullptr;
};

// What rdp_keep returns when a hook abandoned the run.
constexpr std::size_t kRdpAbandoned = std::numeric_limits<std::size_t>::max();

// Ramer-Douglas-Peucker simplification of the polyline `xy` of `n` points with
// tolerance `eps`: sets keep[i] to 1 for every vertex the recursive algorithm
// keeps and to 0 for the others, and returns how many are kept (or
// kRdpAbandoned, with `keep` undefined). The first and last vertex are always
// kept; fewer than 3 points are kept whole.
//
// A split whose farthest vertex is an end of its own range would recurse on
// the same range forever; that only happens when eps is negative and every
// distance in the range is zero. Such a range keeps all its vertices, so a
// negative eps keeps every vertex (ranges with NaN distances aside, which keep
// their ends as for any eps).
//
// Works with an explicit stack of pending split points, so deep inputs cannot
// overflow the call stack.
std::size_t rdp_keep(const double* xy, std::size_t n, double eps, SquareSum sum,
                     const RdpHooks& hooks, unsigned char* keep);

}  // namespace lumencad
