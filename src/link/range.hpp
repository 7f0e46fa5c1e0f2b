// 1-based line and address indexing with the driver's range error.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>

#include "link/protocol.hpp"

namespace tarvenix::link {

[[noreturn]] void ThrowRangeError();

// Index 0..count-1 of a 1-based value, or the range error.
template <std::integral T>
constexpr std::size_t OneBasedIndex(T value, int count) {
  if (value < 1 || value > count) {
    ThrowRangeError();
  }
  return static_cast<std::size_t>(value - 1);
}

template <std::integral T>
constexpr std::size_t LineIndex(T line) {
  return OneBasedIndex(line, protocol::kLineCount);
}

template <std::integral T>
constexpr std::size_t AddrIndex(T addr) {
  return OneBasedIndex(addr, protocol::kAddrCount);
}

// A line or address checked against 1..32, as the byte the tables and the
// frame use.
template <std::integral T>
constexpr std::uint8_t CheckedLine(T line) {
  return static_cast<std::uint8_t>(LineIndex(line) + 1);
}

template <std::integral T>
constexpr std::uint8_t CheckedAddr(T addr) {
  return static_cast<std::uint8_t>(AddrIndex(addr) + 1);
}

// A value that must fit a byte where it is stored (a character code).
template <std::integral T>
constexpr std::uint8_t CheckedByte(T value) {
  if (value < 0 || value > 255) {
    ThrowRangeError();
  }
  return static_cast<std::uint8_t>(value);
}

}  // namespace tarvenix::link
