#include "forecourt/amounts.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

namespace tarvenix::forecourt {
namespace {

int Decimals(const Limit& limit) {
  int decimals = 0;
  for (std::int64_t p = limit.perUnit; p > 1; p /= 10) {
    ++decimals;
  }
  return decimals;
}

}  // namespace

const Limit& PresetLimit(PresetKind kind) {
  return kind == PresetKind::kVolume ? kVolumePresetLimit : kMoneyPresetLimit;
}

double ValueOf(std::int64_t steps, const Limit& limit) {
  return static_cast<double>(steps) / static_cast<double>(limit.perUnit);
}

std::string Text(std::int64_t steps, const Limit& limit) {
  return fmt::format("{:.{}f}", ValueOf(steps, limit), Decimals(limit));
}

Checked OnStep(double value, const Limit& limit) {
  const std::string range = fmt::format("{} go in {} from {} to {}", limit.what, limit.steps,
                                        Text(limit.min, limit), Text(limit.max, limit));
  if (!std::isfinite(value)) {
    return {.message = range};
  }
  const double scaled = value * static_cast<double>(limit.perUnit);
  const double tolerance = 1e-9 * std::max(1.0, std::abs(scaled));
  const double lower = std::floor(scaled);
  const double upper = std::ceil(scaled);
  if (scaled < static_cast<double>(limit.min) - tolerance) {
    return {.message = range + ": the nearest is " + Text(limit.min, limit)};
  }
  if (scaled > static_cast<double>(limit.max) + tolerance) {
    return {.message = range + ": the nearest is " + Text(limit.max, limit)};
  }
  if (scaled - lower <= tolerance) {
    return {.steps = static_cast<std::int64_t>(lower)};
  }
  if (upper - scaled <= tolerance) {
    return {.steps = static_cast<std::int64_t>(upper)};
  }
  // Between two steps, both within the range (the range's ends are steps).
  return {.message = fmt::format("{} go in {}: {} or {}", limit.what, limit.steps,
                                 Text(static_cast<std::int64_t>(lower), limit),
                                 Text(static_cast<std::int64_t>(upper), limit))};
}

std::int64_t VolumeHundredths(double volume) {
  return std::llround(volume * 100);
}

std::int64_t MoneyThousandths(double money) {
  return std::llround(money * 1000);
}

std::int64_t PriceHundredths(double price) {
  return std::llround(price * 100);
}

}  // namespace tarvenix::forecourt
