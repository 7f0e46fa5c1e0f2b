// A host built outside the project against an installed Tarvenix: it opens
// line 1 and polls dispenser 1 through TVM30, on a line service of its own
// that answers with fixed replies, as a host author's first program would.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string_view>
#include <tarvenix/com_link.hpp>
#include <tarvenix/errors.hpp>
#include <tarvenix/tvm30.hpp>
#include <tarvenix/version.hpp>

namespace {

// An S reply with state byte `state` and the XOR check byte over the frame.
constexpr std::array<std::uint8_t, 15> StateReply(std::uint8_t state) {
  std::array<std::uint8_t, 15> reply = {0x02, '1', 'S', '0', '0', '0',  state, '0',
                                        '0',  '0', '0', '0', '0', 0x03, 0};
  for (std::size_t i = 0; i + 1 < reply.size(); ++i) {
    reply.back() ^= reply[i];
  }
  return reply;
}

// Dispenser 1 on line 1, idle with its nozzle hung while the line is reset,
// then with its nozzle lifted.
class FixedDispenser final : public tarvenix::TComLink {
 public:
  std::int32_t FailResult(std::uint32_t) override { return 1; }
  void SetLineError(std::uint32_t, std::uint32_t) override {}
  void SetLineState(std::uint32_t, std::uint32_t state) override { state_ = state; }
  std::uint8_t GetLineState(std::uint32_t) override { return static_cast<std::uint8_t>(state_); }
  std::int32_t ConfigureLine(std::uint32_t, std::uint32_t, std::uint32_t) override { return 0; }
  void SetReplyCheck(std::uint32_t, tarvenix::ReplyCheckHandler check) override { check_ = check; }
  void SetLineInit(std::uint32_t, tarvenix::LineInitHandler) override {}

  std::int32_t Exchange(std::uint32_t line, std::uint32_t, std::span<const std::uint8_t> request,
                        std::span<std::uint8_t> reply, std::uint8_t expectedLen,
                        std::uint8_t) override {
    if (expectedLen == 0) {
      return 0;  // ACK or NAK
    }
    // The command letter follows EOT, two address characters, STX and the
    // sequence digit.
    const auto answer = StateReply(request[5] == 'S' ? '0' : '1');
    std::ranges::copy(answer, reply.begin());
    check_(static_cast<std::uint8_t>(line), reply, static_cast<std::uint8_t>(answer.size()),
           expectedLen);
    return 0;
  }

 private:
  tarvenix::ReplyCheckHandler check_;
  std::uint32_t state_ = 0;
};

}  // namespace

int main() {
  FixedDispenser link;
  tarvenix::TVM30 driver(link, 0);
  try {
    driver.InitLine(1);
    const std::uint16_t state = driver.PollState(1, 1);
    std::array<std::uint8_t, tarvenix::kDriverInfoSize> info{};
    driver.GetDriverInfo(info);
    const std::string_view version(reinterpret_cast<const char*>(info.data() + 1), 5);
    std::printf("Tarvenix %s, driver %.*s, dispenser state %u\n", TARVENIX_VERSION,
                static_cast<int>(version.size()), version.data(), static_cast<unsigned>(state));
    return state == 225 && version.substr(1) == TARVENIX_VERSION ? 0 : 1;
  } catch (const tarvenix::ESerialIO& e) {
    std::fprintf(stderr, "line failure: %s\n", e.what());
    return 1;
  }
}
