// Python's arithmetic on plain numbers, for kernels that must give the
// interpreter's results bit for bit. No interpreter calls.
#pragma once

#include <cmath>
#include <cstdint>

namespace lumencad {

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

}  // namespace lumencad
