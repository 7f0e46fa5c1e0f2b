// Many sites' uplinks against one broker: N = 10, 100 and 500 publishers in
// this process, each with its own journal (on /dev/shm when there is one:
// the disk of one machine is not what a site's uplink costs), its outbox
// and its uplink thread, against one Debian mosquitto on loopback, and one
// subscriber of tarvenix/+/+. Each site commits a sale's two records (payable,
// then cleared, a few hundred bytes each) every SALE_MS, offset per site,
// and publishes its status every 10 s. Reports records a second through
// the broker, the delay from a record's commit to the subscriber (p50,
// p99), and per site the CPU of the uplink (the process's, less the
// subscriber's and the driver's threads) and the memory the site added.
// Prints a Markdown table. Usage: uplink_bench [SECONDS] [SALE_MS] [N...]
#include <mosquitto.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "forecourt/events.hpp"
#include "forecourt/journal.hpp"
#include "forecourt/log.hpp"
#include "forecourt/uplink/uplink.hpp"
#include "support/child_process.hpp"

namespace {

namespace fs = std::filesystem;
using namespace tarvenix::forecourt;
using json = nlohmann::json;

std::int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// User and system seconds of RUSAGE_THREAD or RUSAGE_SELF.
double CpuSeconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// User and system seconds of another process of ours.
double ProcessCpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string field;
  double ticks = 0;
  for (int i = 1; i <= 15 && stat >> field; ++i) {
    if (i >= 14) {
      ticks += std::stod(field);
    }
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double RssMiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0;
  long resident = 0;
  statm >> pages >> resident;
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1048576.0;
}

// Receives every record and notes its delay from the commit time it
// carries.
struct Subscriber {
  std::mutex mutex;
  std::vector<double> delaysMs;
  std::atomic<std::int64_t> records{0};
  std::atomic<std::int64_t> statuses{0};
  std::atomic<bool> subscribed{false};
  double cpuSeconds = 0;
};

void OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
  auto& sub = *static_cast<Subscriber*>(self);
  const std::int64_t now = NowUs();
  const std::string_view topic(message->topic);
  if (topic.ends_with("/status")) {
    sub.statuses.fetch_add(1);
    return;
  }
  const json payload =
      json::parse(static_cast<const char*>(message->payload),
                  static_cast<const char*>(message->payload) + message->payloadlen, nullptr, false);
  if (payload.is_discarded()) {
    return;
  }
  sub.records.fetch_add(1);
  const std::int64_t committed = payload["record"].value("committed_us", std::int64_t{0});
  std::lock_guard lock(sub.mutex);
  sub.delaysMs.push_back(static_cast<double>(now - committed) / 1000.0);
}

struct Row {
  int sites = 0;
  double recordsPerSecond = 0;
  double p50 = 0;
  double p99 = 0;
  double cpuPercentPerSite = 0;
  double kibPerSite = 0;
  std::int64_t backlog = 0;
  double brokerCpuPercent = 0;
};

