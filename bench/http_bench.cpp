// tarvenixd's HTTP interface under load: 32 simulated lines of 4 pumps with
// the demo attendant keeping every pump busy, 200 clients on the event
// stream and GET /api/v1/pumps at 500 requests a second, all at once for
// 15 seconds of real time. Reports the request latency, and the delay from
// an event's publication (the reply decoded and the change committed) to
// its arrival at each stream client. The same again with one line dead (its
// device missing) and with every fsync of the journal slowed to 50 ms by
// the test VFS: neither may slow the others' requests or events.
//
// The clients are lean, as a load generator's are: two threads of epoll for
// the streams and one of Asio for the requests. 200 reader threads would
// measure the scheduler of a 2-core machine rather than the service.
#include <benchmark/benchmark.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/asio.hpp>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "forecourt/api/server.hpp"
#include "forecourt/attendant.hpp"
#include "forecourt/simulated_lines.hpp"
#include "forecourt_load.hpp"
#include "support/fault_vfs.hpp"

namespace tarvenix::bench {
namespace {

using namespace forecourt;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr int kStreams = 200;
constexpr std::size_t kStreamThreads = 2;
constexpr int kRequestsPerSecond = 500;
constexpr auto kRun = std::chrono::seconds(15);

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// Event ids with the time their bytes were read.
using Arrivals = std::vector<std::pair<std::uint64_t, Clock::time_point>>;

// What the clients saw.
struct Seen {
  std::vector<double> requestMs;
  int failed = 0;
  // Per stream client, each event id with the time its bytes were read.
  std::vector<Arrivals> arrivals;
};

// Open GET /api/v1/events streams read by one thread with a level-triggered
// epoll and a single read per readiness: the least a client can cost.
class StreamReader {
 public:
  StreamReader(const tcp::endpoint& server, std::span<Arrivals> logs) : epoll_(epoll_create1(0)) {
    for (Arrivals& log : logs) {
      tcp::socket socket(io_);
      socket.connect(server);
      socket.set_option(tcp::no_delay(true));
      net::write(
          socket,
          net::buffer(std::string_view("GET /api/v1/events HTTP/1.1\r\nHost: localhost\r\n\r\n")));
      socket.non_blocking(true);
      streams_.push_back({std::move(socket), &log, {}});
    }
    for (std::size_t i = 0; i < streams_.size(); ++i) {
      epoll_event event{.events = EPOLLIN, .data = {.u64 = i}};
      epoll_ctl(epoll_, EPOLL_CTL_ADD, streams_[i].socket.native_handle(), &event);
    }
  }
  ~StreamReader() { close(epoll_); }

  void Run(const std::atomic<bool>& running) {
    std::array<epoll_event, 64> ready{};
    std::array<char, 16 * 1024> chunk{};
    while (running) {
      const int n = epoll_wait(epoll_, ready.data(), ready.size(), 100);
      const auto now = Clock::now();
      for (int i = 0; i < n; ++i) {
        Stream& stream = streams_[ready[static_cast<std::size_t>(i)].data.u64];
        const ssize_t got = recv(stream.socket.native_handle(), chunk.data(), chunk.size(), 0);
        if (got <= 0) {
          epoll_ctl(epoll_, EPOLL_CTL_DEL, stream.socket.native_handle(), nullptr);
          continue;
        }
        stream.pending.append(chunk.data(), static_cast<std::size_t>(got));
        Parse(stream, now);
      }
    }
  }

 private:
  struct Stream {
    tcp::socket socket;
    Arrivals* log;
    std::string pending;
  };

  // Takes the ids of the whole events read so far.
  static void Parse(Stream& stream, Clock::time_point now) {
    std::string& pending = stream.pending;
    std::size_t start = 0;
    std::size_t end = 0;
    while ((end = pending.find("\n\n", start)) != std::string::npos) {
      if (pending.compare(start, 4, "id: ") == 0) {
        stream.log->emplace_back(std::strtoull(pending.c_str() + start + 4, nullptr, 10), now);
      }
      start = end + 2;
    }
    pending.erase(0, start);
  }

  net::io_context io_;
  int epoll_;
  std::vector<Stream> streams_;
};

// GET /api/v1/pumps on a new connection, timed from when it was due, so
// that a late client cannot hide a slow server.
class Request : public std::enable_shared_from_this<Request> {
 public:
  Request(net::io_context& io, Seen& seen, Clock::time_point due)
      : socket_(io), seen_(seen), due_(due) {}

  void Send(const tcp::endpoint& server) {
    socket_.async_connect(server, [self = shared_from_this()](auto ec) {
      if (ec) {
        self->Fail();
        return;
      }
      net::async_write(self->socket_, net::buffer(kRequest), [self](auto writeEc, std::size_t) {
        if (writeEc) {
          self->Fail();
          return;
        }
        self->Read();
      });
    });
  }

 private:
  static constexpr std::string_view kRequest =
      "GET /api/v1/pumps HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";

