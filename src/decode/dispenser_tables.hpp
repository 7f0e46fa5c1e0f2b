// What the driver knows of each dispenser: the tables the reply decoder
// writes and the unit price it reads, indexed by line and address 1..32.
#pragma once

#include <array>
#include <concepts>
#include <cstdint>
#include <limits>

#include "link/per_line.hpp"
#include "link/protocol.hpp"
#include "link/range.hpp"

namespace tarvenix::decode {

// Live and total values are accumulated and scaled in the x87 80-bit
// extended format; the thousands correction of F and M replies depends on
// its 64-bit significand.
using Extended = long double;
static_assert(std::numeric_limits<Extended>::digits >= 64,
              "Tarvenix needs long double with a 64-bit significand (x87 extended)");

// Dispenser state codes as the driver keeps them.
namespace pump_state = protocol::pump_state;

struct Dispenser {
  Extended liveVolume = 0;     // volume of the running or last delivery
  Extended liveMoney = 0;      // money of the running or last delivery
  Extended totalVolume = 0;    // first totaliser counter, unscaled
  Extended totalMoney = 0;     // second totaliser counter, unscaled
  std::int32_t unitPrice = 0;  // hundredths of the money unit per volume unit
  std::uint8_t pumpState = pump_state::kUnknown;
};

class DispenserTables {
 public:
  template <std::integral L, std::integral A>
  Dispenser& At(L line, A addr) {
    return lines_[line].dispensers[link::AddrIndex(addr)];
  }
  template <std::integral L, std::integral A>
  const Dispenser& At(L line, A addr) const {
    return lines_[line].dispensers[link::AddrIndex(addr)];
  }

  // The value of the last p reply on the line, whichever address sent it.
  template <std::integral L>
  std::uint8_t& LineParam(L line) {
    return lines_[line].lineParam;
  }
  template <std::integral L>
  std::uint8_t LineParam(L line) const {
    return lines_[line].lineParam;
  }

 private:
  struct Line {
    std::array<Dispenser, protocol::kAddrCount> dispensers{};
    std::uint8_t lineParam = 0;
  };
  link::PerLine<Line> lines_;
};

}  // namespace tarvenix::decode
