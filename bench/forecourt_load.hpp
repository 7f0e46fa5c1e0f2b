// What the forecourt benchmarks share: a busy forecourt of simulated lines
// and the percentiles of what they measure.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "forecourt/config.hpp"

namespace tarvenix::bench {

inline constexpr int kLines = 32;
inline constexpr int kPumpsPerLine = 4;

// kLines simulated lines of kPumpsPerLine pumps ("LINE-ADDR"), the journal
// in `dir`.
inline forecourt::Config BusyForecourt(const std::filesystem::path& dir) {
  forecourt::Config config;
  config.database = (dir / "journal.db").string();
  for (int l = 0; l < kLines; ++l) {
    forecourt::LineConfig line;
    line.simulate = kPumpsPerLine;
    line.flowPerMinute = 60;
    for (std::uint8_t a = 1; a <= kPumpsPerLine; ++a) {
      const std::string id = std::to_string(l + 1) + "-" + std::to_string(a);
      line.pumps.push_back({.id = id, .name = id, .addr = a, .price = 1.85});
    }
    config.lines.push_back(std::move(line));
  }
  return config;
}

inline double Percentile(std::vector<double> values, double p) {
  if (values.empty()) {
    return 0;
  }
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

}  // namespace tarvenix::bench