  // Until the server closes the connection after its reply.
  void Read() {
    socket_.async_read_some(
        net::buffer(chunk_), [self = shared_from_this()](auto ec, std::size_t n) {
          self->reply_.append(self->chunk_.data(), n);
          if (!ec) {
            self->Read();
            return;
          }
          if (ec != net::error::eof || !self->reply_.starts_with("HTTP/1.1 200 ")) {
            self->Fail();
            return;
          }
          self->seen_.requestMs.push_back(Ms(Clock::now() - self->due_));
        });
  }

  void Fail() { ++seen_.failed; }

  tcp::socket socket_;
  Seen& seen_;
  Clock::time_point due_;
  std::array<char, 16 * 1024> chunk_{};
  std::string reply_;
};

// Runs the clients against `url` for kRun, on the calling thread.
Seen Load(const tcp::endpoint& server) {
  Seen seen;
  seen.arrivals.resize(kStreams);
  const std::span<Arrivals> all(seen.arrivals);
  std::atomic<bool> reading{true};
  std::vector<std::unique_ptr<StreamReader>> readers;
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < kStreamThreads; ++i) {
    const std::size_t share = all.size() / kStreamThreads;
    readers.push_back(std::make_unique<StreamReader>(server, all.subspan(i * share, share)));
  }
  for (const auto& reader : readers) {
    threads.emplace_back([&reader = *reader, &reading] {
      pthread_setname_np(pthread_self(), "bench-streams");
      reader.Run(reading);
    });
  }

  pthread_setname_np(pthread_self(), "bench-requests");
  net::io_context io(1);
  net::steady_timer timer(io);
  const auto start = Clock::now();
  const auto interval = std::chrono::microseconds(1'000'000 / kRequestsPerSecond);
  auto due = start;
  std::function<void()> schedule = [&] {
    timer.expires_at(due);
    timer.async_wait([&](auto) {
      std::make_shared<Request>(io, seen, due)->Send(server);
      due += interval;
      if (due < start + kRun) {
        schedule();
      }
    });
  };
  schedule();
  io.run();
  reading = false;
  for (std::thread& thread : threads) {
    thread.join();
  }
  return seen;
}

// The faults a run may have besides the load.
enum Fault { kNone, kDeadLine, kSlowSync };

void BM_HttpUnderLoad(benchmark::State& state) {
  const auto fault = static_cast<Fault>(state.range(0));
  state.SetLabel(fault == kDeadLine   ? "one line dead"
                 : fault == kSlowSync ? "fsync 50 ms"
                                      : "healthy");
  const auto dir =
      std::filesystem::temp_directory_path() / ("tarvenixd-httpbench-" + std::to_string(getpid()));
  for (auto _ : state) {
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    Config config = BusyForecourt(dir);
    if (fault == kDeadLine) {
      LineConfig dead{.device = (dir / "no-such-tty").string()};
      dead.pumps.push_back({.id = "dead", .name = "dead", .addr = 1, .price = 1.85});
      config.lines.push_back(std::move(dead));
    }
    std::optional<testing::FaultVfs> vfs;
    if (fault == kSlowSync) {
      vfs.emplace();
      vfs->SetSyncDelayUs(50'000);
    }
    std::FILE* sink = std::fopen("/dev/null", "w");
    Log log(sink);
    SimulatedLines simulated;
    Forecourt forecourt(config, log, nullptr, {}, simulated.Factory());
    Attendant attendant(forecourt, log, 0);
    api::Api http(forecourt, config);
    api::Server server(http, log, {.listen = "127.0.0.1:0"});
    server.Start();
    forecourt.Start();
    attendant.Start();

    // The publication time of every event, gathered from the ring now and
    // then rather than by another thread woken by each event.
    std::map<std::uint64_t, Clock::time_point> published;
    std::atomic<bool> running{true};
    std::thread gatherer([&] {
      std::uint64_t seen = forecourt.Events().LastSeq();
      while (running) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        for (const Event& e : forecourt.Events().Since(seen).events) {
          published[e.seq] = e.published;
          seen = e.seq;
        }
      }
    });

    const std::string url = server.Url();
    const auto port = static_cast<unsigned short>(std::stoi(url.substr(url.rfind(':') + 1)));
    const Seen seen = Load(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));

    running = false;
    gatherer.join();
    attendant.Stop();
    server.Stop();
    forecourt.Stop();
    std::fclose(sink);

    std::vector<double> delays;
    std::map<std::uint64_t, double> slowest;  // per event, the last of the clients
    for (const auto& client : seen.arrivals) {
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
    state.counters["requests"] = static_cast<double>(seen.requestMs.size());
    state.counters["failed"] = seen.failed;
    state.counters["request_p50_ms"] = Percentile(seen.requestMs, 0.5);
    state.counters["request_p99_ms"] = Percentile(seen.requestMs, 0.99);
    state.counters["events"] = static_cast<double>(slowest.size());
    state.counters["event_p50_ms"] = Percentile(delays, 0.5);
    state.counters["event_p99_ms"] = Percentile(delays, 0.99);
    state.counters["event_all_clients_p99_ms"] = Percentile(lastClient, 0.99);
  }
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_HttpUnderLoad)
    ->Arg(kNone)
    ->Arg(kDeadLine)
    ->Arg(kSlowSync)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

}  // namespace
}  // namespace tarvenix::bench
