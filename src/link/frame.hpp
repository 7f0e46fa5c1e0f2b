// Request frames.
//
//   EOT  addr-high  addr-low  STX  seq  command text...  ETX  BCC
//
// The wire address is Addr - 1 (0..31) in two characters, each 0x30 plus four
// bits: 0x3A..0x3F stand for 10..15, so no address character is a letter. The
// sequence character is 0x30 plus the line and address's next digit. BCC is
// the XOR of every byte after EOT up to and including ETX. The command text is
// copied as it is: nothing is escaped, even a byte equal to ETX.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "link/link_tables.hpp"
#include "link/protocol.hpp"

namespace tarvenix::link {

using FrameBuffer = std::array<std::uint8_t, protocol::kFrameCapacity>;

// XOR of the bytes; the check byte of frames and replies.
constexpr std::uint8_t XorOf(std::span<const std::uint8_t> bytes) {
  std::uint8_t sum = 0;
  for (std::uint8_t byte : bytes) {
    sum ^= byte;
  }
  return sum;
}

// Writes the frame for `command` to wire address `wireAddr` (0..31) with
// sequence digit `seqDigit` (0..9) into `out` and returns its length,
// command.size() + 7. Raises the range error when the command is longer than
// a frame can carry or `out` is too small; writes nothing then.
std::size_t EncodeFrame(std::uint8_t wireAddr, std::uint8_t seqDigit,
                        std::span<const std::uint8_t> command, std::span<std::uint8_t> out);

// Builds the next frame to `addr` (1..32) on `line` (1..32): spends one
// sequence digit of that address and returns the frame length. A line or
// address outside 1..32 raises the range error before any counter moves.
std::uint8_t BuildFrame(LinkTables& tables, std::uint8_t line, std::uint8_t addr,
                        std::span<const std::uint8_t> command, FrameBuffer& frame);

}  // namespace tarvenix::link
