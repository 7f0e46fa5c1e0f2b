// The Tarvenix wire as the simulated controllers read and write it. It is
// written out here, not taken from the driver, so that a field the driver
// puts in the wrong place shows up in every end-to-end test instead of being
// copied into the simulator. Only the facts of tarvenix/protocol.hpp (control
// bytes, reply lengths) are shared, and the layouts below are checked
// against them.
//
// Request frame, by index (n bytes):
//   0 EOT, 1..2 wire address (address - 1) as 0x30 + its high four bits and
//   0x30 + its low four bits (so 0x3A..0x3F, never a letter), 3 STX,
//   4 sequence digit, 5..n-3 command text, n-2 ETX, n-1 BCC: the XOR of
//   indexes 1..n-2 (EOT is not covered). Nothing in the text is escaped.
//
// Command texts, by index in the text; numbers highest digit first:
//   E0MMMMPPPPVVVVmA 16  start: 1 '0', 2..5 money dose (whole units), 6..9
//                        unit price (hundredths), 10..13 volume dose
//                        (tenths), 14 mode digit, 15 'A'
//   T, C, P           1  stop, live reading, state poll
//   Sd                2  state request; the host sends S0 to reset the line
//   Vd                2  totaliser counters of selector d
//   rNN               3  read parameter NN
//   wNNvv             5  write digit v, sent twice, to parameter NN
//
// Reply frame, by index (n bytes, fixed by the code):
//   0 STX, 1 the request's sequence digit echoed (the driver does not read
//   it; it lets a trace pair replies with requests), 2 reply code, 3..n-3
//   fields, n-2 ETX, n-1 BCC: the XOR of all n bytes, STX and BCC included,
//   is zero.
//   S    15  3..4 wire address characters, 5 nozzle ('1' lifted), 6 state
//            byte, 7..10 unit price of the last start, 11..12 '0'
//   p    10  3..4 parameter number, 5 '0', 6..7 value, tens first
//   D    18  3 '1' (nozzle), 4..8 volume and 9..14 money, both in hundredths
//            and lowest digit first, 15 '0'
//   F, M 22  as D, but 9..14 hold the money in thousandths below 1000 (the
//            host restores whole thousands from price and volume), 15..18
//            the unit price, 19 the start mode digit
//   T    25  3 selector, 4..12 volume and 13..21 money counters, both in
//            hundredths and highest digit first, 22 '0'
//   A     6  3 the value written
//   C     6  3 '0': authorised, the nozzle still hung
#pragma once

#include <cstddef>
#include <cstdint>
#include <tarvenix/protocol.hpp>

