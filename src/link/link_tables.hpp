// The link layer's per-line tables: the line state of the last exchange and
// the sequence counters of the line's 32 addresses.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "link/per_line.hpp"
#include "link/protocol.hpp"
#include "link/range.hpp"

namespace tarvenix::link {

// Entries are atomics with relaxed ordering: the unlocked operations of one
// line (StartPump, ReadLive, WriteParam, ...) may run on several host
// threads, and a torn or undefined read is never acceptable, although the
// order of their frames is the host's affair. On x86 this costs nothing.
class LinkTables {
 public:
  // 1 when the line's last exchange ended with an accepted reply; 1 on a new
  // object.
  std::uint8_t LinkState(std::uint8_t line) const {
    return lines_[line].linkState.load(std::memory_order_relaxed);
  }
  void SetLinkState(std::uint8_t line, std::uint8_t value) {
    lines_[line].linkState.store(value, std::memory_order_relaxed);
  }

  // The sequence digit of the last frame to the wire address (Addr - 1).
  std::uint8_t SeqCounter(std::uint8_t line, std::uint8_t wireAddr) const {
    return lines_[line].seq[WireIndex(wireAddr)].load(std::memory_order_relaxed);
  }

  // Advances the address's counter and returns the digit for its next frame:
  // 1..9 wrapping to 1, or 0 once after RestartSequence.
  std::uint8_t NextSeq(std::uint8_t line, std::uint8_t wireAddr);

  // The next frame to address 1 of the line carries the digit 0. The other
  // addresses keep their own sequences.
  void RestartSequence(std::uint8_t line) {
    lines_[line].seq[0].store(protocol::kSeqRestart, std::memory_order_relaxed);
  }

 private:
  struct Line {
    std::atomic<std::uint8_t> linkState{protocol::kLineAccepted};
    std::array<std::atomic<std::uint8_t>, protocol::kAddrCount> seq{};
  };

  static std::size_t WireIndex(std::uint8_t wireAddr) {
    return OneBasedIndex(wireAddr + 1, protocol::kAddrCount);
  }

  PerLine<Line> lines_;
};

}  // namespace tarvenix::link
