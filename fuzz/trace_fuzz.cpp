// The --trace decoder on any bytes, as a request and as a reply: it must
// describe whatever the line carries without reading past it.
#include <cstdint>
#include <span>

#include "trace/trace.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  const std::string request = tarvenix::trace::DescribeRequest(bytes);
  const std::string reply = tarvenix::trace::DescribeReply(bytes);
  return request.size() + reply.size() > 0 ? 0 : 0;
}
