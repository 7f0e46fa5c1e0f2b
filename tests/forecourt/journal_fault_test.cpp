// The journal on a disk that fails: writes and syncs that fail, and power
// cuts that lose whatever was not synced, in the manner of SQLite's own
// I/O-error and crash tests.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <tarvenix/lines/clock.hpp>

#include "forecourt/database.hpp"
#include "forecourt/forecourt.hpp"
#include "forecourt/simulated_lines.hpp"
#include "sim/simulated_line.hpp"
#include "support/fault_vfs.hpp"
#include "support/simulated_forecourt.hpp"

namespace tarvenix::forecourt {
namespace {

using testing::FaultVfs;

class JournalFaultTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = testing::FreshTestDirectory("journal-fault"); }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Path() const { return (dir_ / "journal.db").string(); }

  FaultVfs vfs_;
  std::filesystem::path dir_;
};

// The shim itself: after a cut at any write or sync of a run of commits,
// the database holds exactly the commits that returned, and is sound.
TEST_F(JournalFaultTest, APowerCutKeepsExactlyTheCommittedRows) {
  constexpr int kRows = 6;
  for (std::uint64_t cutAt = 1; cutAt <= 40; ++cutAt) {
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    int committed = 0;
    {
      Database db(Path());
      db.QueryText("PRAGMA journal_mode=WAL");
      db.Execute("PRAGMA synchronous=FULL; CREATE TABLE t(v INTEGER)");
      vfs_.FailAt(FaultVfs::Op::kSync, cutAt, /*sticky=*/true);
      for (int i = 1; i <= kRows; ++i) {
        try {
          db.Execute("INSERT INTO t VALUES(" + std::to_string(i) + ")");
          committed = i;
        } catch (const DatabaseError&) {
          break;
        }
      }
      vfs_.PowerCut();
    }
    vfs_.Heal();
    Database db(Path());
    EXPECT_EQ(db.QueryText("PRAGMA integrity_check"), "ok") << "cut at sync " << cutAt;
    EXPECT_EQ(db.QueryInt("SELECT count(*) FROM t"), committed) << "cut at sync " << cutAt;
    EXPECT_EQ(db.QueryInt("SELECT coalesce(max(v), 0) FROM t"), committed);
  }
}

// Whole sales on simulated dispensers and simulated time, on a disk that
// fails. After each run the invariants: every unit of fuel the dispensers'
// counters moved is in exactly one sale, no sale is left open, and the
// journal is sound.
// The VFS (in the first base) outlives the service (in the second).
class ForecourtFaultTest : public JournalFaultTest, protected testing::SimulatedForecourt {
 protected:
  static constexpr int kPumps = 3;

