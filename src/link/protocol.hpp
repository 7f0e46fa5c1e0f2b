// The Tarvenix serial protocol: control bytes, frame geometry, reply lengths,
// line verdicts and the shape of every command the driver sends. Every rule
// of the wire that more than one place needs lives here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvenix::protocol {

inline constexpr int kLineCount = 32;  // lines 1..32 of the line service
inline constexpr int kAddrCount = 32;  // dispenser addresses 1..32 on a line

// Control bytes.
inline constexpr std::uint8_t kEot = 0x04;
inline constexpr std::uint8_t kStx = 0x02;
inline constexpr std::uint8_t kEtx = 0x03;
inline constexpr std::uint8_t kAck = 0x06;
inline constexpr std::uint8_t kNak = 0x15;

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

// The reply code is the letter at index 2 of a reply.
inline constexpr std::size_t kReplyCodeIndex = 2;

// Reply codes with the length that makes such a reply complete even when it
// differs from the length the driver expected, tried in this order.
struct ReplyLength {
  std::uint8_t code;
  std::uint8_t length;
};
inline constexpr ReplyLength kReplyLengths[] = {
    {'S', 15}, {'p', 10}, {'D', 18}, {'F', 22}, {'M', 22}, {'T', 25}, {'A', 6}, {'C', 6},
};

// The length a reply code makes complete, or 0 for a code that names none.
constexpr std::uint8_t ImpliedReplyLength(std::uint8_t code) {
  for (const ReplyLength& row : kReplyLengths) {
    if (row.code == code) {
      return row.length;
    }
  }
  return 0;
}

// Line states the reply check reports to the line service.
inline constexpr std::uint8_t kLineAccepted = 1;
inline constexpr std::uint8_t kLineRejected = 3;

// Error codes the reply check reports with the line state.
inline constexpr std::uint8_t kErrorNone = 0;
inline constexpr std::uint8_t kErrorNoEtx = 209;
inline constexpr std::uint8_t kErrorLength = 219;
inline constexpr std::uint8_t kErrorCheckByte = 222;
inline constexpr std::uint8_t kErrorFirstByte = 223;

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

// The acknowledgement after a reply: one byte, no reply expected, mode 0.
inline constexpr std::uint8_t kAckExpectedLen = 0;
inline constexpr std::uint8_t kAckMode = 0;

// Command buffers: 31 bytes, 51 for the parameter commands.
inline constexpr std::size_t kCommandBufferSize = 31;
inline constexpr std::size_t kParamBufferSize = 51;

}  // namespace tarvenix::protocol
