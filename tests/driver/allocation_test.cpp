// No operation allocates on the heap on its success path. Every global
// allocation in this program is counted.
#include <gtest/gtest.h>

#include <tarvenix/tvm30.hpp>

#include "support/allocation_counter.hpp"
#include "support/canned_com_link.hpp"

namespace tarvenix::testing {
namespace {

template <typename Operation>
std::uint64_t AllocationsOf(Operation&& operation) {
  const std::uint64_t before = AllocationCount();
  operation();
  return AllocationCount() - before;
}

TEST(Allocation, NoOperationAllocatesOnSuccess) {
  CannedComLink link;                                     // replies made before counting starts
  link.Answer('P', CannedComLink::Frame("S0003000000"));  // delivering: ReadLive polls
  TVM30 driver(link, 0, NoPause());
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
