// One command exchange through the host's line service, and the single-byte
// acknowledgement that follows a reply.
#pragma once

#include <cstdint>
#include <span>

#include "link/link_tables.hpp"
#include "link/protocol.hpp"
#include "tarvenix/com_link.hpp"

namespace tarvenix::link {

// Sends the first shape.count bytes of `data` to `addr` on `line` as one
// frame and receives the reply into `data` from index 0. In this order: the
// frame is built (spending a sequence digit), `check` is installed for the
// line, Exchange runs, and LinkState[line] takes what GetLineState reports,
// whatever Exchange returned.
//
// Returns Exchange's result, 0 on success. When Exchange or GetLineState
// raises a std::exception, the exception ends here: the result is
// FailResult(line) and LinkState keeps its value. Exceptions from building
// the frame (range errors) and from SetReplyCheck reach the caller.
std::int32_t SendCommand(TComLink& link, LinkTables& tables, ReplyCheckHandler check,
                         std::uint8_t line, std::uint8_t addr, std::span<std::uint8_t> data,
                         protocol::CommandShape shape);

// Sends ACK when the reply was accepted, NAK otherwise: written over index 0
// of `data` and sent from there, with no reply expected. `data` still holds
// the reply, which the caller may decode afterwards. `line` is passed to the
// line service as it is; the result is ignored and exceptions pass through.
void Acknowledge(TComLink& link, std::uint32_t line, std::span<std::uint8_t> data, bool accepted);

}  // namespace tarvenix::link
