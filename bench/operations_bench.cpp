// The driver's operations through the in-process line service and an
// instant simulator: no pause sleeps and no byte takes time, so what is left
// is the driver's own work plus the simulator's. Each reports the heap
// allocations it made per operation, which must be 0.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <ctime>
#include <memory>
#include <tarvenix/errors.hpp>
#include <tarvenix/lines/clock.hpp>
#include <tarvenix/tvm30.hpp>

#include "sim/line_service.hpp"
#include "sim/simulated_line.hpp"
#include "support/allocation_counter.hpp"
#include "support/no_pause.hpp"

namespace tarvenix::bench {
namespace {

// Time that never moves: deliveries do not flow and nothing waits.
class FrozenClock final : public lines::Clock {
 public:
  std::uint64_t NowUs() const override { return 0; }
  void Wait(std::uint64_t) override {}
};

// A line service that answers every command at once with one canned state
// reply: what is left is the driver's own work. Leaner than the tests'
// CannedComLink on purpose: its cost is part of the figure.
class CannedLink final : public TComLink {
 public:
  std::int32_t FailResult(std::uint32_t) override { return 1; }
  void SetLineError(std::uint32_t, std::uint32_t) override {}
  void SetLineState(std::uint32_t line, std::uint32_t state) override {
    lines_[line % 32].state = static_cast<std::uint8_t>(state);
  }
  std::uint8_t GetLineState(std::uint32_t line) override { return lines_[line % 32].state; }
  std::int32_t ConfigureLine(std::uint32_t, std::uint32_t, std::uint32_t) override { return 0; }
  void SetReplyCheck(std::uint32_t line, ReplyCheckHandler handler) override {
    lines_[line % 32].check = handler;
  }
  void SetLineInit(std::uint32_t, LineInitHandler) override {}
  std::int32_t Exchange(std::uint32_t line, std::uint32_t, std::span<const std::uint8_t>,
                        std::span<std::uint8_t> reply, std::uint8_t expectedLen,
                        std::uint8_t) override {
    if (expectedLen != 0) {
      std::copy(kStateReply.begin(), kStateReply.end(), reply.begin());
      lines_[line % 32].check(static_cast<std::uint8_t>(line), reply, kStateReply.size(),
                              expectedLen);
    }
    return 0;
  }

 private:
  // "S" reply, state '1': ready.
  static constexpr std::array<std::uint8_t, 15> kStateReply = {
      0x02, '0', 'S', '0', '0', '0', '1', '0', '0', '0', '0', '0', '0', 0x03, 0x63};
  struct alignas(64) Line {
    std::uint8_t state = 0;
    ReplyCheckHandler check{};
  };
  std::array<Line, 32> lines_{};
};

// Every line has its own simulated dispensers; one driver serves them all.
struct Forecourt {
  Forecourt() {
    for (std::uint32_t l = 0; l < lines.size(); ++l) {
      lines[l] = std::make_unique<sim::SimulatedLine>(clock);
      for (std::uint8_t addr = 1; addr <= 2; ++addr) {
        lines[l]->AddDispenser(addr, {.flowPerMinute = 1, .autoNozzle = true});
      }
      service.Attach(l + 1, *lines[l]);
      driver.InitLine(l + 1);
    }
  }

