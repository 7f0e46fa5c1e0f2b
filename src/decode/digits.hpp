// Decimal digit fields of replies. Each byte counts as its value minus 48;
// nothing checks that it is a digit, so a stray byte contributes a "digit"
// below 0 or above 9 rather than stopping the decode.
#pragma once

#include <cstdint>
#include <span>

#include "decode/dispenser_tables.hpp"
#include "link/protocol.hpp"

namespace tarvenix::decode {

// The live values of D, F and M replies: the first byte is the lowest digit.
inline Extended DigitsLowFirst(std::span<const std::uint8_t> field) {
  Extended value = 0;
  for (auto it = field.rbegin(); it != field.rend(); ++it) {
    value = value * 10 + *it - protocol::kDigitZero;
  }
  return value;
}

// Totaliser counters and parameter values: the first byte is the highest.
inline Extended DigitsHighFirst(std::span<const std::uint8_t> field) {
  Extended value = 0;
  for (std::uint8_t byte : field) {
    value = value * 10 + byte - protocol::kDigitZero;
  }
  return value;
}

}  // namespace tarvenix::decode
