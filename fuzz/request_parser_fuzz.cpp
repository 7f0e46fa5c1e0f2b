// The simulator's side of the wire on any byte stream: the frame assembler
// and the parser never read out of bounds, and every frame they accept is
// exactly the frame the driver's own encoder makes of its parts.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "link/frame.hpp"
#include "sim/request_frame.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarvenix;
  const std::span<const std::uint8_t> input(data, size);

  if (const auto frame = sim::ParseRequest(input)) {
    std::array<std::uint8_t, protocol::kFrameCapacity> encoded{};
    const std::size_t length = link::EncodeFrame(
        frame->wireAddr, static_cast<std::uint8_t>(frame->seqChar - '0'), frame->Text(), encoded);
    if (length != size || !std::equal(input.begin(), input.end(), encoded.begin())) {
      std::abort();
    }
  }

  sim::FrameAssembler assembler;
  for (std::uint8_t byte : input) {
    const sim::LineInput in = assembler.Feed(byte);
    if (in.kind == sim::LineInput::Kind::kFrame &&
        (in.frame.wireAddr > 31 || in.frame.seqChar < '0' || in.frame.seqChar > '9')) {
      std::abort();
    }
  }
  return 0;
}
