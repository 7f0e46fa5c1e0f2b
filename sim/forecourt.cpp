#include "sim/forecourt.hpp"

#include <charconv>
#include <tarvenix/protocol.hpp>

namespace tarvenix::sim {

std::optional<FaultOption> ParseFaultOption(std::string_view text) {
  FaultOption fault{FaultKind::kNoReply};
  if (const auto at = text.find('@'); at != std::string_view::npos) {
    const std::string_view addr = text.substr(at + 1);
    unsigned value = 0;
    const auto [end, error] = std::from_chars(addr.data(), addr.data() + addr.size(), value);
    if (error != std::errc{} || end != addr.data() + addr.size() || value < 1 ||
        value > protocol::kAddrCount) {
      return std::nullopt;
    }
    fault.addr = static_cast<std::uint8_t>(value);
    text = text.substr(0, at);
  }
  if (const auto colon = text.find(':'); colon != std::string_view::npos) {
    const std::string probability(text.substr(colon + 1));
    std::size_t used = 0;
    try {
      fault.probability = std::stod(probability, &used);
    } catch (const std::exception&) {
      return std::nullopt;
    }
    if (used != probability.size() || !(fault.probability >= 0.0 && fault.probability <= 1.0)) {
      return std::nullopt;
    }
    text = text.substr(0, colon);
  }
  const auto kind = FaultByName(text);
  if (!kind) {
    return std::nullopt;
  }
  fault.kind = *kind;
  return fault;
}

void Populate(SimulatedLine& line, const ForecourtOptions& options) {
  for (std::uint8_t addr = 1; addr <= options.dispensers; ++addr) {
    line.AddDispenser(addr,
                      {.flowPerMinute = options.flowPerMinute, .autoNozzle = options.autoNozzle});
    FaultPlan plan;
    plan.delayMs = options.delayMs;
    bool any = false;
    for (const FaultOption& fault : options.faults) {
      if (fault.addr == 0 || fault.addr == addr) {
        plan.With(fault.kind, fault.probability);
        any = true;
      }
    }
    if (any) {
      line.SetFaults(addr, plan, options.seed);
    }
  }
}

}  // namespace tarvenix::sim
