// The tables inside a TVM30: the link layer's line states and sequence
// counters, the decoder's dispenser tables, the doses only the driver uses,
// and the two locks of each line (see line_lock.hpp). The line states and
// sequence counters are atomics; every other entry of a line is read and
// written only under that line's TableLock.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>

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
  template <std::integral L>
  tarvenix::TableLock& TableLock(L line) const {
    return locks[link::LineIndex(line)].tables;
  }

  // Copies of entries taken under the table lock, for tests and diagnostics
  // that look while operations run on other threads.
  template <std::integral L, std::integral A>
  decode::Dispenser DispenserAt(L line, A addr) const {
    std::lock_guard guard(TableLock(line));
    return dispensers.At(line, addr);
  }
  template <std::integral L>
  std::uint8_t LineParam(L line) const {
    std::lock_guard guard(TableLock(line));
    return dispensers.LineParam(line);
  }

  link::LinkTables link;
  decode::DispenserTables dispensers;

  struct alignas(64) LineDoses {
    std::array<Dose, protocol::kAddrCount> at{};
  };
  std::array<LineDoses, protocol::kLineCount> doses{};

  struct alignas(64) PaddedLock {
    tarvenix::LineLock mutex;
    tarvenix::TableLock tables;
  };
  mutable std::array<PaddedLock, protocol::kLineCount> locks;
};

}  // namespace tarvenix
