// Coordinates rounded to a fixed number of decimals, as Python's round() does.
// Plain arithmetic, no interpreter calls.
#pragma once

#include <cmath>

namespace lumencad::polyloom {

// Decimals that coordinates keep (micrometres, so whole femtometres).
constexpr int kRoundDecimals = 9;

// Python's round(value, 9) for the values that double arithmetic settles:
// true with *rounded set, false for the others (non-finite values, |value| of
// 2**52 / 1e9 and more, and values within a quarter unit of the ninth decimal
// of a halfway point), which need the interpreter's decimal conversion.
//
// Why it is exact: Python rounds the exact value v to the nearest multiple n
// of 1e-9 (ties to even), then converts n * 1e-9 to the nearest double. Here
// s = v * 1e9 is correctly rounded; below 2**52 a double's half unit is at
// most 0.25, so |s - v * 1e9| <= 0.25. With k the integer nearest to s and
// |s - k| < 0.25 (s - k is exact: the two are within a factor of two), the
// exact v * 1e9 lies strictly within 0.5 of k: k is n, and no tie is
// involved. k and 1e9 are exact doubles, so k / 1e9 is the double nearest to
// k * 1e-9, as the conversion gives.
inline bool round_to_decimals(double value, double* rounded) {
  constexpr double kScale = 1e9;
  constexpr double kExactBelow = 4503599627370496.0;  // 2**52
  static_assert(kRoundDecimals == 9, "kScale is 10**kRoundDecimals");
  const double scaled = value * kScale;
  if (!(std::fabs(scaled) < kExactBelow)) return false;
  const double nearest = std::nearbyint(scaled);
  if (!(std::fabs(scaled - nearest) < 0.25)) return false;
  *rounded = nearest / kScale;
  return true;
}

}  // namespace lumencad::polyloom
