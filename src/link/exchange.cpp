#include "link/exchange.hpp"

#include <exception>

#include "link/frame.hpp"
#include "link/range.hpp"

namespace tarvenix::link {

std::int32_t SendCommand(TComLink& link, LinkTables& tables, ReplyCheckHandler check,
                         std::uint8_t line, std::uint8_t addr, std::span<std::uint8_t> data,
                         protocol::CommandShape shape) {
  if (shape.count > data.size()) {
    ThrowRangeError();
  }
  FrameBuffer frame;
  const std::uint8_t frameLen = BuildFrame(tables, line, addr, data.first(shape.count), frame);
  link.SetReplyCheck(line, check);
  try {
    const std::int32_t result = link.Exchange(line, line, std::span(frame).first(frameLen), data,
                                              shape.expectedLen, shape.mode);
    tables.SetLinkState(line, link.GetLineState(line));
    return result;
  } catch (const std::exception&) {
    return link.FailResult(line);
  }
}

void Acknowledge(TComLink& link, std::uint32_t line, std::span<std::uint8_t> data, bool accepted) {
  if (data.empty()) {
    ThrowRangeError();
  }
  data[0] = accepted ? protocol::kAck : protocol::kNak;
  link.Exchange(line, line, data.first(1), data, protocol::kAckExpectedLen, protocol::kAckMode);
}

}  // namespace tarvenix::link
