// Positions that may meet: pairs of points in neighbouring cells of a square
// grid. Plain arithmetic over arrays, no interpreter calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace lumencad::polyloom {

struct GridNeighbours {
  // (i, j), i < j: points whose cells differ by at most one in x and in y.
  std::vector<std::pair<std::size_t, std::size_t>> pairs;
  // Per probe: the points in the 3 x 3 cells around the probe's cell.
  std::vector<std::vector<std::size_t>> near_probes;
};

// The cell of coordinate v is floor(v / cell), as Python's
// math.floor(v / cell) gives it. False when a cell index does not fit the
// grid's integer range (non-finite or enormous coordinates): the caller then
// has to work in unbounded integers.
bool grid_neighbours(const std::vector<double>& xs, const std::vector<double>& ys,
                     const std::vector<double>& probe_xs, const std::vector<double>& probe_ys,
                     double cell, GridNeighbours* found);

}  // namespace lumencad::polyloom
