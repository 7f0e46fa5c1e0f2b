// A forecourt set up from options: the dispensers of one simulated line and
// their fault plans, as the command and the standalone simulator take them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/faults.hpp"
#include "sim/simulated_line.hpp"

namespace tarvenix::sim {

// One --fault option: KIND[:PROBABILITY][@ADDR]. The probability defaults
// to 1 (every reply), the address to 0, meaning every dispenser.
struct FaultOption {
  FaultKind kind;
  double probability = 1.0;
  std::uint8_t addr = 0;
};
std::optional<FaultOption> ParseFaultOption(std::string_view text);

struct ForecourtOptions {
  std::uint8_t dispensers = 4;         // at addresses 1..dispensers
  std::uint32_t flowPerMinute = 4000;  // hundredths of the volume unit a minute
  bool autoNozzle = true;
  std::vector<FaultOption> faults;
  std::uint64_t seed = 1;
  std::uint32_t delayMs = 300;  // of the delay fault
};

void Populate(SimulatedLine& line, const ForecourtOptions& options);

}  // namespace tarvenix::sim
