// How the line worker shares one line: N = 4, 12 and 32 simulated pumps at
// 4800 baud, with none, half and all of them delivering, on simulated time
// (every byte takes its 2.083 ms, nothing else does). For each it reports
// the oldest state seen, the live readings per delivering pump per second
// (mean and the least-read pump), the time from a stop request to its frame
// on the wire, and the line's busy fraction: the wire time of the bytes
// sent and received over the time that passed. Prints a Markdown table.
//
// Stops arrive at instants that fall anywhere in an exchange; a stopped
// delivery is authorised again, so the mix stays as it was.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <tarvenix/lines/clock.hpp>
#include <vector>

#include "forecourt/config.hpp"
#include "forecourt/forecourt.hpp"
#include "forecourt/simulated_lines.hpp"
#include "sim/request_frame.hpp"
#include "sim/simulated_line.hpp"

namespace tarvenix::bench {
namespace {

using namespace forecourt;

constexpr double kByteUs = 10.0 * 1e6 / 4800;  // start, 8 data and stop bits
constexpr std::uint64_t kWarmUpUs = 30'000'000;
constexpr std::uint64_t kRunUs = 120'000'000;
constexpr std::uint64_t kStopEveryUs = 1'700'000;
constexpr double kPreset = 900;  // 22 minutes at 40 a minute: outlasts the run

// Counts what goes over the line.
class Meter final : public lines::LineMonitor {
 public:
  void OnLineEvent(const lines::LineEvent& event) override {
    if (event.kind != lines::LineEvent::Kind::kSent &&
        event.kind != lines::LineEvent::Kind::kReceived) {
      return;
    }
    bytes += event.bytes.size();
    if (event.kind != lines::LineEvent::Kind::kSent || event.attempt != 0) {
      return;
    }
    if (const auto frame = sim::ParseRequest(event.bytes)) {
      const auto text = frame->TextView();
      if (text == "C") {
        ++liveReads[frame->Addr()];
      } else if (text == "T" && !stopFrameUs) {
        stopFrameUs = event.timeUs;
      }
    }
  }

