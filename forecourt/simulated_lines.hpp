// Simulated dispensers for the forecourt service: what `simulate = N` in a
// line's configuration means. A library of its own beside the service's,
// which never links the simulator; the daemon's main and the tests hand
// the service its factory.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "forecourt/forecourt.hpp"

namespace tarvenix::sim {
class SimulatedLine;
}

namespace tarvenix::forecourt {

class SimulatedLines {
 public:
  // `peers` may supply the dispensers of simulated lines by line index, so
  // that a test keeps them across a restart of the service; the other
  // lines get `simulate` dispensers whose customers lift the nozzle when a
  // pump is authorised.
  explicit SimulatedLines(std::vector<sim::SimulatedLine*> peers = {});
  ~SimulatedLines();
  SimulatedLines(const SimulatedLines&) = delete;
  SimulatedLines& operator=(const SimulatedLines&) = delete;

  // Must outlive every Forecourt made with it.
  SimulatedLinkFactory Factory();

 private:
  std::vector<sim::SimulatedLine*> supplied_;
  std::vector<std::unique_ptr<sim::SimulatedLine>> made_;
};

}  // namespace tarvenix::forecourt
