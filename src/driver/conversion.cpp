#include "driver/conversion.hpp"

#include <cmath>

#include "driver/extended_precision.hpp"
#include "link/range.hpp"

namespace tarvenix::conversion {
namespace {

std::int32_t Scale(double value, decode::Extended scale) {
  const decode::Extended product = static_cast<decode::Extended>(value) * scale;
  // Also refuses NaN, which fails every comparison.
  if (!(product > -2147483649.0L && product < 2147483648.0L)) {
    link::ThrowRangeError();
  }
  decode::Extended rounded = std::floor(product);
  const decode::Extended fraction = product - rounded;  // exact: both lie near 2^31 at most
  if (fraction > 0.5L || (fraction == 0.5L && std::fmod(rounded, 2.0L) != 0)) {
    rounded += 1;
  }
  if (rounded < -2147483648.0L || rounded > 2147483647.0L) {
    link::ThrowRangeError();
  }
  return static_cast<std::int32_t>(rounded);
}

}  // namespace

std::int32_t ScaleToInt32(double value, decode::Extended scale) {
  const fpu::ExtendedPrecision precision;
  fpu::Pin(value);
  fpu::Pin(scale);
  std::int32_t result = Scale(value, scale);
  fpu::Pin(result);
  return result;
}

double ToDouble(const decode::Extended& value) {
  const fpu::ExtendedPrecision precision;
  double result = static_cast<double>(value);
  fpu::Pin(result);
  return result;
}

}  // namespace tarvenix::conversion
