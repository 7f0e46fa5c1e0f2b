// Command texts: what goes between the sequence digit and ETX of a request.
//
//   E0 MMMM PPPP VVVV m A   start: money dose, unit price, volume dose, mode
//   T                       stop
//   C                       live poll (answered by D, F or M)
//   P                       state poll
//   V s                     totaliser counters, selector s
//   r NN                    read parameter NN
//   w NN v v                write value digit v to parameter NN
//   S 0                     state request, the line reset
//
// Numbers go most significant digit first as characters 48 + digit. Fields
// are filled from their last position by division truncating towards zero,
// so a value too long for its field travels as its last digits and a
// negative one as characters below '0'; nothing is rejected. A character code
// that would not fit a byte is the range error.
#pragma once

#include <concepts>
#include <cstdint>
#include <span>

#include "link/protocol.hpp"
#include "link/range.hpp"

namespace tarvenix::commands {

inline constexpr std::uint8_t kStop = 'T';
inline constexpr std::uint8_t kLivePoll = 'C';
inline constexpr std::uint8_t kStatePoll = 'P';
static_assert(protocol::kStopCommand.count == 1 && protocol::kLivePoll.count == 1 &&
              protocol::kStatePoll.count == 1);

// The character 48 + value, or the range error.
inline std::uint8_t DigitChar(std::int64_t value) {
  return link::CheckedByte(protocol::kDigitZero + value);
}

// Fills `field` with the last field.size() decimal digits of `value`, most
// significant first.
template <std::integral T>
void WriteDecimal(std::span<std::uint8_t> field, T value) {
  for (auto it = field.rbegin(); it != field.rend(); ++it) {
    *it = static_cast<std::uint8_t>(protocol::kDigitZero + static_cast<int>(value % 10));
    value /= 10;
  }
}

// The text of a command with the given shape, at the start of its buffer.
template <protocol::CommandShape kShape>
std::span<std::uint8_t, kShape.count> TextOf(std::span<std::uint8_t> buffer) {
  return buffer.first<kShape.count>();
}

// The start command; `mode` is placed as the character 48 + mode, so it must
// lie in -48..207 (checked by the caller with DigitChar before anything else
// happens).
inline void WriteStart(std::span<std::uint8_t, protocol::kStartCommand.count> out,
                       std::int32_t moneyDose, std::int32_t unitPrice, std::int32_t volumeDose,
                       std::uint8_t modeChar) {
  out[0] = 'E';
  out[1] = '0';
  WriteDecimal(out.subspan<2, 4>(), moneyDose);
  WriteDecimal(out.subspan<6, 4>(), unitPrice);
  WriteDecimal(out.subspan<10, 4>(), volumeDose);
  out[14] = modeChar;
  out[15] = 'A';
}

inline void WriteTotalsRequest(std::span<std::uint8_t, protocol::kTotalsRequest.count> out,
                               std::int32_t selector) {
  const std::uint8_t selectorChar = DigitChar(selector);
  out[0] = 'V';
  out[1] = selectorChar;
}

// Parameter numbers are taken mod 100 and sent as two digits.
inline void WriteParamNumber(std::span<std::uint8_t, 2> out, std::int32_t paramNo) {
  const std::int32_t number = paramNo % 100;
  out[0] = DigitChar(number / 10);
  out[1] = DigitChar(number % 10);
}

inline void WriteParamRead(std::span<std::uint8_t, protocol::kParamRead.count> out,
                           std::int32_t paramNo) {
  out[0] = 'r';
  WriteParamNumber(out.subspan<1, 2>(), paramNo);
}

// The value is one digit, `paramValue` mod 10, and it goes out twice.
inline void WriteParamWrite(std::span<std::uint8_t, protocol::kParamWrite.count> out,
                            std::int32_t paramNo, std::int32_t paramValue) {
  out[0] = 'w';
  WriteParamNumber(out.subspan<1, 2>(), paramNo);
  out[3] = out[4] = DigitChar(paramValue % 10);
}

inline void WriteStateRequest(std::span<std::uint8_t, protocol::kStateRequest.count> out) {
  out[0] = 'S';
  out[1] = '0';
}

}  // namespace tarvenix::commands
