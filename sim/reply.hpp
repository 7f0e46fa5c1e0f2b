// What the controller sends back: a reply frame or a single byte. The
// layouts of the reply frames are in wire.hpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "sim/wire.hpp"

namespace tarvenix::sim {

struct Transmission {
  static constexpr std::size_t kCapacity = 40;  // the longest reply, plus line noise

  std::array<std::uint8_t, kCapacity> bytes{};
  std::uint8_t length = 0;
  std::uint32_t delayUs = 0;  // silence before the first byte

  std::span<const std::uint8_t> Bytes() const { return std::span(bytes).first(length); }
  bool Empty() const { return length == 0; }
};

// A single control byte: ACK (the command is accepted) or NAK (refused).
Transmission SingleByte(std::uint8_t byte);

// Writes a reply frame field by field, at the indexes of wire.hpp.
class ReplyWriter {
 public:
  // A reply with `code`, `length` bytes long, answering a request with
  // sequence digit `seqChar`; every field byte starts as '0'.
  ReplyWriter(std::uint8_t code, std::size_t length, std::uint8_t seqChar);

  ReplyWriter& Put(std::size_t index, std::uint8_t byte);
  // The last field.count decimal digits of `value`.
  ReplyWriter& HighFirst(wire::DigitField field, std::uint64_t value);
  ReplyWriter& LowFirst(wire::DigitField field, std::uint64_t value);
  // The frame with its ETX and BCC.
  Transmission Sealed();

 private:
  Transmission reply_;
};

// Rewrites ETX and BCC of a frame after its fields changed length.
void Reseal(Transmission& frame);

}  // namespace tarvenix::sim
