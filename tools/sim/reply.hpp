// What the controller sends back: a reply frame or a single byte.
//
//   STX  seq  code  fields...  ETX  BCC
//
// Byte 1 echoes the sequence character of the request the reply answers (the
// driver does not read it; it lets a trace pair replies with requests). The
// BCC makes the XOR of the whole reply, STX included, zero.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

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

// Builds a reply frame with code `code` and the given field bytes.
Transmission ReplyFrame(std::uint8_t seqChar, std::uint8_t code,
                        std::span<const std::uint8_t> fields);

// Rewrites ETX and BCC of a frame after its fields changed length.
void Reseal(Transmission& frame);

// Digit fields.
void DigitsLowFirst(std::span<std::uint8_t> field, std::uint64_t value);

}  // namespace tarvenix::sim
