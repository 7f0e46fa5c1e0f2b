#include "sim/reply.hpp"

#include <algorithm>

namespace tarvenix::sim {

Transmission SingleByte(std::uint8_t byte) {
  Transmission t;
  t.bytes[0] = byte;
  t.length = 1;
  return t;
}

ReplyWriter::ReplyWriter(std::uint8_t code, std::size_t length, std::uint8_t seqChar) {
  reply_.length = static_cast<std::uint8_t>(length);
  std::fill_n(reply_.bytes.begin(), length, '0');
  reply_.bytes[0] = protocol::kStx;
  reply_.bytes[wire::reply::kSeq] = seqChar;
  reply_.bytes[wire::reply::kCode] = code;
}

ReplyWriter& ReplyWriter::Put(std::size_t index, std::uint8_t byte) {
  reply_.bytes.at(index) = byte;
  return *this;
}

ReplyWriter& ReplyWriter::HighFirst(wire::DigitField field, std::uint64_t value) {
  for (std::size_t i = field.count; i-- > 0;) {
    Put(field.first + i, static_cast<std::uint8_t>('0' + value % 10));
    value /= 10;
  }
  return *this;
}

ReplyWriter& ReplyWriter::LowFirst(wire::DigitField field, std::uint64_t value) {
  for (std::size_t i = 0; i < field.count; ++i) {
    Put(field.first + i, static_cast<std::uint8_t>('0' + value % 10));
    value /= 10;
  }
  return *this;
}

Transmission ReplyWriter::Sealed() {
  Reseal(reply_);
  return reply_;
}

void Reseal(Transmission& frame) {
  const std::size_t n = frame.length;
  frame.bytes[n - 2] = protocol::kEtx;
  frame.bytes[n - 1] = 0;
  frame.bytes[n - 1] = wire::Xor(std::span(frame.bytes).first(n - 1));
}

}  // namespace tarvenix::sim
