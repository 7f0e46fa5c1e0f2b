#include "forecourt/simulated_lines.hpp"

#include "sim/line_service.hpp"
#include "sim/simulated_line.hpp"

namespace tarvenix::forecourt {

SimulatedLines::SimulatedLines(std::vector<sim::SimulatedLine*> peers)
    : supplied_(std::move(peers)) {}

SimulatedLines::~SimulatedLines() = default;

SimulatedLinkFactory SimulatedLines::Factory() {
  return [this](std::uint32_t lineNo, std::size_t lineIndex, const LineConfig& line,
                lines::Clock& clock) -> std::unique_ptr<lines::InstrumentedLink> {
    sim::SimulatedLine* peer = lineIndex < supplied_.size() ? supplied_[lineIndex] : nullptr;
    if (peer == nullptr) {
      const auto flow = static_cast<std::uint32_t>(line.flowPerMinute * 100 + 0.5);
      peer = made_.emplace_back(std::make_unique<sim::SimulatedLine>(clock)).get();
      for (std::uint8_t addr = 1; addr <= line.simulate; ++addr) {
        peer->AddDispenser(addr, {.flowPerMinute = flow, .autoNozzle = true});
      }
    }
    auto service = std::make_unique<sim::LineService>(clock);
    service->Attach(lineNo, *peer);
    service->MatchEcho(lineNo, line.matchEcho);
    return service;
  };
}

}  // namespace tarvenix::forecourt
