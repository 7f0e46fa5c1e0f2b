// Amounts as the dispenser carries them. The start command holds four
// decimal digits of each figure: the unit price in hundredths, the volume
// dose in tenths, the money dose in whole units. A value between two steps
// would be rounded on its way to the dispenser, so the service refuses it
// instead: what it records and returns is always what the dispenser got.
//
// The journal keeps amounts as integers of the dispenser's own units:
// volumes in hundredths, money in thousandths (the final reading's
// precision; live readings come in hundredths), prices in hundredths.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "forecourt/model.hpp"

namespace tarvenix::forecourt {

// The values one field of a command can take: min..max steps of 1/perUnit.
struct Limit {
  std::string_view what;   // "prices", "volume presets", "money presets"
  std::string_view steps;  // "hundredths", "tenths", "whole units"
  std::int64_t perUnit = 1;
  std::int64_t min = 1;
  std::int64_t max = 9999;
};
inline constexpr Limit kPriceLimit{"prices", "hundredths", 100};
inline constexpr Limit kVolumePresetLimit{"volume presets", "tenths", 10};
inline constexpr Limit kMoneyPresetLimit{"money presets", "whole units", 1};
const Limit& PresetLimit(PresetKind kind);

// A value in the limit's steps (1.86 -> 186 for a price) when it lies on a
// step and in range; else a message naming the nearest values the
// dispenser can take. A JSON double is on a step when it is the nearest
// double to one (1.55 is not exactly 155 hundredths), to 1e-9 relative.
struct Checked {
  std::optional<std::int64_t> steps;
  std::string message;
};
Checked OnStep(double value, const Limit& limit);
// The value of `steps` steps, as a number (186 -> 1.86), and as text with
// the step's decimals ("1.86", "1.6", "2").
double ValueOf(std::int64_t steps, const Limit& limit);
std::string Text(std::int64_t steps, const Limit& limit);

// The journal's units. Values from the driver are already on these steps;
// rounding only removes the binary fraction's noise.
std::int64_t VolumeHundredths(double volume);
std::int64_t MoneyThousandths(double money);
std::int64_t PriceHundredths(double price);
inline double FromHundredths(std::int64_t v) {
  return static_cast<double>(v) / 100;
}
inline double FromThousandths(std::int64_t v) {
  return static_cast<double>(v) / 1000;
}

}  // namespace tarvenix::forecourt
