#include "request_frame.hpp"

#include <algorithm>

#include "link/frame.hpp"

namespace tarvenix::sim {
namespace {

constexpr std::size_t kHeader = 5;  // EOT, two address characters, STX, sequence
constexpr std::uint8_t kAddrCharLow = 0x30;
constexpr std::uint8_t kAddrCharHigh = 0x3F;

}  // namespace

std::size_t CommandLength(std::uint8_t letter) {
  switch (letter) {
    case 'E':
      return protocol::kStartCommand.count;
    case 'T':
    case 'C':
    case 'P':
      return 1;
    case 'S':
    case 'V':
      return 2;
    case 'r':
      return protocol::kParamRead.count;
    case 'w':
      return protocol::kParamWrite.count;
    default:
      return 0;
  }
}

std::optional<RequestFrame> ParseRequest(std::span<const std::uint8_t> frame) {
  if (frame.size() < protocol::kFrameOverhead + 1 || frame.size() > protocol::kFrameCapacity) {
    return std::nullopt;
  }
  const std::uint8_t high = frame[1];
  const std::uint8_t low = frame[2];
  if (frame[0] != protocol::kEot || frame[3] != protocol::kStx || high < kAddrCharLow ||
      high > kAddrCharLow + 1 || low < kAddrCharLow || low > kAddrCharHigh || frame[4] < '0' ||
      frame[4] > '9' || frame[frame.size() - 2] != protocol::kEtx ||
      link::XorOf(frame.subspan(1, frame.size() - 2)) != frame.back()) {
    return std::nullopt;
  }
  RequestFrame parsed;
  parsed.wireAddr = static_cast<std::uint8_t>(((high - kAddrCharLow) << 4) | (low - kAddrCharLow));
  parsed.seqChar = frame[4];
  const auto text = frame.subspan(kHeader, frame.size() - protocol::kFrameOverhead);
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
  if (length_ >= protocol::kFrameOverhead + 1 && sofar[length_ - 2] == protocol::kEtx) {
    const std::size_t fixed = CommandLength(sofar[kHeader]);
    const std::size_t textLength = length_ - protocol::kFrameOverhead;
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
