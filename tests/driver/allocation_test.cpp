// No operation allocates on the heap on its success path. Every global
// allocation in this program is counted.
#include <gtest/gtest.h>

#include "support/allocation_counter.hpp"
#include "support/fake_com_link.hpp"
#include "tarvenix/tvm30.hpp"

namespace tarvenix::testing {
namespace {

// Answers by command letter from replies made before counting starts.
class QuietComLink : public TComLink {
 public:
  QuietComLink()
      : state_(MakeReply("S0003000000")),
        live_(MakeReply("D0432103516500")),
        totals_(MakeReply("T00000000010000000020")),
        param_(MakeReply("p00042")),
        written_(MakeReply("A0")),
        ack_{0x06} {}

  std::int32_t FailResult(std::uint32_t) override { return 1; }
  void SetLineError(std::uint32_t, std::uint32_t) override {}
  void SetLineState(std::uint32_t, std::uint32_t state) override {
    lineState_ = static_cast<std::uint8_t>(state);
  }
  std::uint8_t GetLineState(std::uint32_t) override { return lineState_; }
  std::int32_t ConfigureLine(std::uint32_t, std::uint32_t, std::uint32_t) override { return 0; }
  void SetReplyCheck(std::uint32_t, ReplyCheckHandler handler) override { check_ = handler; }
  void SetLineInit(std::uint32_t, LineInitHandler) override {}
  std::int32_t Exchange(std::uint32_t line, std::uint32_t, std::span<const std::uint8_t> request,
                        std::span<std::uint8_t> reply, std::uint8_t expectedLen,
                        std::uint8_t) override {
    if (expectedLen == 0) {
      return 0;
    }
    const Bytes& answer = Answer(request[5]);
    std::copy(answer.begin(), answer.end(), reply.begin());
    check_(static_cast<std::uint8_t>(line), reply, static_cast<std::uint8_t>(answer.size()),
           expectedLen);
    return 0;
  }

 private:
  const Bytes& Answer(std::uint8_t letter) const {
    switch (letter) {
      case 'C':
        return live_;
      case 'V':
        return totals_;
      case 'r':
        return param_;
      case 'w':
        return written_;
      case 'E':
      case 'T':
        return ack_;
      default:
        return state_;
    }
  }
  Bytes state_, live_, totals_, param_, written_, ack_;
  ReplyCheckHandler check_{};
  std::uint8_t lineState_ = 0;
};

void NoPause(void*, std::uint32_t) {}

template <typename Operation>
std::uint64_t AllocationsOf(Operation&& operation) {
  const std::uint64_t before = AllocationCount();
  operation();
  return AllocationCount() - before;
}

TEST(Allocation, NoOperationAllocatesOnSuccess) {
  QuietComLink link;
  TVM30 driver(link, 0, Sleeper{&NoPause, nullptr});
  double volume = 0;
  double money = 0;
  std::int32_t value = 0;
  TStateRecord record{};
  std::array<std::uint8_t, kDriverInfoSize> info{};

  EXPECT_EQ(AllocationsOf([&] { driver.InitLine(1); }), 0u);
  EXPECT_EQ(AllocationsOf([&] { driver.GetDriverInfo(info); }), 0u);
  EXPECT_EQ(AllocationsOf([&] { driver.SetLinkState(1, 1); }), 0u);
  EXPECT_EQ(AllocationsOf([&] { driver.GetLinkState(1); }), 0u);
  EXPECT_EQ(AllocationsOf([&] { driver.QueryCapability(3, value); }), 0u);
  EXPECT_EQ(AllocationsOf([&] { driver.SetUnitPrice(1, 1, 45.3); }), 0u);
  EXPECT_EQ(AllocationsOf([&] { driver.SetDoseVolume(1, 1, 20); }), 0u);
  EXPECT_EQ(AllocationsOf([&] { driver.SetDoseMoney(1, 1, 500); }), 0u);
  EXPECT_EQ(AllocationsOf([&] { driver.StartPump(1, 1, 1); }), 0u);
  EXPECT_EQ(AllocationsOf([&] { driver.StartPump2(1, 1, 1); }), 0u);
  EXPECT_EQ(AllocationsOf([&] { driver.ReadLive(1, 1, money); }), 0u);
  EXPECT_EQ(AllocationsOf([&] { driver.ReadLiveRepeated(1, 1, volume, money); }), 0u);
  EXPECT_EQ(AllocationsOf([&] { driver.PollState(1, 1); }), 0u);
  EXPECT_EQ(AllocationsOf([&] { driver.GetStateRecord(record, 1, 1); }), 0u);
  EXPECT_EQ(AllocationsOf([&] { driver.ReadTotals(1, 1, 1, volume, money); }), 0u);
  EXPECT_EQ(AllocationsOf([&] { driver.ReadParam(1, 1, 1); }), 0u);
  EXPECT_EQ(AllocationsOf([&] { driver.WriteParam(1, 1, 1, 1); }), 0u);
  EXPECT_EQ(AllocationsOf([&] { driver.StopPump(1, 1); }), 0u);
  EXPECT_EQ(AllocationsOf([&] { driver.StopPump2(1, 1, 0); }), 0u);
  EXPECT_EQ(AllocationsOf([&] { driver.StopPump3(1, 1, 0); }), 0u);
  EXPECT_EQ(volume, 1.0);  // the operations did run
}

}  // namespace
}  // namespace tarvenix::testing
