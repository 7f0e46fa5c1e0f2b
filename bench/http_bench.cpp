// tarvenixd's HTTP interface under load: 32 simulated lines of 4 pumps with
// the demo attendant keeping every pump busy, 200 clients on the event
// stream and GET /api/v1/pumps at 500 requests a second, all at once for
// 15 seconds of real time. Reports the request latency, and the delay from
// an event's publication (the reply decoded and the change committed) to
// its arrival at each stream client.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "forecourt/api/server.hpp"
#include "forecourt/attendant.hpp"
#include "forecourt/http_client.hpp"
#include "forecourt_load.hpp"

namespace tarvenix::bench {
namespace {

using namespace forecourt;
using Clock = std::chrono::steady_clock;

constexpr int kStreams = 200;
constexpr int kRequestsPerSecond = 500;
constexpr int kSenders = 25;
constexpr auto kRun = std::chrono::seconds(15);

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

void BM_HttpUnderLoad(benchmark::State& state) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("tarvenixd-httpbench-" + std::to_string(getpid()));
  for (auto _ : state) {
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    Config config = BusyForecourt(dir);
    std::FILE* sink = std::fopen("/dev/null", "w");
    Log log(sink);
    Forecourt forecourt(config, log);
    Attendant attendant(forecourt, log, 0);
    api::Api http(forecourt, config);
    api::Server server(http, log, {.listen = "127.0.0.1:0"});
    server.Start();
    const std::string url = server.Url();
    forecourt.Start();
    attendant.Start();

    // When each event was published, as seen by a waiter on the ring like
    // the server's own.
    std::mutex mutex;
    std::map<std::uint64_t, Clock::time_point> published;
    std::atomic<bool> running{true};
    std::thread watcher([&] {
      std::uint64_t seen = forecourt.Events().LastSeq();
      while (running) {
        const auto batch = forecourt.Events().WaitSince(seen, std::chrono::milliseconds(100));
        const auto now = Clock::now();
        std::lock_guard lock(mutex);
        for (const Event& e : batch.events) {
          published[e.seq] = now;
          seen = e.seq;
        }
      }
    });

    std::vector<std::vector<std::pair<std::uint64_t, Clock::time_point>>> received(kStreams);
    std::vector<std::thread> streams;
    std::atomic<int> connected{0};
    for (int i = 0; i < kStreams; ++i) {
      streams.emplace_back([&, i] {
        try {
          // The data is left unparsed: the clients share the machine with
          // the service and must not be what is measured.
          testing::EventStream stream(url, {}, std::nullopt, "/api/v1/events", false);
          ++connected;
          while (running) {
            const auto event = stream.Next();
            received[static_cast<std::size_t>(i)].emplace_back(event.id, Clock::now());
          }
        } catch (const std::exception&) {
          // the server closed the stream at the end
        }
      });
    }
    while (connected < kStreams) {
      std::this_thread::yield();
    }

    std::vector<std::vector<double>> latencies(kSenders);
    std::atomic<int> failures{0};
    std::vector<std::thread> senders;
    const auto start = Clock::now();
    const auto interval = std::chrono::microseconds(1'000'000 * kSenders / kRequestsPerSecond);
    for (int s = 0; s < kSenders; ++s) {
      senders.emplace_back([&, s] {
        auto due = start + interval * s / kSenders;
        while (due < start + kRun) {
          std::this_thread::sleep_until(due);
          const auto sent = Clock::now();
          const auto reply = testing::Call(url, "GET", "/api/v1/pumps");
          latencies[static_cast<std::size_t>(s)].push_back(Ms(Clock::now() - sent));
          failures += reply.status == 200 ? 0 : 1;
          due += interval;
        }
      });
    }
    for (std::thread& t : senders) {
      t.join();
    }
    running = false;
    attendant.Stop();
    server.Stop();
    forecourt.Stop();
    for (std::thread& t : streams) {
      t.join();
    }
    watcher.join();
    std::fclose(sink);

    std::vector<double> requests;
    for (const auto& l : latencies) {
      requests.insert(requests.end(), l.begin(), l.end());
    }
    std::vector<double> delays;
    std::map<std::uint64_t, double> slowest;  // per event, the last of the clients
    for (const auto& client : received) {
      for (const auto& [seq, at] : client) {
        const auto it = published.find(seq);
        if (it != published.end()) {
          const double ms = Ms(at - it->second);
          delays.push_back(ms);
          slowest[seq] = std::max(slowest[seq], ms);
        }
      }
    }
    std::vector<double> lastClient;
    for (const auto& [seq, ms] : slowest) {
      lastClient.push_back(ms);
    }
    state.counters["requests"] = static_cast<double>(requests.size());
    state.counters["failed"] = failures.load();
    state.counters["request_p50_ms"] = Percentile(requests, 0.5);
    state.counters["request_p99_ms"] = Percentile(requests, 0.99);
    state.counters["events"] = static_cast<double>(slowest.size());
    state.counters["event_p50_ms"] = Percentile(delays, 0.5);
    state.counters["event_p99_ms"] = Percentile(delays, 0.99);
    state.counters["event_all_clients_p99_ms"] = Percentile(lastClient, 0.99);
  }
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_HttpUnderLoad)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
}  // namespace tarvenix::bench
