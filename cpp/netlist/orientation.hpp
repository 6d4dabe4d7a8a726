// Port orientation (degrees) to the direction letter a schematic draws it on.
// Plain arithmetic, no interpreter calls: usable from any kernel or test.
#pragma once

#include <cmath>
#include <cstdint>

namespace lumencad::orientation {

// Remainder with the sign of the divisor, as Python's float `%` computes it
// (fmod, then shifted into the divisor's range; a zero result takes the
// divisor's sign). Non-finite dividends give NaN, as in Python.
inline double python_float_mod(double value, double divisor) {
  double mod = std::fmod(value, divisor);
  if (mod != 0.0 || std::isnan(mod)) {
    if ((divisor < 0) != (mod < 0)) mod += divisor;
  } else {
    mod = std::copysign(0.0, divisor);
  }
  return mod;
}

// Remainder with the sign of the divisor for integers, as Python's int `%`.
inline std::int64_t python_int_mod(std::int64_t value, std::int64_t divisor) {
  std::int64_t mod = value % divisor;
  if (mod != 0 && ((mod < 0) != (divisor < 0))) mod += divisor;
  return mod;
}

// Letter of an orientation already reduced into [0, 360). The ranges are
// open, so each boundary (45, 135, 225, 315) and NaN fall through to east.
inline char letter_of_reduced(double o) {
  if (45 < o && o < 135) return 'n';
  if (135 < o && o < 225) return 'w';
  if (225 < o && o < 315) return 's';
  return 'e';
}

}  // namespace lumencad::orientation
