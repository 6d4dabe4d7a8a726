#include "rdp.hpp"

#include <cmath>
#include <cstring>
#include <vector>

namespace lumencad {
namespace {

// Distance from the infinite line through two distinct points.
struct LineDistance {
  double sx, sy, vx, vy, length;

  LineDistance(const double* start, const double* end)
      : sx(start[0]), sy(start[1]), vx(end[0] - start[0]), vy(end[1] - start[1]) {
    length = std::sqrt(vx * vx + vy * vy);
  }
  // |cross(vec, start - point)| / |vec|
  double operator()(double px, double py) const {
    const double cross = vx * (sy - py) - vy * (sx - px);
    return std::fabs(cross) / length;
  }
};

// Distance from a single point (the line's two ends coincide).
struct PointDistance {
  double sx, sy;

  explicit PointDistance(const double* start) : sx(start[0]), sy(start[1]) {}
  double operator()(double px, double py) const {
    const double dx = px - sx;
    const double dy = py - sy;
    return std::sqrt(dx * dx + dy * dy);
  }
};

// Only coordinates that compare equal count as coinciding; a NaN never does.
bool same_point(const double* a, const double* b) { return a[0] == b[0] && a[1] == b[1]; }

struct Farthest {
  std::size_t index;
  double distance;
};

// First position of the largest distance among points lo..hi; a NaN counts as
// the largest and its first occurrence wins. NaNs are only noted in the main
// scan (a test per point there costs more than the distance itself) and
// searched for when there are any.
template <class Distance>
Farthest farthest(const double* xy, std::size_t lo, std::size_t hi, const Distance& distance) {
  Farthest best{lo, distance(xy[2 * lo], xy[2 * lo + 1])};
  bool any_nan = std::isnan(best.distance);
  for (std::size_t i = lo + 1; i <= hi; ++i) {
    const double d = distance(xy[2 * i], xy[2 * i + 1]);
    any_nan |= d != d;
    if (d > best.distance) best = {i, d};
  }
  if (any_nan) {
    for (std::size_t i = lo; i <= hi; ++i) {
      const double d = distance(xy[2 * i], xy[2 * i + 1]);
      if (std::isnan(d)) return {i, d};
    }
  }
  return best;
}

Farthest farthest_from_chord(const double* xy, std::size_t lo, std::size_t hi) {
  const double* start = xy + 2 * lo;
  const double* end = xy + 2 * hi;
  if (same_point(start, end)) return farthest(xy, lo, hi, PointDistance(start));
  return farthest(xy, lo, hi, LineDistance(start, end));
}

}  // namespace

void line_dists(const double* xy, std::size_t n, const double* start, const double* end,
                double* out) {
  if (same_point(start, end)) {
    const PointDistance distance(start);
    for (std::size_t i = 0; i < n; ++i) out[i] = distance(xy[2 * i], xy[2 * i + 1]);
    return;
  }
  const LineDistance distance(start, end);
  for (std::size_t i = 0; i < n; ++i) out[i] = distance(xy[2 * i], xy[2 * i + 1]);
}

std::size_t rdp_keep(const double* xy, std::size_t n, double eps, unsigned char* keep) {
  if (n < 3) {
    std::memset(keep, 1, n);
    return n;
  }
  std::memset(keep, 0, n);

  // The range being worked on is lo..splits.back(); deeper entries are the
  // right ends of ranges still waiting. Ranges are finished left to right, so
  // each finished range's end is the next one's start.
  std::vector<std::size_t> splits;
  splits.reserve(64);
  splits.push_back(n - 1);
  std::size_t lo = 0;
  while (!splits.empty()) {
    const std::size_t hi = splits.back();
    if (hi - lo >= 2) {
      const Farthest f = farthest_from_chord(xy, lo, hi);
      if (f.distance > eps) {
        if (f.index != lo && f.index != hi) {
          splits.push_back(f.index);
          continue;
        }
        std::memset(keep + lo, 1, hi - lo + 1);
      }
    }
    keep[lo] = 1;
    keep[hi] = 1;
    lo = hi;
    splits.pop_back();
  }

  std::size_t kept = 0;
  for (std::size_t i = 0; i < n; ++i) kept += keep[i];
  return kept;
}

}  // namespace lumencad
