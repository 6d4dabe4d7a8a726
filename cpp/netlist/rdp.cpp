#include "rdp.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <vector>

namespace lumencad {

double line_length(double x, double y, SquareSum sum) {
  return std::sqrt(sum == SquareSum::fused ? std::fma(y, y, x * x) : x * x + y * y);
}

double point_distance(double x, double y) { return std::sqrt(x * x + y * y); }

namespace {

// Distance from the infinite line through two distinct points.
struct LineDistance {
  const double* xy;
  double sx, sy, vx, vy, length;

  LineDistance(const double* xy, const double* start, const double* end, SquareSum sum)
      : xy(xy), sx(start[0]), sy(start[1]), vx(end[0] - start[0]), vy(end[1] - start[1]) {
    length = line_length(vx, vy, sum);
  }
  // |cross(vec, start - point)| / |vec|
  double operator()(std::size_t i) const {
    const double cross = vx * (sy - xy[2 * i + 1]) - vy * (sx - xy[2 * i]);
    return std::fabs(cross) / length;
  }
};

// Distance from a single point (the line's two ends coincide).
struct PointDistance {
  const double* xy;
  double sx, sy;

  PointDistance(const double* xy, const double* start) : xy(xy), sx(start[0]), sy(start[1]) {}
  double operator()(std::size_t i) const {
    return point_distance(xy[2 * i] - sx, xy[2 * i + 1] - sy);
  }
};

// Distances computed beforehand for the points lo, lo + 1, ...
struct KnownDistance {
  const double* d;
  std::size_t lo;

  double operator()(std::size_t i) const { return d[i - lo]; }
};

// Only coordinates that compare equal count as coinciding; a NaN never does.
bool same_point(const double* a, const double* b) { return a[0] == b[0] && a[1] == b[1]; }

// Calls the poll hook about every kPollInterval while the run works. The
// clock costs more than a distance, so it is read only once kClockWork
// distances have been computed since the last reading.
class Poller {
 public:
  explicit Poller(const RdpHooks& hooks) : hooks_(hooks), due_(Clock::now() + kPollInterval) {}

  // Counts `work` distances done; false once the hook asks to stop.
  bool advance(std::size_t work) {
    if (!hooks_.poll) return true;
    work_ += work;
    if (work_ < kClockWork) return true;
    work_ = 0;
    const Clock::time_point now = Clock::now();
    if (now < due_) return true;
    due_ = now + kPollInterval;
    return hooks_.poll(hooks_.context);
  }

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kPollInterval{50};
  static constexpr std::size_t kClockWork = 1 << 14;

  const RdpHooks& hooks_;
  Clock::time_point due_;
  std::size_t work_ = 0;
};

// Ranges longer than this are scanned in blocks with a poll after each, so
// that one range of a huge input cannot hold off the poll for long.
constexpr std::size_t kScanBlock = 1 << 16;

struct Farthest {
  std::size_t index;
  double distance;
};

struct Scan {
  Farthest best;
  bool any_nan;
};

// The scan of points from..to, continuing `scan`.
template <class Distance>
Scan scan_range(const Distance& distance, std::size_t from, std::size_t to, Scan scan) {
  for (std::size_t i = from; i <= to; ++i) {
    const double d = distance(i);
    scan.any_nan |= d != d;
    if (d > scan.best.distance) scan.best = {i, d};
  }
  return scan;
}

// scan_range over a long range in blocks, with a poll after each. Kept out of
// line and given the distance by value: with this loop and its poll calls in
// the same function as the short ranges' inlined scan, the compiler kept the
// line's fields in memory and reloaded them for every point.
template <class Distance>
[[gnu::noinline]] bool scan_in_blocks(const Distance distance, std::size_t from, std::size_t to,
                                      Poller& poller, Scan& result) {
  Scan scan = result;
  for (; from <= to; from += kScanBlock) {
    const std::size_t last = std::min(to, from + (kScanBlock - 1));
    scan = scan_range(distance, from, last, scan);
    if (!poller.advance(last - from + 1)) return false;
  }
  result = scan;
  return true;
}

// First position of the largest distance among points lo..hi; a NaN counts as
// the largest and its first occurrence wins. NaNs are only noted in the main
// scan (a test per point there costs more than the distance itself) and
// searched for when there are any. False when the poll asks to stop.
template <class Distance>
bool farthest(std::size_t lo, std::size_t hi, const Distance& distance, Poller& poller,
              Farthest& best) {
  const double first = distance(lo);
  Scan scan{{lo, first}, std::isnan(first)};
  if (hi - lo <= kScanBlock) {
    scan = scan_range(distance, lo + 1, hi, scan);
    if (!poller.advance(hi - lo)) return false;
  } else if (!scan_in_blocks(distance, lo + 1, hi, poller, scan)) {
    return false;
  }
  best = scan.best;
  if (scan.any_nan) {
    for (std::size_t i = lo; i <= hi; ++i) {
      const double d = distance(i);
      if (std::isnan(d)) {
        best = {i, d};
        break;
      }
    }
  }
  return true;
}

class ChordScan {
 public:
  ChordScan(const double* xy, SquareSum sum, const RdpHooks& hooks)
      : xy_(xy), sum_(sum), hooks_(hooks), poller_(hooks) {}

  // The point of lo..hi farthest from the chord between those two; false
  // when a hook asks to stop.
  bool operator()(std::size_t lo, std::size_t hi, Farthest& best) {
    const double* start = xy_ + 2 * lo;
    const double* end = xy_ + 2 * hi;
    if (hooks_.distances) {
      const std::size_t count = hi - lo + 1;
      known_.resize(count);
      if (!hooks_.distances(hooks_.context, start, count, start, end, known_.data())) return false;
      return farthest(lo, hi, KnownDistance{known_.data(), lo}, poller_, best);
    }
    if (same_point(start, end)) return farthest(lo, hi, PointDistance(xy_, start), poller_, best);
    return farthest(lo, hi, LineDistance(xy_, start, end, sum_), poller_, best);
  }

 private:
  const double* xy_;
  SquareSum sum_;
  const RdpHooks& hooks_;
  Poller poller_;
  std::vector<double> known_;
};

}  // namespace

void line_dists(const double* xy, std::size_t n, const double* start, const double* end,
                SquareSum sum, double* out) {
  if (same_point(start, end)) {
    const PointDistance distance(xy, start);
    for (std::size_t i = 0; i < n; ++i) out[i] = distance(i);
    return;
  }
  const LineDistance distance(xy, start, end, sum);
  for (std::size_t i = 0; i < n; ++i) out[i] = distance(i);
}

std::size_t rdp_keep(const double* xy, std::size_t n, double eps, SquareSum sum,
                     const RdpHooks& hooks, unsigned char* keep) {
  if (n < 3) {
    std::memset(keep, 1, n);
    return n;
  }
  std::memset(keep, 0, n);

  ChordScan scan(xy, sum, hooks);
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
      Farthest f;
      if (!scan(lo, hi, f)) return kRdpAbandoned;
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
