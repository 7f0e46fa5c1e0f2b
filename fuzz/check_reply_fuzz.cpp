// The reply check on any bytes, any received and expected length and any
// buffer size. The buffer is exactly as long as the input leaves, so a read
// past it is caught by AddressSanitizer.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "link/frame.hpp"
#include "link/protocol.hpp"
#include "link/reply_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarvenix;
  if (size < 2) {
    return 0;
  }
  const std::uint8_t rxLen = data[0];
  const std::uint8_t expectedLen = data[1];
  const std::vector<std::uint8_t> buffer(data + 2, data + size);
  const link::ReplyVerdict verdict = link::JudgeReply(buffer, rxLen, expectedLen);

  if (verdict.lineState != protocol::kLineAccepted &&
      verdict.lineState != protocol::kLineRejected) {
    std::abort();
  }
  if (verdict.Accepted()) {
    // An accepted reply lies inside the buffer, starts with a start byte and,
    // beyond one byte, ends with ETX and a check byte that zeroes the XOR.
    if (buffer.size() < std::max<std::size_t>(1, rxLen) || !protocol::IsReplyStart(buffer[0])) {
      std::abort();
    }
    if (rxLen >= 2 && (buffer[rxLen - 2u] != protocol::kEtx ||
                       link::XorOf(std::span(buffer).first(rxLen)) != 0)) {
      std::abort();
    }
  }
  return 0;
}