  void Fresh() {
    forecourt_.reset();
    vfs_.Heal();
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    for (std::uint8_t addr = 1; addr <= kPumps; ++addr) {
      peer_.AddDispenser(addr);
    }
  }
  void Open() {
    forecourt_.reset();
    // Three rounds of sales go unpaid.
    Config config = SimulatedConfig(kPumps, Path());
    config.settings.maxUnpaid = 8;
    Make(config);
    RunUntilOnline();
  }
  void Steps(int n) {
    for (int i = 0; i < n; ++i) {
      forecourt_->Step();
    }
  }
  // Asks each pump for a sale, as a point of sale does: what the service
  // refuses (the journal's fault) is simply not started.
  void StartSales(const std::string& round) {
    std::vector<std::future<Outcome>> futures;
    for (int p = 1; p <= kPumps; ++p) {
      futures.push_back(forecourt_->Authorise({.pumpId = std::to_string(p),
                                               .preset = 1.5 + p,
                                               .client = "pos",
                                               .reference = round + std::to_string(p)}));
    }
    for (auto& f : futures) {
      RunUntil([&] { return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
      const Outcome o = f.get();
      EXPECT_TRUE(o.Ok() || o.reason == "journal-error" || o.reason == "pump-busy") << o.reason;
    }
  }
  // Every pump idle, nothing held, every sale final and reconciled.
  void Settle() {
    RunUntil([&] {
      return !forecourt_->GetJournal().Failing() &&
             std::ranges::all_of(forecourt_->Pumps(),
                                 [](auto& p) { return p.online && !p.transactionId; }) &&
             forecourt_->GetJournal().Unfinished().empty();
    });
  }
  void CheckInvariants(const std::string& run) {
    std::uint64_t counted = 0;
    for (std::uint8_t addr = 1; addr <= kPumps; ++addr) {
      counted += peer_.At(addr)->TotalVolume();
    }
    Database db(Path());
    EXPECT_EQ(db.QueryText("PRAGMA integrity_check"), "ok") << run;
    EXPECT_EQ(db.QueryInt("SELECT coalesce(sum(volume_hundredths), 0) FROM transactions "
                          "WHERE state IN ('payable', 'locked', 'cleared')"),
              static_cast<std::int64_t>(counted))
        << run;
    EXPECT_EQ(
        db.QueryInt("SELECT count(*) FROM transactions WHERE state IN "
                    "('authorising', 'authorised', 'fuelling') OR reconciliation = 'pending'"),
        0)
        << run;
    // Each delivery of a sale is its preset, whole: nothing split or doubled.
    EXPECT_EQ(db.QueryInt("SELECT count(*) FROM transactions WHERE state = 'payable' AND "
                          "volume_hundredths <> preset_units"),
              0)
        << run;
    EXPECT_EQ(db.QueryInt("SELECT count(*) FROM alerts WHERE kind = 'unattended-delivery'"), 0)
        << run;
  }
};

// Fail the Nth write or sync through two rounds of sales, once or for good
// until healed; the service keeps the deliveries and commits them after.
TEST_F(ForecourtFaultTest, IoErrorsAtEveryPointLoseAndDoubleNothing) {
  for (const auto op : {FaultVfs::Op::kWrite, FaultVfs::Op::kSync}) {
    int runs = 0;
    // Until the fault falls past the sales' last write or sync.
    for (std::uint64_t n = 1;; n += 1 + n / 8) {
      const bool sticky = n % 3 != 0;
      const std::string run = std::string(op == FaultVfs::Op::kWrite ? "write " : "sync ") +
                              std::to_string(n) + (sticky ? " sticky" : "");
      Fresh();
      Open();
      vfs_.FailAt(op, n, sticky);
      StartSales("a");
      Steps(40);
      StartSales("b");  // refused while the journal fails, or a pump busy
      Steps(300);
      const bool fired = vfs_.Fired();
      // Until healed the service says so (/healthz is 503) and starts nothing.
      EXPECT_EQ(forecourt_->GetJournal().Failing(), fired && sticky) << run;
      vfs_.Heal();
      Settle();
      // The service is whole again: new sales start and finish.
      StartSales("c");
      Settle();
      if (HasFailure()) {
        FAIL() << run;
      }
      CheckInvariants(run);
      ++runs;
      if (!fired) {
        break;
      }
      ASSERT_LT(runs, 80) << run;
    }
    EXPECT_GT(runs, 8);
  }
}

// A power cut at many points of many sales: everything not synced is lost,
// the service dies with it and starts again on the same dispensers.
TEST_F(ForecourtFaultTest, PowerCutsAtEveryPointLoseAndDoubleNothing) {
  for (std::uint64_t cutAt = 1; cutAt <= 16; ++cutAt) {
    const std::string run = "cut at sync " + std::to_string(cutAt);
    Fresh();
    Open();
    vfs_.FailAt(FaultVfs::Op::kSync, cutAt, /*sticky=*/true);
    StartSales("a");
    Steps(static_cast<int>(cutAt * 25));
    vfs_.PowerCut();
    forecourt_.reset();
    vfs_.Heal();
    Open();
    Settle();
    StartSales("b");
    Settle();
    if (HasFailure()) {
      FAIL() << run;
    }
    CheckInvariants(run);
  }
}

// A command whose client stopped waiting is never sent: past its deadline
// on the line's clock, or withdrawn before the line took it. One taken in
// time is carried out whatever its client does. A line holds at most
// kMaxQueuedCommands.
TEST_F(ForecourtFaultTest, ACommandWhoseClientGaveUpIsNeverSent) {
  using std::chrono::milliseconds;
  Fresh();
  Open();
  auto ready = [](std::future<Outcome>& f) {
    return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
  };
  auto late = forecourt_->Authorise({.pumpId = "1", .preset = 2, .client = "pos", .reference = "x"},
                                    forecourt_->DeadlineIn(milliseconds(5)));
  Deadline given = forecourt_->DeadlineIn(milliseconds(60'000));
  auto withdrawn =
      forecourt_->Authorise({.pumpId = "2", .preset = 2, .client = "pos", .reference = "y"}, given);
  EXPECT_TRUE(given.Withdraw());
  clock_.AdvanceMs(6);
  Deadline kept = forecourt_->DeadlineIn(milliseconds(60'000));
  auto taken = forecourt_->Authorise({.pumpId = "3", .preset = 2, .client = "pos"}, kept);
  RunUntil([&] { return ready(late) && ready(withdrawn) && ready(taken); });
  EXPECT_EQ(late.get().reason, "expired");
  EXPECT_EQ(withdrawn.get().reason, "expired");
  EXPECT_TRUE(taken.get().Ok());
  EXPECT_FALSE(kept.Withdraw());  // sent: it runs to its end
  Settle();
  EXPECT_FALSE(forecourt_->GetJournal().FindByReference("pos", "x"));
  EXPECT_FALSE(forecourt_->GetJournal().FindByReference("pos", "y"));
  EXPECT_EQ(peer_.At(1)->TotalVolume() + peer_.At(2)->TotalVolume(), 0u);
  EXPECT_EQ(peer_.At(3)->TotalVolume(), 200u);

  std::vector<std::future<Outcome>> queued;
  for (std::size_t i = 0; i <= kMaxQueuedCommands; ++i) {
    queued.push_back(forecourt_->ReadTotals("1"));
  }
  ASSERT_TRUE(ready(queued.back()));
  EXPECT_EQ(queued.back().get().reason, "line-busy");
  queued.pop_back();
  for (auto& f : queued) {
    RunUntil([&] { return ready(f); });
    EXPECT_TRUE(f.get().Ok());
  }
  CheckInvariants("deadlines");
}

}  // namespace
}  // namespace tarvenix::forecourt
