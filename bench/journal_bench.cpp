// What a sale costs the disk: the journal's syncs (fsync) and writes per
// whole sale, counted by the test VFS, on simulated dispensers and time.
// The figure to watch is syncs per sale: each one is a wait on the disk.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <tarvenix/lines/clock.hpp>

#include "forecourt/forecourt.hpp"
#include "forecourt/simulated_lines.hpp"
#include "sim/simulated_line.hpp"
#include "support/fault_vfs.hpp"

namespace tarvenix::bench {
namespace {

using namespace forecourt;

void BM_JournalSyncsPerSale(benchmark::State& state) {
  const double volume = static_cast<double>(state.range(0));
  const auto dir = std::filesystem::temp_directory_path() /
                   ("tarvenix-journal-bench-" + std::to_string(getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  testing::FaultVfs vfs;
  std::FILE* sink = std::fopen("/dev/null", "w");
  Log log(sink);
  lines::ManualClock clock;
  sim::SimulatedLine peer(clock);
  peer.AddDispenser(1);
  SimulatedLines simulated({&peer});
  Forecourt forecourt(
      SimulatedConfig(1, (dir / "journal.db").string()), log, &clock,
      [&] { return static_cast<std::int64_t>(clock.NowUs() / 1000); }, simulated.Factory());
  auto until = [&](auto done) {
    while (!done()) {
      forecourt.Step();
    }
  };
  until([&] { return forecourt.Pump("1")->online; });
  std::uint64_t sales = 0;
  const std::uint64_t syncs = vfs.Syncs();
  const std::uint64_t writes = vfs.Writes();
  for (auto _ : state) {
    auto started = forecourt.Authorise({.pumpId = "1", .preset = volume, .client = "bench"});
    until([&] { return started.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
    const std::int64_t id = started.get().transaction->id;
    until([&] {
      const auto t = forecourt.GetJournal().Get(id);
      return !IsOpen(t->state) && t->reconciliation != Reconciliation::kPending;
    });
    forecourt.Clear(id, "bench");
    ++sales;
  }
  state.counters["syncs_per_sale"] =
      static_cast<double>(vfs.Syncs() - syncs) / static_cast<double>(sales);
  state.counters["writes_per_sale"] =
      static_cast<double>(vfs.Writes() - writes) / static_cast<double>(sales);
  std::filesystem::remove_all(dir);
}
// A short sale and a long one (its live readings are written too).
BENCHMARK(BM_JournalSyncsPerSale)->Arg(2)->Arg(40)->Iterations(20)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tarvenix::bench
