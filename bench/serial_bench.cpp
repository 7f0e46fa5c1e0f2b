// Poll cycles on one line through the serial line service, against the
// simulator serving a pseudo-terminal at 4800 baud. A P poll answered by an
// S reply and acknowledged takes (8 + 15 + 1) bytes of 10 bits: 50 ms on the
// wire. The service must never wait for a timeout when the reply is complete,
// so the cycle should come close to that limit. The argument is the share of
// replies, in percent, that the dispenser sends 300 ms late: each costs a
// timeout, a repetition and a wait for a quiet line before the next frame,
// the guard that keeps the late reply out of the next exchange.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <tarvenix/errors.hpp>
#include <tarvenix/lines/clock.hpp>
#include <tarvenix/lines/serial_com_link.hpp>
#include <tarvenix/tvm30.hpp>

#include "sim/pty_server.hpp"
#include "sim/simulated_line.hpp"

namespace tarvenix::bench {
namespace {

void BM_PollCycleAt4800(benchmark::State& state) {
  lines::WallClock clock;
  sim::SimulatedLine line(clock);
  line.AddDispenser(1);
  line.SetFaults(
      1, sim::FaultPlan{}.With(sim::FaultKind::kDelay, static_cast<double>(state.range(0)) / 100),
      1);
  sim::PtyServer server(line, {.baud = 4800});
  server.Start();
  lines::SerialComLink link;
  link.AssignPort(1, {.device = server.Path()});
  TVM30 driver(link, 0);
  driver.InitLine(1);
  driver.PollState(1, 1);  // address 1's digit is 0 from here on

  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    try {
      benchmark::DoNotOptimize(driver.PollState(1, 1));
    } catch (const ESerialIO&) {
      // Every attempt late: the next poll goes on.
    }
  }
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  const double perCycle = elapsed.count() / static_cast<double>(state.iterations());
  state.counters["cycles/s"] = 1.0 / perCycle;
  state.counters["of_wire_limit"] = 0.050 / perCycle;
  const lines::LinkStats s = link.Stats(1);
  state.counters["timeouts"] = static_cast<double>(s.timeouts);
  state.counters["stale"] = static_cast<double>(s.stale);
  state.counters["settle_share"] = static_cast<double>(s.settleUs) / 1e6 / elapsed.count();
}
BENCHMARK(BM_PollCycleAt4800)
    ->Arg(0)
    ->Arg(10)
    ->Iterations(60)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tarvenix::bench
