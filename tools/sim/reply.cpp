#include "reply.hpp"

#include <algorithm>

#include "link/frame.hpp"
#include "link/protocol.hpp"

namespace tarvenix::sim {

Transmission SingleByte(std::uint8_t byte) {
  Transmission t;
  t.bytes[0] = byte;
  t.length = 1;
  return t;
}

Transmission ReplyFrame(std::uint8_t seqChar, std::uint8_t code,
                        std::span<const std::uint8_t> fields) {
  Transmission t;
  t.bytes[0] = protocol::kStx;
  t.bytes[1] = seqChar;
  t.bytes[2] = code;
  std::ranges::copy(fields, t.bytes.begin() + 3);
  t.length = static_cast<std::uint8_t>(fields.size() + 5);
  Reseal(t);
  return t;
}

void Reseal(Transmission& frame) {
  const std::size_t n = frame.length;
  frame.bytes[n - 2] = protocol::kEtx;
  frame.bytes[n - 1] = 0;
  frame.bytes[n - 1] = link::XorOf(std::span(frame.bytes).first(n - 1));
}

void DigitsLowFirst(std::span<std::uint8_t> field, std::uint64_t value) {
  for (std::uint8_t& digit : field) {
    digit = static_cast<std::uint8_t>('0' + value % 10);
    value /= 10;
  }
}

}  // namespace tarvenix::sim
