// The Tarvenix serial protocol as the driver speaks it: frame geometry,
// sequence digits, reply start bytes and the shape of every command the
// driver sends. The facts it shares with line services and tools (control
// bytes, reply lengths, verdicts, state codes) are public, in
// tarvenix/protocol.hpp.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tarvenix/protocol.hpp"

namespace tarvenix::protocol {

// Digits travel as ASCII: the character 48 + digit. Reply digits are not
// validated, so any byte counts as its value minus 48.
inline constexpr std::uint8_t kDigitZero = '0';

// Request frame: EOT, two address characters, STX, sequence character, the
// command text, ETX, BCC. It is built in a 255-byte buffer whose length is a
// byte, so a command text holds at most 248 bytes.
inline constexpr std::size_t kFrameCapacity = 255;
inline constexpr std::size_t kFrameOverhead = 7;
inline constexpr std::size_t kMaxCommandLength = kFrameCapacity - kFrameOverhead;

// Sequence digits run 1..9 per line and address. The counter holds the last
// digit sent; kSeqRestart makes the next digit 0, sent only to address 1
// right after a line reset or an S reply.
inline constexpr std::uint8_t kSeqLastDigit = 9;
inline constexpr std::uint8_t kSeqRestart = 255;

// Replies start with one of these bytes.
inline constexpr bool IsReplyStart(std::uint8_t byte) {
  return byte == kStx || byte == kEot || byte == kAck;
}

// How each command travels: the length of its text, the reply length the
// driver expects, and the mode byte the line service receives.
struct CommandShape {
  std::uint8_t count;
  std::uint8_t expectedLen;
  std::uint8_t mode;
};
inline constexpr CommandShape kStartCommand{16, 1, 6};   // "E0" money price volume mode "A"
inline constexpr CommandShape kStopCommand{1, 1, 6};     // "T"
inline constexpr CommandShape kLivePoll{1, 22, 2};       // "C"
inline constexpr CommandShape kStatePoll{1, 25, 2};      // "P"
inline constexpr CommandShape kTotalsRequest{2, 25, 2};  // "V" selector
inline constexpr CommandShape kParamRead{3, 25, 0};      // "r" number
inline constexpr CommandShape kParamWrite{5, 25, 0};     // "w" number value value
inline constexpr CommandShape kStateRequest{2, 15, 2};   // "S0", the line reset

// Command buffers: 31 bytes, 51 for the parameter commands.
inline constexpr std::size_t kCommandBufferSize = 31;
inline constexpr std::size_t kParamBufferSize = 51;

}  // namespace tarvenix::protocol
