#include "placement_layout.hpp"

#include <cmath>

namespace lumencad::placement {

double nearest(double value) {
  // The interpreter runs in the default rounding mode (to nearest, ties to
  // even), which is exactly Python's round() on the exact double value.
  return std::nearbyint(value);
}

double python_floor_div(double a, double b) {
  double mod = std::fmod(a, b);
  double div = (a - mod) / b;
  if (mod != 0.0 || std::isnan(mod)) {
    if ((b < 0) != (mod < 0)) div -= 1.0;
  }
  if (div != 0.0 || std::isnan(div)) {
    double floordiv = std::floor(div);
    if (div - floordiv > 0.5) floordiv += 1.0;
    return floordiv;
  }
  return std::copysign(0.0, a / b);
}

namespace {

double first_min(const double* v, std::size_t n) {
  double best = v[0];
  for (std::size_t i = 1; i < n; ++i) {
    if (v[i] < best) best = v[i];
  }
  return best;
}

double first_max(const double* v, std::size_t n) {
  double best = v[0];
  for (std::size_t i = 1; i < n; ++i) {
    if (v[i] > best) best = v[i];
  }
  return best;
}

void shift(double* v, std::size_t n, double by) {
  for (std::size_t i = 0; i < n; ++i) v[i] = v[i] - by;
}

void scale(double* v, std::size_t n, double span, double side) {
  for (std::size_t i = 0; i < n; ++i) v[i] = nearest(v[i] / span * side);
}

}  // namespace

Extent scale_onto_canvas(double* xs, double* ys, std::size_t n, double width, double height) {
  Extent extent{0.0, 0.0, kMinimumSpan, kMinimumSpan};
  if (n == 0) return extent;
  extent.min_x = first_min(xs, n);
  extent.min_y = first_min(ys, n);
  shift(xs, n, extent.min_x);
  shift(ys, n, extent.min_y);
  double largest_x = first_max(xs, n);
  double largest_y = first_max(ys, n);
  extent.max_x = largest_x < kMinimumSpan ? kMinimumSpan : largest_x;
  extent.max_y = largest_y < kMinimumSpan ? kMinimumSpan : largest_y;
  scale(xs, n, extent.max_x, width);
  scale(ys, n, extent.max_y, height);
  return extent;
}

std::ptrdiff_t first_non_finite(const double* xs, const double* ys, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (!std::isfinite(xs[i])) return static_cast<std::ptrdiff_t>(2 * i);
    if (!std::isfinite(ys[i])) return static_cast<std::ptrdiff_t>(2 * i + 1);
  }
  return -1;
}

double side_spread(std::size_t index, std::size_t count, double side) {
  double spacing = side / static_cast<double>(count > 1 ? count : 1);
  return nearest(0.5 * spacing + static_cast<double>(index) * spacing);
}

}  // namespace lumencad::placement
