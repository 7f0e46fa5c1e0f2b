// Facts of the Tarvenix wire that a line service, a simulator or a trace
// shares with the driver: the control bytes, the reply lengths that make a
// reply complete, the reply check's verdicts and error codes as the line
// service receives them, and the dispenser state codes the driver reports.
// Frame building, reply layouts and command texts belong to the driver and
// are not published here.
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

// Line states the reply check reports to the line service (SetLineState).
inline constexpr std::uint8_t kLineAccepted = 1;
inline constexpr std::uint8_t kLineRejected = 3;

// Error codes the reply check reports with the line state (SetLineError).
inline constexpr std::uint8_t kErrorNone = 0;
inline constexpr std::uint8_t kErrorNoEtx = 209;
inline constexpr std::uint8_t kErrorLength = 219;
inline constexpr std::uint8_t kErrorCheckByte = 222;
inline constexpr std::uint8_t kErrorFirstByte = 223;

// The acknowledgement after a reply: one byte through Exchange with no reply
// expected, mode 0. A line service tells it from a command by expectedLen.
inline constexpr std::uint8_t kAckExpectedLen = 0;
inline constexpr std::uint8_t kAckMode = 0;

// Dispenser state codes, as PollState reports them in its low byte.
namespace pump_state {
inline constexpr std::uint8_t kUnknown = 0;       // nothing decoded yet
inline constexpr std::uint8_t kIdle = 192;        // no delivery running; live values final
inline constexpr std::uint8_t kHeld = 209;        // set by no reply; a C reply keeps it
inline constexpr std::uint8_t kDelivering = 217;  // started: ReadLive polls with C
inline constexpr std::uint8_t kReady = 225;       // ready, after an A reply or S state 1
}  // namespace pump_state

}  // namespace tarvenix::protocol
