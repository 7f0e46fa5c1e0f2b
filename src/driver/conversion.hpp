// Reals from the host become the 32-bit integers of the driver's tables.
#pragma once

#include <cstdint>

#include "decode/dispenser_tables.hpp"

namespace tarvenix::conversion {

// value x scale, formed in extended precision (so 20.05 x 10 lies just above
// 200.5), rounded to nearest with halves to the even neighbour. Raises the
// range error for NaN, infinities and results outside the signed 32-bit
// range. Runs at 64-bit precision and round-to-nearest whatever the host
// left in the FPU (see ExtendedPrecision).
std::int32_t ScaleToInt32(double value, decode::Extended scale);

// A table value as the double the host receives: the nearest one, whatever
// rounding mode the host left in the FPU.
double ToDouble(const decode::Extended& value);

}  // namespace tarvenix::conversion
