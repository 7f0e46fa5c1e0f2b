#include "link/frame.hpp"

#include <algorithm>

#include "link/range.hpp"

namespace tarvenix::link {

std::uint8_t LinkTables::NextSeq(std::uint8_t line, std::uint8_t wireAddr) {
  auto& counter = lines_[line].seq[WireIndex(wireAddr)];
  std::uint8_t last = counter.load(std::memory_order_relaxed);
  std::uint8_t next = 0;
  do {
    // The counter steps as a byte, so the restart value 255 gives 0.
    next = static_cast<std::uint8_t>(last + 1);
    if (next > protocol::kSeqLastDigit) {
      next = 1;
    }
  } while (!counter.compare_exchange_weak(last, next, std::memory_order_relaxed));
  return next;
}

std::size_t EncodeFrame(std::uint8_t wireAddr, std::uint8_t seqDigit,
                        std::span<const std::uint8_t> command, std::span<std::uint8_t> out) {
  const std::size_t length = command.size() + protocol::kFrameOverhead;
  if (command.size() > protocol::kMaxCommandLength || out.size() < length) {
    ThrowRangeError();
  }
  out[0] = protocol::kEot;
  out[1] = static_cast<std::uint8_t>(protocol::kDigitZero + (wireAddr >> 4));
  out[2] = static_cast<std::uint8_t>(protocol::kDigitZero + (wireAddr & 0x0F));
  out[3] = protocol::kStx;
  out[4] = static_cast<std::uint8_t>(protocol::kDigitZero + seqDigit);
  std::ranges::copy(command, out.begin() + 5);
  out[length - 2] = protocol::kEtx;
  out[length - 1] = XorOf(out.subspan(1, length - 2));
  return length;
}

std::uint8_t BuildFrame(LinkTables& tables, std::uint8_t line, std::uint8_t addr,
                        std::span<const std::uint8_t> command, FrameBuffer& frame) {
  LineIndex(line);
  AddrIndex(addr);
  if (command.size() > protocol::kMaxCommandLength) {
    ThrowRangeError();
  }
  const auto wireAddr = static_cast<std::uint8_t>(addr - 1);
  const std::uint8_t seq = tables.NextSeq(line, wireAddr);
  return static_cast<std::uint8_t>(EncodeFrame(wireAddr, seq, command, frame));
}

}  // namespace tarvenix::link
