// A simulated forecourt on simulated time with the real driver on top, for
// tests that run whole operations end to end.
#pragma once

#include <cstdint>
#include <tarvenix/lines/clock.hpp>
#include <tarvenix/tvm30.hpp>

#include "driver/state.hpp"
#include "sim/line_service.hpp"
#include "sim/simulated_line.hpp"

namespace tarvenix::sim::testing {

struct SimForecourt {
  explicit SimForecourt(DispenserConfig config = {}, std::uint8_t dispensers = 2) {
    for (std::uint8_t addr = 1; addr <= dispensers; ++addr) {
      line.AddDispenser(addr, config);
    }
    service.Attach(1, line);
    driver.InitLine(1);
  }

  Dispenser& At(std::uint8_t addr) { return *line.At(addr); }
  // A copy taken under the driver's table lock: other threads may be at work.
  decode::Dispenser Tables(std::uint8_t addr) const {
    return driver.Inspect().DispenserAt(1, addr);
  }
  lines::LinkStats Stats() const { return service.Stats(1); }

  void Prepare(std::uint8_t addr, double price, double volume, double money = 0) {
    driver.SetUnitPrice(1, addr, price);
    if (money > 0) {
      driver.SetDoseMoney(1, addr, money);
    } else {
      driver.SetDoseVolume(1, addr, volume);
    }
  }

  // Follows the delivery with ReadLive every half second until the driver
  // has left the delivering state. A failed reading is tried again, as a
  // host would. Returns false when it does not end within `maxReads`.
  bool Follow(std::uint8_t addr, int maxReads = 2000) {
    for (int i = 0; i < maxReads; ++i) {
      double money = 0;
      try {
        driver.ReadLive(1, addr, money);
      } catch (const ESerialIO&) {
      }
      if (Tables(addr).pumpState != decode::pump_state::kDelivering) {
        return true;
      }
      clock.AdvanceMs(500);
    }
    return false;
  }

  lines::ManualClock clock;
  SimulatedLine line{clock};
  LineService service{clock};
  TVM30 driver{service, 0, lines::SleeperOn(clock)};
};

}  // namespace tarvenix::sim::testing
