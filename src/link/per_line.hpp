// Storage with one entry per line 1..32.
#pragma once

#include <array>
#include <concepts>

#include "link/protocol.hpp"
#include "link/range.hpp"

namespace tarvenix::link {

// Each line's entry starts on a cache line of its own, so threads serving
// different lines never write to a shared one. Indexing is 1-based and
// raises the range error outside 1..32.
template <typename T>
class PerLine {
 public:
  template <std::integral L>
  T& operator[](L line) {
    return slots_[LineIndex(line)].value;
  }
  template <std::integral L>
  const T& operator[](L line) const {
    return slots_[LineIndex(line)].value;
  }

 private:
  struct alignas(64) Slot {
    T value{};
  };
  std::array<Slot, protocol::kLineCount> slots_{};
};

}  // namespace tarvenix::link
