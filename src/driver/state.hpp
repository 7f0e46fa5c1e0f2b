// The tables inside a TVM30: the link layer's line states and sequence
// counters, the decoder's dispenser tables, the doses only the driver uses,
// and one re-entrant lock per line.
#pragma once

#include <array>
#include <cstdint>

#include "decode/dispenser_tables.hpp"
#include "driver/line_lock.hpp"
#include "link/link_tables.hpp"
#include "link/protocol.hpp"
#include "link/range.hpp"
#include "tarvenix/tvm30.hpp"

namespace tarvenix {

struct Dose {
  std::int32_t volume = 0;  // tenths of the volume unit
  std::int32_t money = 0;   // whole money units
};

struct TVM30::State {
  template <std::integral L, std::integral A>
  Dose& DoseAt(L line, A addr) {
    return doses[link::LineIndex(line)].at[link::AddrIndex(addr)];
  }
  template <std::integral L, std::integral A>
  const Dose& DoseAt(L line, A addr) const {
    return doses[link::LineIndex(line)].at[link::AddrIndex(addr)];
  }
  template <std::integral L>
  tarvenix::LineLock& LineLock(L line) {
    return locks[link::LineIndex(line)].mutex;
  }

  link::LinkTables link;
  decode::DispenserTables dispensers;

  struct alignas(64) LineDoses {
    std::array<Dose, protocol::kAddrCount> at{};
  };
  std::array<LineDoses, protocol::kLineCount> doses{};

  struct alignas(64) PaddedLock {
    tarvenix::LineLock mutex;
  };
  std::array<PaddedLock, protocol::kLineCount> locks;
};

}  // namespace tarvenix
