#include "sim/request_frame.hpp"

#include <algorithm>

namespace tarvenix::sim {

using namespace wire::frame;

std::optional<RequestFrame> ParseRequest(std::span<const std::uint8_t> frame) {
  if (frame.size() < kOverhead + 1 || frame.size() > kMaxLength) {
    return std::nullopt;
  }
  // Wire addresses 0..31: a high character of 0x30 or 0x31, a low one of
  // 0x30..0x3F.
  const int high = frame[kAddrHigh] - kAddrCharBase;
  const int low = frame[kAddrLow] - kAddrCharBase;
  if (frame[0] != protocol::kEot || frame[kStxIndex] != protocol::kStx || high < 0 || high > 1 ||
      low < 0 || low > 0x0F || !wire::IsDigit(frame[kSeq]) ||
      frame[frame.size() - 2] != protocol::kEtx ||
      wire::Xor(frame.subspan(1, frame.size() - 2)) != frame.back()) {
    return std::nullopt;
  }
  RequestFrame parsed;
  parsed.wireAddr = static_cast<std::uint8_t>((high << 4) | low);
  parsed.seqChar = frame[kSeq];
  const auto text = frame.subspan(kText, frame.size() - kOverhead);
  const std::size_t fixed = CommandLength(text[0]);
  if (fixed != 0 && fixed != text.size()) {
    return std::nullopt;
  }
  std::ranges::copy(text, parsed.text.begin());
  parsed.textLength = static_cast<std::uint8_t>(text.size());
  return parsed;
}

LineInput FrameAssembler::Feed(std::uint8_t byte) {
  if (byte == protocol::kEot) {
    dropped_ += length_;
    buffer_[0] = byte;
    length_ = 1;
    inFrame_ = true;
    return {};
  }
  if (!inFrame_) {
    if (byte == protocol::kAck) {
      return {.kind = LineInput::Kind::kAck};
    }
    if (byte == protocol::kNak) {
      return {.kind = LineInput::Kind::kNak};
    }
    ++dropped_;
    return {};
  }
  buffer_[length_++] = byte;
  const std::span<const std::uint8_t> sofar(buffer_.data(), length_);
  if (length_ >= kOverhead + 1 && sofar[length_ - 2] == protocol::kEtx) {
    const std::size_t fixed = CommandLength(sofar[kText]);
    const std::size_t textLength = length_ - kOverhead;
    if (fixed == 0 || fixed == textLength) {
      if (auto parsed = ParseRequest(sofar)) {
        length_ = 0;
        inFrame_ = false;
        return {.kind = LineInput::Kind::kFrame, .frame = *parsed};
      }
      if (fixed != 0) {
        // The text has its full length but the frame is bad: drop it.
        dropped_ += length_;
        length_ = 0;
        inFrame_ = false;
        return {};
      }
    }
  }
  if (length_ == buffer_.size()) {
    dropped_ += length_;
    length_ = 0;
    inFrame_ = false;
  }
  return {};
}

}  // namespace tarvenix::sim
