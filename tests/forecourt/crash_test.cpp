// Crash recovery for real: the simulated dispensers in a process of their
// own behind a pseudo-terminal, tarvenixd on it with the demo attendant, and
// kill -9 of the service at random moments of many deliveries (before a
// start, while fuelling, between a final reading and its commit), restarted
// each time. At the end every delivery the dispensers made is in the
// journal exactly once: the sales of each pump, in order, tile its
// totaliser counters from zero without a gap or an overlap, each with the
// dispenser's own volume and money; and the database is sound.
//
// Real processes take real time: the test is bounded (well under a minute)
// by small deliveries at a high flow on a fast line.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <thread>

#include "forecourt/database.hpp"
#include "support/child_process.hpp"

namespace tarvenix::forecourt {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int kSales = 24;
constexpr int kKills = 10;

using testing::ReadFile;
using testing::Reap;
using testing::Spawn;
using testing::WaitFor;

// Kills and reaps a child the test did not get to end, on every way out.
struct Child {
  pid_t pid;
  ~Child() {
    if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0) {
      ::kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
};

TEST(CrashTest, EveryDeliveryIsInTheJournalExactlyOnceAfterKills) {
  const fs::path dir = fs::temp_directory_path() / ("tarvenixd-crash-" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const fs::path tty = dir / "tty";
  const fs::path journal = dir / "journal.db";
  const fs::path config = dir / "forecourt.toml";
  const fs::path log = dir / "tarvenixd.log";
  // Port 0: the kernel picks a free one, so tests running beside this one
  // cannot take the port from under it.
  std::ofstream(config) << "database = \"" << journal.string() << "\"\n"
                        << "listen = \"127.0.0.1:0\"\n"
                        << "[[line]]\ndevice = \"" << tty.string() << "\"\nbaud = 19200\n"
                        << "[[line.pump]]\nid = \"1\"\naddress = 1\nprice = 1.85\n"
                        << "[[line.pump]]\nid = \"2\"\naddress = 2\nprice = 2.37\n";

  const pid_t sim = Spawn({TARVENIX_SIM, "--pty", "--dispensers", "2", "--flow", "300", "--baud",
                           "19200", "--link", tty.string()},
                          dir / "sim.log");
  ASSERT_GT(sim, 0);
  const Child simGuard{sim};
  ASSERT_TRUE(WaitFor([&] { return fs::exists(tty); }, 5s));

  const std::vector<std::string> service = {TARVENIXD, "--config",     config.string(),
                                            "--demo",  "--demo-sales", std::to_string(kSales)};
  // Twice at the worst moment: the final reading was acknowledged, so the
  // dispenser has gone idle, and the service dies before committing it.
  for (int kill = 0; kill < 2; ++kill) {
    std::vector<std::string> dying = service;
    dying.insert(dying.end(), {"--crash-after-final", "1"});
    const pid_t pid = Spawn(dying, log);
    ASSERT_GT(pid, 0);
    const Child guard{pid};
    int status = 0;
    ASSERT_TRUE(WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 20s));
  }
  std::mt19937 random(20261208);
  std::uniform_int_distribution<int> moment(50, 1200);
  for (int kill = 0; kill < kKills; ++kill) {
    const pid_t pid = Spawn(service, log);
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(moment(random)));
    ::kill(pid, SIGKILL);
    Reap(pid);
  }
  // The last run finishes the sales and stops cleanly.
  const fs::path last = dir / "last.log";
  const pid_t pid = Spawn(service, last);
  const Child guard{pid};
  const bool done =
      WaitFor([&] { return ReadFile(last).find("sales made") != std::string::npos; }, 40s);
  ::kill(pid, SIGTERM);
  const int status = Reap(pid);
  ::kill(sim, SIGTERM);
  Reap(sim);
  ASSERT_TRUE(done) << ReadFile(log) << ReadFile(last);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ReadFile(last);

  Database db(journal.string());
  EXPECT_EQ(db.QueryText("PRAGMA integrity_check"), "ok");
  EXPECT_EQ(db.QueryInt("SELECT count(*) FROM alerts WHERE kind != 'pump-offline'"), 0)
      << db.QueryText("SELECT group_concat(message, '; ') FROM alerts");
  EXPECT_EQ(db.QueryInt("SELECT count(*) FROM transactions WHERE state IN "
                        "('authorising', 'authorised', 'fuelling', 'payable', 'locked')"),
            0);
  std::map<std::string, std::int64_t> volumeCounter;  // where each pump's counters stand
  std::map<std::string, std::int64_t> moneyCounter;
  int sales = 0;
  int recovered = 0;
  Statement s = db.Prepare(
      "SELECT id, pump_id, state, volume_hundredths, money_thousandths, totals_volume_before, "
      "totals_money_before, "
      "totals_volume_after, totals_money_after, recovered FROM transactions ORDER BY id");
  while (s.Step()) {
    const std::string what = "transaction " + std::to_string(s.Int(0));
    const std::string pump = s.Text(1);
    const std::string state = s.Text(2);
    if (state == "failed" && s.IsNull(7)) {
      continue;  // refused before anything flowed
    }
    ASSERT_FALSE(s.IsNull(5) || s.IsNull(7)) << what;
    // No delivery between two sales, none counted twice.
    EXPECT_EQ(s.Int(5), volumeCounter[pump]) << what;
    EXPECT_EQ(s.Int(6), moneyCounter[pump]) << what;
    volumeCounter[pump] = s.Int(7);
    moneyCounter[pump] = s.Int(8);
    // Volume in the counters' own hundredths; money in thousandths, which
    // the money counter counts in hundredths.
    EXPECT_EQ(s.Int(3), s.Int(7) - s.Int(5)) << what;
    EXPECT_LE(std::abs(s.Int(4) - 10 * (s.Int(8) - s.Int(6))), 10) << what;
    if (state == "cleared") {
      ++sales;
    }
    recovered += static_cast<int>(s.Int(9));
  }
  EXPECT_GE(sales, kSales);
  EXPECT_GE(recovered, 2);
  // The counters the service read last are where the last sale left them.
  Statement pumps = db.Prepare("SELECT id, last_totals_volume FROM pumps");
  while (pumps.Step()) {
    EXPECT_EQ(pumps.Int(1), volumeCounter[pumps.Text(0)]) << pumps.Text(0);
  }
  std::cout << sales << " sales, " << recovered << " completed from the counters after a kill\n";
  if (!::testing::Test::HasFailure()) {
    fs::remove_all(dir);
  }
}

}  // namespace
}  // namespace tarvenix::forecourt
