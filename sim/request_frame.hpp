// The controller's side of the request frame (layout in wire.hpp).
//
// A controller reads the line byte by byte. EOT always starts a new frame
// and drops any frame in progress; outside a frame, the single bytes ACK and
// NAK acknowledge the controller's last reply and anything else is line
// noise. The command text is not escaped, so its end cannot be found by
// looking for ETX alone: the command letter fixes the length of the text
// (E 16, S 2, V 2, r 3, w 5, T C P 1), and a frame is complete when ETX and
// the right check byte follow a text of that length. For a letter the
// controller does not know, the first ETX followed by the right check byte
// ends the frame.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "sim/wire.hpp"

namespace tarvenix::sim {

struct RequestFrame {
  std::uint8_t wireAddr = 0;  // 0..31, address - 1
  std::uint8_t seqChar = 0;   // '0'..'9'
  std::array<std::uint8_t, wire::frame::kMaxText> text{};
  std::uint8_t textLength = 0;

  std::uint8_t Addr() const { return static_cast<std::uint8_t>(wireAddr + 1); }
  std::span<const std::uint8_t> Text() const { return std::span(text).first(textLength); }
  std::string_view TextView() const {
    return {reinterpret_cast<const char*>(text.data()), textLength};
  }
};

using wire::CommandLength;

// Checks a complete frame: EOT, two address characters 0x30..0x3F naming a
// wire address below 32, STX, a sequence digit, the text, ETX and the check
// byte. Returns nothing for anything malformed.
std::optional<RequestFrame> ParseRequest(std::span<const std::uint8_t> frame);

// What the byte stream delivered.
struct LineInput {
  enum class Kind { kNothing, kFrame, kAck, kNak };
  Kind kind = Kind::kNothing;
  RequestFrame frame;  // kFrame
};

// Reassembles frames from a byte stream. Allocation-free.
class FrameAssembler {
 public:
  // Feeds one byte; returns what it completed, if anything. Malformed frames
  // and noise complete nothing.
  LineInput Feed(std::uint8_t byte);
  // Bytes dropped as noise or as parts of malformed frames.
  std::uint64_t Dropped() const { return dropped_; }

 private:
  std::array<std::uint8_t, wire::frame::kMaxLength> buffer_{};
  std::size_t length_ = 0;
  bool inFrame_ = false;
  std::uint64_t dropped_ = 0;
};

}  // namespace tarvenix::sim
