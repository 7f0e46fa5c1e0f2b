// Reals from the host become the 32-bit integers of the driver's tables.
#pragma once

#include <cstdint>

#include "decode/dispenser_tables.hpp"

namespace tarvenix::conversion {

// value x scale, formed in extended precision (so 20.05 x 10 lies just above
// 200.5), rounded to nearest with halves to the even neighbour. Raises the
// range error for NaN, infinities and results outside the signed 32-bit
// range. The rounding is done by hand so that it does not depend on the
// rounding mode the host left in the FPU.
std::int32_t ScaleToInt32(double value, decode::Extended scale);

}  // namespace tarvenix::conversion
