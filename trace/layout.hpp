// Where the trace finds the fields it shows, in request frames and replies.
// Written out here for the trace alone: it reads what passed on the line
// and must not lean on the driver's encoder nor on the simulator's decoder,
// which it is used to check. Only the facts of tarvenix/protocol.hpp are
// shared, and the reply lengths below are checked against them.
//
// Request frame (n bytes): 0 EOT, 1..2 wire address (address - 1) as
// 0x30 + high four bits and 0x30 + low four bits, 3 STX, 4 sequence digit,
// 5..n-3 command text, n-2 ETX, n-1 check byte (XOR of bytes 1..n-2).
//
// Replies (n bytes): 0 STX, 1 sequence digit, 2 code, fields, n-2 ETX,
// n-1 check byte. Digit fields of D, F and M come lowest digit first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <tarvenix/protocol.hpp>

namespace tarvenix::trace::layout {

// A run of decimal digits: its first index and how many.
struct DigitField {
  std::size_t first;
  std::size_t count;
};

namespace frame {
inline constexpr std::size_t kAddrHigh = 1;
inline constexpr std::size_t kAddrLow = 2;
inline constexpr std::size_t kStx = 3;
inline constexpr std::size_t kSeq = 4;
inline constexpr std::size_t kText = 5;
inline constexpr std::size_t kOverhead = 7;  // every byte but the text
inline constexpr std::uint8_t kAddrCharBase = 0x30;
}  // namespace frame

// E0MMMMPPPPVVVVmA: money dose in whole units, price in hundredths, volume
// dose in tenths, the start mode digit.
namespace start {
inline constexpr std::size_t kLength = 16;
inline constexpr DigitField kMoney{2, 4};
inline constexpr DigitField kPrice{6, 4};
inline constexpr DigitField kVolume{10, 4};
inline constexpr std::size_t kMode = 14;
}  // namespace start

namespace state_reply {
inline constexpr std::uint8_t kCode = 'S';
inline constexpr std::size_t kLength = 15;
inline constexpr std::size_t kNozzle = 5;
inline constexpr std::size_t kState = 6;
}  // namespace state_reply

namespace param_reply {
inline constexpr std::uint8_t kCode = 'p';
inline constexpr std::size_t kLength = 10;
inline constexpr DigitField kNumber{3, 2};
inline constexpr DigitField kValue{6, 2};
}  // namespace param_reply

// D while running (money in hundredths); F and M when ended (money in
// thousandths below 1000).
namespace live_reply {
inline constexpr std::uint8_t kRunning = 'D';
inline constexpr std::uint8_t kPresetReached = 'F';
inline constexpr std::uint8_t kStopped = 'M';
inline constexpr std::size_t kRunningLength = 18;
inline constexpr std::size_t kFinalLength = 22;
inline constexpr DigitField kVolume{4, 5};
inline constexpr DigitField kMoney{9, 6};
}  // namespace live_reply

namespace totals_reply {
inline constexpr std::uint8_t kCode = 'T';
inline constexpr std::size_t kLength = 25;
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

static_assert(state_reply::kLength == protocol::ImpliedReplyLength(state_reply::kCode));
static_assert(param_reply::kLength == protocol::ImpliedReplyLength(param_reply::kCode));
static_assert(live_reply::kRunningLength == protocol::ImpliedReplyLength(live_reply::kRunning));
static_assert(live_reply::kFinalLength == protocol::ImpliedReplyLength(live_reply::kStopped));
static_assert(totals_reply::kLength == protocol::ImpliedReplyLength(totals_reply::kCode));
static_assert(written_reply::kLength == protocol::ImpliedReplyLength(written_reply::kCode));
static_assert(waiting_reply::kLength == protocol::ImpliedReplyLength(waiting_reply::kCode));

}  // namespace tarvenix::trace::layout
