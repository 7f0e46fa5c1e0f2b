// The exchange path allocates nothing: driver operations through the line
// service and the simulated line, counted by a replaced operator new.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "bench.hpp"

namespace {
std::atomic<bool> counting{false};
std::atomic<int> allocations{0};
}  // namespace

void* operator new(std::size_t size) {
  if (counting.load(std::memory_order_relaxed)) {
    allocations.fetch_add(1, std::memory_order_relaxed);
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) {
    return p;
  }
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

namespace tarvenix::sim::testing {
namespace {

TEST(Allocation, ExchangesAllocateNothingEvenUnderFaults) {
  Bench b;
  b.line.SetFaults(
      1, FaultPlan{}.With(FaultKind::kGarbage, 0.3).With(FaultKind::kBadCheckByte, 0.3), 3);
  b.Prepare(1, 52.90, 5.0);
  counting = true;
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
  counting = false;
  EXPECT_EQ(allocations.load(), 0);
  EXPECT_GT(b.Stats().Rejected(), 0u);
}

}  // namespace
}  // namespace tarvenix::sim::testing