  FrozenClock clock;
  std::array<std::unique_ptr<sim::SimulatedLine>, 32> lines;
  sim::LineService service{clock};
  TVM30 driver{service, 0, testing::NoPause()};
};

Forecourt& Shared() {
  static Forecourt forecourt;
  return forecourt;
}

double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Runs `operation` in the timed loop and reports allocations per operation.
template <typename Operation>
void Run(benchmark::State& state, Operation operation) {
  const std::uint64_t allocationsBefore = testing::AllocationCount();
  for (auto _ : state) {
    operation();
  }
  state.counters["allocs/op"] =
      static_cast<double>(testing::AllocationCount() - allocationsBefore) /
      static_cast<double>(state.iterations());
}

void BM_PollState(benchmark::State& state) {
  TVM30& driver = Shared().driver;
  const double cpuBefore = ThreadCpuSeconds();
  Run(state, [&] { benchmark::DoNotOptimize(driver.PollState(1, 1)); });
  // The figure that matters on a forecourt: the driver's CPU time per poll
  // against the poll's time on a 4800-baud wire, (8 + 15 + 1) bytes of 10
  // bits = 50 ms.
  const double cpuPerPoll =
      (ThreadCpuSeconds() - cpuBefore) / static_cast<double>(state.iterations());
  state.counters["of_wire_time"] = cpuPerPoll / 0.050;
}
BENCHMARK(BM_PollState);

// The driver alone: frame, check, decode, acknowledgement, lock.
void BM_PollStateDriverOnly(benchmark::State& state) {
  static CannedLink link;
  static TVM30 driver(link, 0, testing::NoPause());
  const auto line = static_cast<std::uint8_t>(1 + state.thread_index());
  const double cpuBefore = ThreadCpuSeconds();
  Run(state, [&] { benchmark::DoNotOptimize(driver.PollState(line, 1)); });
  const double cpuPerPoll =
      (ThreadCpuSeconds() - cpuBefore) / static_cast<double>(state.iterations());
  state.counters["of_wire_time"] = cpuPerPoll / 0.050;
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PollStateDriverOnly)->Threads(1)->Threads(2)->UseRealTime();

void BM_ReadLive(benchmark::State& state) {
  Forecourt& f = Shared();
  f.driver.SetUnitPrice(2, 1, 52.90);
  f.driver.SetDoseVolume(2, 1, 999.0);
  // A delivery that never flows, started once: C polls answered by D.
  if ((f.driver.PollState(2, 1) & 0xFF) != 217) {
    f.driver.StartPump(2, 1, 1);
  }
  double money = 0;
  Run(state, [&] { benchmark::DoNotOptimize(f.driver.ReadLive(2, 1, money)); });
}
BENCHMARK(BM_ReadLive);

void BM_StartStopCollect(benchmark::State& state) {
  TVM30& driver = Shared().driver;
  driver.SetUnitPrice(3, 1, 52.90);
  driver.SetDoseVolume(3, 1, 10.0);
  double money = 0;
  Run(state, [&] {
    driver.StartPump(3, 1, 1);
    driver.StopPump(3, 1);
    driver.ReadLive(3, 1, money);  // collects the final reading
  });
}
BENCHMARK(BM_StartStopCollect);

void BM_ReadTotals(benchmark::State& state) {
  TVM30& driver = Shared().driver;
  double volume = 0;
  double money = 0;
  Run(state, [&] { driver.ReadTotals(4, 1, 1, volume, money); });
}
BENCHMARK(BM_ReadTotals);

void BM_ReadParam(benchmark::State& state) {
  TVM30& driver = Shared().driver;
  Run(state, [&] { benchmark::DoNotOptimize(driver.ReadParam(5, 1, 20)); });
}
BENCHMARK(BM_ReadParam);

void BM_InitLine(benchmark::State& state) {
  TVM30& driver = Shared().driver;
  Run(state, [&] { driver.InitLine(6); });
}
BENCHMARK(BM_InitLine);

// Threads on lines of their own share no lock and no cache line: two should
// poll close to twice as fast as one on two cores.
void BM_PollStateParallel(benchmark::State& state) {
  TVM30& driver = Shared().driver;
  const auto line = static_cast<std::uint8_t>(10 + state.thread_index());
  for (auto _ : state) {
    benchmark::DoNotOptimize(driver.PollState(line, 1));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PollStateParallel)->Threads(1)->Threads(2)->UseRealTime();

// The wire cost of the guard against late replies, on simulated time: state
// polls of one dispenser at 4800 baud that answers a share of them (the
// argument, in percent) 300 ms late, beyond the 140 ms reply timeout.
// Reports per poll the simulated wire time, the part of it spent waiting for
// a quiet line, and the stale replies dropped; the CPU time is the host's.
void BM_LateReplyGuard(benchmark::State& state) {
  lines::ManualClock clock;
  sim::SimulatedLine line(clock);
  line.AddDispenser(1, {.flowPerMinute = 1, .autoNozzle = true});
  const double share = static_cast<double>(state.range(0)) / 100.0;
  line.SetFaults(1, sim::FaultPlan{}.With(sim::FaultKind::kDelay, share), 1);
  sim::LineService service(clock);
  service.Attach(1, line);
  TVM30 driver(service, 0, lines::SleeperOn(clock));
  driver.InitLine(1);
  const lines::LinkStats before = service.Stats(1);
  const std::uint64_t startUs = clock.NowUs();
  std::uint64_t failed = 0;
  for (auto _ : state) {
    try {
      benchmark::DoNotOptimize(driver.PollState(1, 1));
    } catch (const ESerialIO&) {
      ++failed;
    }
  }
  const lines::LinkStats s = service.Stats(1);
  const auto polls = static_cast<double>(state.iterations());
  const double wireUs = static_cast<double>(clock.NowUs() - startUs);
  state.counters["wire_ms/poll"] = wireUs / 1000.0 / polls;
  state.counters["settle_ms/poll"] =
      static_cast<double>(s.settleUs - before.settleUs) / 1000.0 / polls;
  state.counters["guard_share"] = static_cast<double>(s.settleUs - before.settleUs) / wireUs;
  state.counters["stale/poll"] = static_cast<double>(s.stale - before.stale) / polls;
  state.counters["timeouts/poll"] = static_cast<double>(s.timeouts - before.timeouts) / polls;
  state.counters["failed/poll"] = static_cast<double>(failed) / polls;
}
BENCHMARK(BM_LateReplyGuard)->Arg(0)->Arg(5)->Arg(20)->Iterations(20'000);

}  // namespace
}  // namespace tarvenix::bench
