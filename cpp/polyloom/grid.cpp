#include "grid.hpp"

#include <cmath>
#include <unordered_map>

namespace lumencad::polyloom {

namespace {

// Cell indices stay well inside int64 so that a neighbour (index +- 1) does too.
constexpr double kIndexLimit = 4611686018427387904.0;  // 2**62

struct Cell {
  std::int64_t x, y;
  bool operator==(const Cell& other) const { return x == other.x && y == other.y; }
};

struct CellHash {
  std::size_t operator()(const Cell& c) const noexcept {
    std::uint64_t h = static_cast<std::uint64_t>(c.x) * 0x9e3779b97f4a7c15ULL;
    h ^= static_cast<std::uint64_t>(c.y) + 0x7f4a7c159e3779b9ULL + (h << 6) + (h >> 2);
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    return static_cast<std::size_t>(h);
  }
};

bool cell_of(double x, double y, double cell, Cell* out) {
  const double cx = std::floor(x / cell);
  const double cy = std::floor(y / cell);
  if (!(std::fabs(cx) < kIndexLimit) || !(std::fabs(cy) < kIndexLimit)) return false;
  *out = {static_cast<std::int64_t>(cx), static_cast<std::int64_t>(cy)};
  return true;
}

}  // namespace

bool grid_neighbours(const std::vector<double>& xs, const std::vector<double>& ys,
                     const std::vector<double>& probe_xs, const std::vector<double>& probe_ys,
                     double cell, GridNeighbours* found) {
  const std::size_t n = xs.size();
  std::vector<Cell> cells(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (!cell_of(xs[i], ys[i], cell, &cells[i])) return false;
  }
  std::vector<Cell> probe_cells(probe_xs.size());
  for (std::size_t k = 0; k < probe_xs.size(); ++k) {
    if (!cell_of(probe_xs[k], probe_ys[k], cell, &probe_cells[k])) return false;
  }

  // Points of a cell as a chain: first point of each cell, then the next of each point.
  constexpr std::size_t kEnd = static_cast<std::size_t>(-1);
  std::unordered_map<Cell, std::size_t, CellHash> first;
  first.reserve(n);
  std::vector<std::size_t> next(n, kEnd);
  for (std::size_t i = n; i-- > 0;) {
    auto [it, inserted] = first.try_emplace(cells[i], i);
    if (!inserted) {
      next[i] = it->second;
      it->second = i;
    }
  }
  auto for_each_near = [&](const Cell& c, auto&& visit) {
    for (std::int64_t dx = -1; dx <= 1; ++dx) {
      for (std::int64_t dy = -1; dy <= 1; ++dy) {
        auto it = first.find(Cell{c.x + dx, c.y + dy});
        if (it == first.end()) continue;
        for (std::size_t j = it->second; j != kEnd; j = next[j]) visit(j);
      }
    }
  };

  found->pairs.clear();
  for (std::size_t i = 0; i < n; ++i) {
    for_each_near(cells[i], [&](std::size_t j) {
      if (j > i) found->pairs.emplace_back(i, j);
    });
  }
  found->near_probes.assign(probe_cells.size(), {});
  for (std::size_t k = 0; k < probe_cells.size(); ++k) {
    for_each_near(probe_cells[k], [&](std::size_t j) { found->near_probes[k].push_back(j); });
  }
  return true;
}

}  // namespace lumencad::polyloom
