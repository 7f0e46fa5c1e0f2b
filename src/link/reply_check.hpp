// The reply check: whether the bytes received on a line form a complete,
// sound reply.
//
//   start  .  code  fields...  ETX  BCC
//
// A reply starts with STX, EOT or ACK; its BCC makes the XOR of the whole
// reply, start byte included, zero (the request's BCC leaves out the EOT). A
// reply of one byte is the start byte alone. The length must be the one the
// driver expected or the one the reply code at index 2 implies.
#pragma once

#include <cstdint>
#include <span>

#include "tarvenix/com_link.hpp"

namespace tarvenix::link {

struct ReplyVerdict {
  std::uint8_t lineState;  // protocol::kLineAccepted or kLineRejected
  std::uint8_t errorCode;  // protocol::kErrorNone or one of the rejections

  bool Accepted() const { return errorCode == 0; }
  friend bool operator==(const ReplyVerdict&, const ReplyVerdict&) = default;
};

// Judges `rxLen` received bytes at the start of `buffer` against the expected
// length. The tests run in a fixed order, so a reply with several faults
// reports the first: length (219), first byte (223), ETX (209), BCC (222). A
// length that would take a read outside `buffer` is a wrong length too: a
// malformed reply is a line error, never a read past the buffer.
ReplyVerdict JudgeReply(std::span<const std::uint8_t> buffer, std::uint8_t rxLen,
                        std::uint8_t expectedLen) noexcept;

// JudgeReply, reported to the line service as SetLineState then SetLineError,
// once each. Returns true when the reply is accepted.
bool CheckReply(TComLink& link, std::uint8_t line, std::span<const std::uint8_t> buffer,
                std::uint8_t rxLen, std::uint8_t expectedLen);

}  // namespace tarvenix::link
