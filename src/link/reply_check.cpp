#include "link/reply_check.hpp"

#include <algorithm>

#include "link/frame.hpp"
#include "link/protocol.hpp"

namespace tarvenix::link {
namespace {

constexpr ReplyVerdict Reject(std::uint8_t code) {
  return {protocol::kLineRejected, code};
}

}  // namespace

ReplyVerdict JudgeReply(std::span<const std::uint8_t> buffer, std::uint8_t rxLen,
                        std::uint8_t expectedLen) noexcept {
  // The first byte is read even for an empty reply, and the code byte only
  // when the length is not the expected one.
  const bool readsCode = rxLen != expectedLen;
  const std::size_t reach =
      std::max<std::size_t>({std::size_t{1}, rxLen, readsCode ? protocol::kReplyCodeIndex + 1 : 0});
  if (buffer.size() < reach) {
    return Reject(protocol::kErrorLength);
  }
  if (readsCode) {
    const std::uint8_t implied = protocol::ImpliedReplyLength(buffer[protocol::kReplyCodeIndex]);
    if (implied == 0 || implied != rxLen) {
      return Reject(protocol::kErrorLength);
    }
  }
  if (!protocol::IsReplyStart(buffer[0])) {
    return Reject(protocol::kErrorFirstByte);
  }
  if (rxLen >= 2) {
    if (buffer[rxLen - 2] != protocol::kEtx) {
      return Reject(protocol::kErrorNoEtx);
    }
    if (XorOf(buffer.first(rxLen)) != 0) {
      return Reject(protocol::kErrorCheckByte);
    }
  }
  return {protocol::kLineAccepted, protocol::kErrorNone};
}

bool CheckReply(TComLink& link, std::uint8_t line, std::span<const std::uint8_t> buffer,
                std::uint8_t rxLen, std::uint8_t expectedLen) {
  const ReplyVerdict verdict = JudgeReply(buffer, rxLen, expectedLen);
  link.SetLineState(line, verdict.lineState);
  link.SetLineError(line, verdict.errorCode);
  return verdict.Accepted();
}

}  // namespace tarvenix::link