namespace tarvenix::sim::wire {

// A run of decimal digits: its first index and how many.
struct DigitField {
  std::size_t first;
  std::size_t count;
};

constexpr bool IsDigit(std::uint8_t c) {
  return c >= '0' && c <= '9';
}

namespace frame {
inline constexpr std::size_t kAddrHigh = 1;
inline constexpr std::size_t kAddrLow = 2;
inline constexpr std::size_t kStxIndex = 3;
inline constexpr std::size_t kSeq = 4;
inline constexpr std::size_t kText = 5;
inline constexpr std::size_t kOverhead = 7;  // every byte but the text
// A host counts a frame's length in a byte.
inline constexpr std::size_t kMaxLength = 255;
inline constexpr std::size_t kMaxText = kMaxLength - kOverhead;
inline constexpr std::uint8_t kAddrCharBase = 0x30;
}  // namespace frame

namespace start {
inline constexpr std::size_t kLength = 16;
inline constexpr std::size_t kZero = 1;
inline constexpr DigitField kMoney{2, 4};
inline constexpr DigitField kPrice{6, 4};
inline constexpr DigitField kVolume{10, 4};
inline constexpr std::size_t kMode = 14;
inline constexpr std::size_t kTail = 15;  // 'A'
}  // namespace start

namespace param_command {
inline constexpr DigitField kNumber{1, 2};
inline constexpr std::size_t kValue = 3;
inline constexpr std::size_t kValueAgain = 4;
}  // namespace param_command

// The text length a command letter fixes, or 0 for a letter without one.
constexpr std::size_t CommandLength(std::uint8_t letter) {
  switch (letter) {
    case 'E':
      return start::kLength;
    case 'T':
    case 'C':
    case 'P':
      return 1;
    case 'S':
    case 'V':
      return 2;
    case 'r':
      return 3;
    case 'w':
      return 5;
    default:
      return 0;
  }
}

namespace reply {
inline constexpr std::size_t kSeq = 1;
inline constexpr std::size_t kCode = 2;
inline constexpr std::size_t kFirstField = 3;
inline constexpr std::size_t kOverhead = 5;  // STX, sequence, code, ETX, BCC
}  // namespace reply

namespace state_reply {
inline constexpr std::uint8_t kCode = 'S';
inline constexpr std::size_t kLength = 15;
inline constexpr std::size_t kAddrHigh = 3;
inline constexpr std::size_t kAddrLow = 4;
inline constexpr std::size_t kNozzle = 5;
inline constexpr std::size_t kState = 6;
inline constexpr DigitField kPrice{7, 4};
}  // namespace state_reply

namespace param_reply {
inline constexpr std::uint8_t kCode = 'p';
inline constexpr std::size_t kLength = 10;
inline constexpr DigitField kNumber{3, 2};
inline constexpr DigitField kValue{6, 2};
}  // namespace param_reply

// D, F and M.
namespace live_reply {
inline constexpr std::uint8_t kRunning = 'D';
inline constexpr std::uint8_t kPresetReached = 'F';
inline constexpr std::uint8_t kStopped = 'M';
inline constexpr std::size_t kRunningLength = 18;
inline constexpr std::size_t kFinalLength = 22;
inline constexpr std::size_t kNozzle = 3;
inline constexpr DigitField kVolume{4, 5};  // lowest digit first
inline constexpr DigitField kMoney{9, 6};   // lowest digit first
inline constexpr DigitField kPrice{15, 4};  // F and M only
inline constexpr std::size_t kMode = 19;    // F and M only
}  // namespace live_reply

namespace totals_reply {
inline constexpr std::uint8_t kCode = 'T';
inline constexpr std::size_t kLength = 25;
inline constexpr std::size_t kSelector = 3;
inline constexpr DigitField kVolume{4, 9};
inline constexpr DigitField kMoney{13, 9};
}  // namespace totals_reply

namespace written_reply {
inline constexpr std::uint8_t kCode = 'A';
inline constexpr std::size_t kLength = 6;
inline constexpr std::size_t kValue = 3;
}  // namespace written_reply

namespace waiting_reply {
inline constexpr std::uint8_t kCode = 'C';
inline constexpr std::size_t kLength = 6;
}  // namespace waiting_reply

// The lengths agree with the ones the driver's reply check knows.
static_assert(state_reply::kLength == protocol::ImpliedReplyLength(state_reply::kCode));
static_assert(param_reply::kLength == protocol::ImpliedReplyLength(param_reply::kCode));
static_assert(live_reply::kRunningLength == protocol::ImpliedReplyLength(live_reply::kRunning));
static_assert(live_reply::kFinalLength == protocol::ImpliedReplyLength(live_reply::kPresetReached));
static_assert(live_reply::kFinalLength == protocol::ImpliedReplyLength(live_reply::kStopped));
static_assert(totals_reply::kLength == protocol::ImpliedReplyLength(totals_reply::kCode));
static_assert(written_reply::kLength == protocol::ImpliedReplyLength(written_reply::kCode));
static_assert(waiting_reply::kLength == protocol::ImpliedReplyLength(waiting_reply::kCode));

// The XOR of the bytes: the check byte of requests and replies.
template <typename Bytes>
constexpr std::uint8_t Xor(const Bytes& bytes) {
  std::uint8_t sum = 0;
  for (std::uint8_t byte : bytes) {
    sum = static_cast<std::uint8_t>(sum ^ byte);
  }
  return sum;
}

}  // namespace tarvenix::sim::wire