  std::uint64_t bytes = 0;
  std::map<std::uint8_t, std::uint64_t> liveReads;
  std::optional<std::uint64_t> stopFrameUs;
};

struct Row {
  int pumps = 0;
  int delivering = 0;
  double oldestStateMs = 0;
  double liveMean = 0;
  double liveMin = 0;
  double stopMeanMs = 0;
  double stopMaxMs = 0;
  double busy = 0;
};

Row Measure(int pumps, int delivering, const std::filesystem::path& dir) {
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  lines::ManualClock clock;
  sim::SimulatedLine peer(clock);
  for (int a = 1; a <= pumps; ++a) {
    peer.AddDispenser(static_cast<std::uint8_t>(a));
  }
  Config config = SimulatedConfig(static_cast<std::uint8_t>(pumps), (dir / "journal.db").string());
  config.settings.maxUnpaid = 1'000'000;
  std::FILE* sink = std::fopen("/dev/null", "w");
  Log log(sink);
  SimulatedLines simulated({&peer});
  Forecourt fc(config, log, &clock, {}, simulated.Factory());
  Meter meter;
  fc.SetLineListener(&meter);

  auto delivers = [&](int addr) { return addr <= delivering; };
  std::map<int, std::future<Outcome>> starting;
  std::map<int, std::uint64_t> retryAt;  // after a refusal (the last sale's counters)
  // Keeps the delivering pumps delivering: authorises each one that is idle.
  auto tend = [&] {
    for (const PumpSnapshot& pump : fc.Pumps()) {
      const int addr = pump.addr;
      if (!delivers(addr) || !pump.online) {
        continue;
      }
      if (auto it = starting.find(addr); it != starting.end()) {
        if (it->second.wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
          if (!it->second.get().Ok()) {
            retryAt[addr] = clock.NowUs() + 200'000;
          }
          starting.erase(it);
        }
        continue;
      }
      if (!pump.transactionId && pump.state == PumpState::kIdle && clock.NowUs() >= retryAt[addr]) {
        starting[addr] = fc.Authorise({.pumpId = pump.id, .preset = kPreset, .client = "bench"});
      }
    }
  };

  while (clock.NowUs() < kWarmUpUs) {
    fc.Step();
    tend();
  }

  Row row{.pumps = pumps, .delivering = delivering};
  meter.bytes = 0;
  meter.liveReads.clear();
  const std::uint64_t start = clock.NowUs();
  std::uint64_t nextStop = start + kStopEveryUs / 3;
  std::optional<std::future<Outcome>> stop;
  std::uint64_t stopAskedUs = 0;
  std::vector<double> stopMs;
  int stopTarget = 0;
  std::uint64_t oldest = 0;
  while (clock.NowUs() - start < kRunUs) {
    if (!stop && clock.NowUs() >= nextStop) {
      // The request came at nextStop, while the exchange that crossed it
      // was on the wire.
      stopTarget = stopTarget % pumps + 1;
      meter.stopFrameUs.reset();
      stopAskedUs = nextStop;
      stop = fc.StopPump(std::to_string(stopTarget));
      nextStop += kStopEveryUs + (nextStop * 7919) % 97'000;
    }
    fc.Step();
    if (stop && meter.stopFrameUs) {
      stopMs.push_back(static_cast<double>(*meter.stopFrameUs - stopAskedUs) / 1000);
      meter.stopFrameUs.reset();
    }
    if (stop && stop->wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
      stop.reset();
    }
    for (const PumpSnapshot& pump : fc.Pumps()) {
      oldest = std::max(oldest, pump.stateAgeUs.value_or(clock.NowUs()));
    }
    tend();
  }
  const double seconds = static_cast<double>(clock.NowUs() - start) / 1e6;
  row.oldestStateMs = static_cast<double>(oldest) / 1000;
  row.busy = static_cast<double>(meter.bytes) * kByteUs / (seconds * 1e6);
  if (delivering > 0) {
    double sum = 0;
    double least = 1e9;
    for (int a = 1; a <= delivering; ++a) {
      const double perSecond =
          static_cast<double>(meter.liveReads[static_cast<std::uint8_t>(a)]) / seconds;
      sum += perSecond;
      least = std::min(least, perSecond);
    }
    row.liveMean = sum / delivering;
    row.liveMin = least;
  }
  if (!stopMs.empty()) {
    double sum = 0;
    for (double ms : stopMs) {
      sum += ms;
      row.stopMaxMs = std::max(row.stopMaxMs, ms);
    }
    row.stopMeanMs = sum / static_cast<double>(stopMs.size());
  }
  fc.SetLineListener(nullptr);
  std::fclose(sink);
  return row;
}

}  // namespace
}  // namespace tarvenix::bench

int main() {
  using namespace tarvenix::bench;
  const auto dir =
      std::filesystem::temp_directory_path() / ("line-schedule-bench-" + std::to_string(getpid()));
  std::printf(
      "| pumps | delivering | oldest state ms | live reads/s per delivering pump (least) | stop "
      "to frame ms mean (max) | busy |\n");
  std::printf("|---:|---:|---:|---:|---:|---:|\n");
  for (int pumps : {4, 12, 32}) {
    for (int delivering : {0, pumps / 2, pumps}) {
      const Row r = Measure(pumps, delivering, dir);
      if (delivering > 0) {
        std::printf("| %d | %d | %.0f | %.2f (%.2f) | %.0f (%.0f) | %.3f |\n", r.pumps,
                    r.delivering, r.oldestStateMs, r.liveMean, r.liveMin, r.stopMeanMs, r.stopMaxMs,
                    r.busy);
      } else {
        std::printf("| %d | %d | %.0f | - | %.0f (%.0f) | %.3f |\n", r.pumps, r.delivering,
                    r.oldestStateMs, r.stopMeanMs, r.stopMaxMs, r.busy);
      }
      std::fflush(stdout);
    }
  }
  std::filesystem::remove_all(dir);
}
