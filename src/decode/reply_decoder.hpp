// The reply decoder: the one place where what a dispenser reports enters the
// driver's tables. It acts on the reply code at index 2 alone, whichever
// command the reply answered, so a state poll may also bring live values,
// counters or a parameter.
//
// Reply layouts (index: content; n is the reply length, n-2 ETX, n-1 BCC):
//   A, C  (6)   2 code
//   S    (15)   2 'S', 6 state byte (its two low bits select the state)
//   p    (10)   2 'p', 6..7 parameter value, tens digit first
//   D    (18)   2 'D', 4..8 volume, 9..14 money, hundredths, lowest digit first
//   F, M (22)   as D, but the money field holds thousandths of the money
//               unit below 1000; the whole thousands are restored from the
//               price and the volume
//   T    (25)   2 'T', 4..12 first counter, 13..21 second counter, highest
//               digit first, unscaled
// Letters that also name commands (C, S, T) mean something else as replies.
#pragma once

#include <cstdint>
#include <span>

#include "decode/dispenser_tables.hpp"
#include "link/link_tables.hpp"

namespace tarvenix::decode {

namespace reply_layout {
inline constexpr std::size_t kStateByte = 6;
inline constexpr std::size_t kParamFirst = 6, kParamDigits = 2;
inline constexpr std::size_t kLiveVolumeFirst = 4, kLiveVolumeDigits = 5;
inline constexpr std::size_t kLiveMoneyFirst = 9, kLiveMoneyDigits = 6;
inline constexpr std::size_t kTotalVolumeFirst = 4, kTotalDigits = 9;
inline constexpr std::size_t kTotalMoneyFirst = 13;
}  // namespace reply_layout

// Updates the tables of `line` and `addr` (1..32) from an accepted reply held
// at the start of `reply`. Index 0 is not read (it may already hold the ACK
// byte). An unknown reply code changes nothing.
//
// The decoder takes no lock: the driver calls it holding the line's table
// lock, so other threads see a reply's values all at once or not at all.
//
// Raises the range error, having changed nothing, for a line or address
// outside 1..32, a buffer too short for the fields of its reply code, or a p
// reply whose two bytes do not make a value 0..255.
void DecodeReply(DispenserTables& dispensers, link::LinkTables& link, std::uint8_t line,
                 std::uint8_t addr, std::span<const std::uint8_t> reply);

}  // namespace tarvenix::decode
