// The exchange path allocates nothing: driver operations through the line
// service and the simulated line, counted by a replaced operator new.
#include <gtest/gtest.h>

#include "sim_fixture.hpp"
#include "support/allocation_counter.hpp"

namespace tarvenix::sim::testing {
namespace {

TEST(Allocation, ExchangesAllocateNothingEvenUnderFaults) {
  SimForecourt b;
  b.line.SetFaults(
      1, FaultPlan{}.With(FaultKind::kGarbage, 0.3).With(FaultKind::kBadCheckByte, 0.3), 3);
  b.Prepare(1, 52.90, 5.0);
  const std::uint64_t before = tarvenix::testing::AllocationCount();
  b.driver.StartPump(1, 1, 1);
  for (int i = 0; i < 40; ++i) {
    double money = 0;
    b.driver.ReadLive(1, 1, money);
    b.driver.PollState(1, 1);
    b.clock.AdvanceMs(500);
  }
  double volume = 0;
  double money = 0;
  b.driver.ReadTotals(1, 1, 1, volume, money);
  b.driver.ReadParam(1, 1, 2);
  EXPECT_EQ(tarvenix::testing::AllocationCount() - before, 0u);
  EXPECT_GT(b.Stats().Rejected(), 0u);
}

}  // namespace
}  // namespace tarvenix::sim::testing
