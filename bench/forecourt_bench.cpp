// The forecourt service at scale: 32 simulated lines with 4 pumps each,
// every byte taking its time at 4800 baud, the demo attendant keeping every
// pump busy with deliveries. Reports the process's CPU per line, its
// resident memory, and the time from the final reading of a delivery (the
// reply that ends it, decoded and acknowledged) to its sale committed to the
// journal and published.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "forecourt/attendant.hpp"
#include "forecourt/forecourt.hpp"
#include "forecourt/simulated_lines.hpp"
#include "forecourt_load.hpp"

namespace tarvenix::bench {
namespace {

using namespace forecourt;
using Clock = std::chrono::steady_clock;

constexpr auto kRun = std::chrono::seconds(20);

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double ResidentMiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) {
      return std::stod(line.substr(6)) / 1024;
    }
  }
  return 0;
}

void BM_Forecourt32LinesAtWireRate(benchmark::State& state) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("tarvenixd-bench-" + std::to_string(getpid()));
  for (auto _ : state) {
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    Config config = BusyForecourt(dir);
    std::mutex mutex;
    std::map<std::string, Clock::time_point> finals;
    config.settings.beforeFinalCommit = [&](const std::string& pump) {
      std::lock_guard lock(mutex);
      finals[pump] = Clock::now();
    };
    std::FILE* sink = std::fopen("/dev/null", "w");
    Log log(sink);
    SimulatedLines simulated;
    Forecourt forecourt(config, log, nullptr, {}, simulated.Factory());
    Attendant attendant(forecourt, log, 0);

    const double cpuBefore = CpuSeconds();
    const auto start = Clock::now();
    forecourt.Start();
    attendant.Start();
    std::vector<double> commitMs;
    std::uint64_t seen = forecourt.Events().LastSeq();
    while (Clock::now() - start < kRun) {
      const auto batch = forecourt.Events().WaitSince(seen, std::chrono::milliseconds(100));
      const auto now = Clock::now();
      for (const Event& e : batch.events) {
        seen = e.seq;
        if (e.kind != EventKind::kTransaction) {
          continue;
        }
        const auto data = nlohmann::json::parse(e.data);
        if (data["state"] != "payable" && data["state"] != "cancelled") {
          continue;
        }
        std::lock_guard lock(mutex);
        const auto it = finals.find(data["pump"].get<std::string>());
        if (it != finals.end()) {
          commitMs.push_back(std::chrono::duration<double, std::milli>(now - it->second).count());
          finals.erase(it);
        }
      }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = CpuSeconds() - cpuBefore;
    state.counters["rss_MiB"] = ResidentMiB();
    attendant.Stop();
    forecourt.Stop();
    std::fclose(sink);
    state.counters["cpu_per_line_pct"] = cpu / seconds / kLines * 100;
    state.counters["sales"] = static_cast<double>(commitMs.size());
    state.counters["commit_p50_ms"] = Percentile(commitMs, 0.5);
    state.counters["commit_p99_ms"] = Percentile(commitMs, 0.99);
    std::uint64_t exchanges = 0;
    for (const LineInfo& line : forecourt.Lines()) {
      exchanges += line.stats.exchanges;
    }
    state.counters["exchanges_per_line_s"] = static_cast<double>(exchanges) / seconds / kLines;
  }
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_Forecourt32LinesAtWireRate)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
}  // namespace tarvenix::bench
