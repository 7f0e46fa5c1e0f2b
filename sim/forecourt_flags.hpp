// The options of the simulated forecourt that both commands (tarvenix and
// tarvenix-sim) take, declared and read in one place: --dispensers, --flow,
// --fault and --seed. Header-only, for programs that link CLI11.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/forecourt.hpp"

namespace tarvenix::sim {

struct ForecourtFlags {
  unsigned dispensers = 4;
  double flow = 40.0;  // volume units a minute
  std::vector<std::string> faults;
  std::uint64_t seed = 1;
};

inline void AddForecourtFlags(CLI::App& app, ForecourtFlags& flags) {
  app.add_option("--dispensers", flags.dispensers, "Simulated dispensers at addresses 1..N")
      ->check(CLI::Range(1, 32))
      ->capture_default_str();
  app.add_option("--flow", flags.flow, "Flow of the simulated dispensers, volume units a minute")
      ->check(CLI::Range(0.01, 6000.0))
      ->capture_default_str();
  app.add_option("--fault", flags.faults,
                 "Inject a fault, repeatable: KIND[:PROBABILITY][@ADDR]; kinds noreply, "
                 "corrupt, badbcc, truncate, length, garbage, delay")
      ->check(CLI::Validator(
          [](std::string& text) {
            return ParseFaultOption(text) ? std::string() : "bad fault '" + text + "'";
          },
          "FAULT"));
  app.add_option("--seed", flags.seed, "Seed of the fault draws")->capture_default_str();
}

// Sets the forecourt the flags describe; a fault text that does not parse
// raises std::invalid_argument.
inline void ApplyForecourtFlags(const ForecourtFlags& flags, ForecourtOptions& options) {
  options.dispensers = static_cast<std::uint8_t>(flags.dispensers);
  options.flowPerMinute = static_cast<std::uint32_t>(flags.flow * 100 + 0.5);
  options.seed = flags.seed;
  options.faults.clear();
  for (const std::string& text : flags.faults) {
    const auto fault = ParseFaultOption(text);
    if (!fault) {
      throw std::invalid_argument("bad fault '" + text + "'");
    }
    options.faults.push_back(*fault);
  }
}

}  // namespace tarvenix::sim