Row Run(int sites, int seconds, int saleMs, std::uint16_t port, const fs::path& root,
        pid_t broker) {
  Log log(stderr, false);
  Subscriber subscriber;
  mosquitto* sub = mosquitto_new(("bench-hq-" + std::to_string(sites)).c_str(), true, &subscriber);
  mosquitto_message_callback_set(sub, OnMessage);
  mosquitto_connect(sub, "127.0.0.1", port, 60);
  mosquitto_subscribe(sub, nullptr, "tarvenix/+/+", 1);
  std::atomic<bool> stop{false};
  std::thread subscriberThread([&] {
    while (!stop.load()) {
      mosquitto_loop(sub, 100, 1);
    }
    subscriber.cpuSeconds = CpuSeconds(RUSAGE_THREAD);
  });

  const double rssBefore = RssMiB();
  struct Site {
    EventRing ring;
    std::unique_ptr<Journal> journal;
    std::unique_ptr<uplink::Uplink> link;
  };
  std::vector<std::unique_ptr<Site>> all;
  for (int i = 0; i < sites; ++i) {
    auto site = std::make_unique<Site>();
    const fs::path dir = root / ("n" + std::to_string(sites)) / ("site-" + std::to_string(i));
    fs::create_directories(dir);
    const std::string path = (dir / "journal.db").string();
    site->journal = std::make_unique<Journal>(path, site->ring, [] { return NowUs() / 1000; });
    UplinkConfig config;
    config.enabled = true;
    config.site = "site-" + std::to_string(i);
    config.host = "127.0.0.1";
    config.port = port;
    config.keepaliveS = 60;
    site->link = std::make_unique<uplink::Uplink>(
        config, *site->journal, path, log,
        [] {
          return json{{"lines", 1}, {"pumps", 8}, {"pumps_online", 8}, {"open_sales", 0}};
        },
        uplink::ApplyPrices{});
    site->link->Start();
    all.push_back(std::move(site));
  }

  // A sale's record: the size of a transaction of the HTTP interface.
  const json sale = json::parse(
      R"({"client":"till-1","created":"2026-12-09T01:00:54.810Z","id":1,"locked_by":null,
      "message":"","money":4.625,"preset":{"volume":2.5},"price":1.85,"pump":"1",
      "reconciliation":"ok","recovered":false,"reference":"till-1-0001","state":"payable",
      "totals":{"money_after":2132,"money_before":1350,"volume_after":900,"volume_before":570},
      "updated":"2026-12-09T01:00:55.423Z","volume":2.5})");
  const std::int64_t received0 = subscriber.records.load();
  double driverCpu = 0;
  const double cpu0 = CpuSeconds(RUSAGE_SELF);
  const double brokerCpu0 = ProcessCpuSeconds(broker);
  const auto start = std::chrono::steady_clock::now();
  const auto end = start + std::chrono::seconds(seconds);
  std::int64_t committed = 0;
  {
    // One driver thread commits for every site, each at its own offset.
    std::thread driver([&] {
      std::int64_t n = 0;
      const double gapMs = static_cast<double>(saleMs) / sites;
      auto next = start;
      while (next < end) {
        std::this_thread::sleep_until(next);
        Site& site = *all[static_cast<std::size_t>(n % sites)];
        json record = sale;
        record["id"] = n;
        record["committed_us"] = NowUs();
        site.journal->TakeCommand("", record);
        ++n;
        next = start + std::chrono::microseconds(
                           static_cast<std::int64_t>(static_cast<double>(n) * gapMs * 1000.0 / 2));
      }
      committed = n;
      driverCpu = CpuSeconds(RUSAGE_THREAD);
    });
    driver.join();
  }
  // What was committed drains; then the figures.
  const auto drainUntil = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (subscriber.records.load() - received0 < committed &&
         std::chrono::steady_clock::now() < drainUntil) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = CpuSeconds(RUSAGE_SELF) - cpu0;
  const double brokerCpu = ProcessCpuSeconds(broker) - brokerCpu0;
  Row row;
  row.sites = sites;
  row.recordsPerSecond = static_cast<double>(subscriber.records.load() - received0) / elapsed;
  row.brokerCpuPercent = 100.0 * brokerCpu / elapsed;
  for (auto& site : all) {
    row.backlog += site->journal->OutboxBacklog().records;
  }
  row.kibPerSite = (RssMiB() - rssBefore) * 1024.0 / sites;
  stop.store(true);
  subscriberThread.join();
  row.cpuPercentPerSite =
      100.0 * (cpu - driverCpu - subscriber.cpuSeconds) / elapsed / static_cast<double>(sites);
  {
    std::lock_guard lock(subscriber.mutex);
    auto& d = subscriber.delaysMs;
    std::sort(d.begin(), d.end());
    if (!d.empty()) {
      row.p50 = d[d.size() / 2];
      row.p99 = d[std::min(d.size() - 1, d.size() * 99 / 100)];
    }
  }
  for (auto& site : all) {
    site->link->Stop();
  }
  all.clear();
  mosquitto_disconnect(sub);
  mosquitto_destroy(sub);
  return row;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 30;
  const int saleMs = argc > 2 ? std::atoi(argv[2]) : 3000;
  std::vector<int> counts;
  for (int i = 3; i < argc; ++i) {
    counts.push_back(std::atoi(argv[i]));
  }
  if (counts.empty()) {
    counts = {10, 100, 500};
  }
  // Each site holds three journal connections and a socket.
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  setrlimit(RLIMIT_NOFILE, &files);

  const fs::path shm = "/dev/shm";
  const fs::path root = (fs::is_directory(shm) ? shm : fs::temp_directory_path()) /
                        ("tarvenix-uplink-bench-" + std::to_string(getpid()));
  fs::create_directories(root);
  const std::uint16_t port = tarvenix::testing::FreeLoopbackPort();
  std::ofstream(root / "mosquitto.conf")
      << "listener " << port
      << " 127.0.0.1\nallow_anonymous true\nmax_queued_messages 100000\nlog_dest none\n";
  const pid_t broker = tarvenix::testing::Spawn(
      {"/usr/sbin/mosquitto", "-c", (root / "mosquitto.conf").string()}, root / "mosquitto.log");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  mosquitto_lib_init();

  std::printf(
      "| sites | records/s | commit→subscriber p50 | p99 | uplink CPU per site | memory per site | "
      "broker CPU | left in outboxes |\n");
  std::printf("|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  for (const int n : counts) {
    const Row row = Run(n, seconds, saleMs, port, root, broker);
    std::printf("| %d | %.0f | %.1f ms | %.1f ms | %.3f %% | %.0f KiB | %.1f %% | %lld |\n",
                row.sites, row.recordsPerSecond, row.p50, row.p99, row.cpuPercentPerSite,
                row.kibPerSite, row.brokerCpuPercent, static_cast<long long>(row.backlog));
    std::fflush(stdout);
  }
  rusage brokerUsage{};
  ::kill(broker, SIGTERM);
  int status = 0;
  wait4(broker, &status, 0, &brokerUsage);
  std::printf("\nmosquitto: %ld MiB peak RSS over all runs\n", brokerUsage.ru_maxrss / 1024);
  mosquitto_lib_cleanup();
  fs::remove_all(root);
  return 0;
}
