// The forecourt service on simulated dispensers and simulated time: whole
// sales, the buffer, refusals, outages, totaliser faults and recovery after
// the service died. Each test steps the line workers on its own thread.
#include "forecourt/forecourt.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <nlohmann/json.hpp>
#include <thread>

#include "clock.hpp"
#include "forecourt/json.hpp"
#include "line_service.hpp"
#include "simulated_line.hpp"

namespace tarvenix::forecourt {
namespace {

constexpr int kMaxSteps = 20'000;

class ForecourtTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("forecourt-test-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    config_ = SimulatedConfig(3, (dir_ / "journal.db").string());
    peer_.AddDispenser(1);
    peer_.AddDispenser(2);
    peer_.AddDispenser(3);
  }
  void TearDown() override {
    forecourt_.reset();
    std::filesystem::remove_all(dir_);
  }

  // (Re)starts the service on the same dispensers and journal.
  Forecourt& Open() {
    Make();
    RunUntil(
        [&] { return std::ranges::all_of(Service().Pumps(), [](auto& p) { return p.online; }); });
    return *forecourt_;
  }
  // The same, without waiting for the pumps' first answers.
  Forecourt& Make() {
    forecourt_.reset();
    forecourt_ = std::make_unique<Forecourt>(
        config_, log_, &clock_, [this] { return kEpochMs + clock_.NowUs() / 1000; },
        std::vector<sim::SimulatedLine*>{&peer_});
    return *forecourt_;
  }
  Forecourt& Service() { return *forecourt_; }

  template <typename Done>
  void RunUntil(Done done) {
    for (int i = 0; i < kMaxSteps; ++i) {
      if (done()) {
        return;
      }
      forecourt_->Step();
    }
    FAIL() << "condition not reached in " << kMaxSteps << " steps";
  }
  Outcome Await(std::future<Outcome> future) {
    RunUntil([&] { return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
    return future.get();
  }
  Outcome AuthoriseVolume(const std::string& pump, double volume,
                          std::optional<std::string> reference = std::nullopt) {
    return Await(Service().Authorise({.pumpId = pump,
                                      .kind = PresetKind::kVolume,
                                      .preset = volume,
                                      .client = "pos1",
                                      .reference = std::move(reference)}));
  }
  Transaction Txn(std::int64_t id) { return *Service().GetJournal().Get(id); }
  Transaction RunToEnd(std::int64_t id) {
    RunUntil([&] {
      const Transaction t = Txn(id);
      return !IsOpen(t.state) && t.reconciliation != Reconciliation::kPending;
    });
    return Txn(id);
  }
  std::vector<Alert> Alerts() { return Service().GetJournal().Alerts(false); }

  static constexpr std::int64_t kEpochMs = 1'796'000'000'000;
  std::filesystem::path dir_;
  Config config_;
  std::FILE* sink_ = std::fopen("/dev/null", "w");
  Log log_{sink_};
  sim::ManualClock clock_;
  sim::SimulatedLine peer_{clock_};
  std::unique_ptr<Forecourt> forecourt_;
};

TEST_F(ForecourtTest, VolumeSaleGoesThroughTheBufferAndEveryChangeIsAnEvent) {
  Open();
  const std::uint64_t firstSeq = Service().Events().LastSeq();
  const Outcome started = AuthoriseVolume("1", 10.0);
  ASSERT_TRUE(started.Ok()) << started.message;
  EXPECT_EQ(started.transaction->state, TxnState::kAuthorised);
  RunUntil([&] { return Service().Pump("1")->state == PumpState::kFuelling; });

  const Transaction sale = RunToEnd(started.transaction->id);
  EXPECT_EQ(sale.state, TxnState::kPayable);
  EXPECT_DOUBLE_EQ(sale.volume, 10.0);
  EXPECT_DOUBLE_EQ(sale.money, 18.5);
  EXPECT_EQ(sale.reconciliation, Reconciliation::kOk);
  EXPECT_EQ(*sale.totalsVolumeAfter - *sale.totalsVolumeBefore, 1000);
  EXPECT_EQ(Service().Pump("1")->unpaid, 1u);
  EXPECT_EQ(Service().Pump("1")->state, PumpState::kIdle);

  // Only the holder of the lock may clear or unlock.
  Journal& journal = Service().GetJournal();
  EXPECT_TRUE(Service().Lock(sale.id, "pos1").Ok());
  EXPECT_EQ(Service().Lock(sale.id, "pos2").reason, "locked");
  EXPECT_EQ(Service().Clear(sale.id, "pos2").reason, "locked");
  EXPECT_EQ(Service().Unlock(sale.id, "pos2").reason, "locked");
  EXPECT_TRUE(Service().Unlock(sale.id, "pos1").Ok());
  EXPECT_EQ(Service().Unlock(sale.id, "pos1").reason, "not-locked");
  EXPECT_TRUE(Service().Lock(sale.id, "pos2").Ok());
  EXPECT_TRUE(Service().Clear(sale.id, "pos2").Ok());
  EXPECT_EQ(Service().Clear(sale.id, "pos2").reason, "not-payable");
  EXPECT_EQ(Service().Lock(999, "pos1").reason, "not-found");
  EXPECT_EQ(journal.Get(sale.id)->state, TxnState::kCleared);
  EXPECT_EQ(Service().Pump("1")->unpaid, 0u);

  // The transaction's states, in order, with rising sequence numbers.
  std::vector<std::string> states;
  std::uint64_t seq = firstSeq;
  bool liveSeen = false;
  std::string pumpState;
  for (const Event& e : Service().Events().Since(firstSeq).events) {
    EXPECT_GT(e.seq, seq);
    seq = e.seq;
    liveSeen = liveSeen || e.kind == EventKind::kLive;
    const auto data = nlohmann::json::parse(e.data);
    if (e.kind == EventKind::kPump && data["pump"] == "1") {
      pumpState = data["state"];
    }
    if (e.kind == EventKind::kTransaction) {
      if (states.empty() || states.back() != data["state"]) {
        states.push_back(data["state"]);
      }
      // The pump has let go of the sale by the time it is payable.
      if (data["state"] == "payable") {
        EXPECT_NE(pumpState, "fuelling");
      }
    }
  }
  EXPECT_TRUE(liveSeen);
  EXPECT_EQ(states, (std::vector<std::string>{"authorising", "authorised", "fuelling", "payable",
                                              "locked", "payable", "locked", "cleared"}));
}

TEST_F(ForecourtTest, MoneyPresetStopAndZeroVolume) {
  Open();
  // By money: the dispenser stops at the last hundredth the money pays for.
  const Outcome byMoney = Await(Service().Authorise(
      {.pumpId = "2", .kind = PresetKind::kMoney, .preset = 5, .price = 2.0, .client = "pos1"}));
  ASSERT_TRUE(byMoney.Ok()) << byMoney.message;
  const Transaction money = RunToEnd(byMoney.transaction->id);
  EXPECT_DOUBLE_EQ(money.volume, 2.5);
  EXPECT_DOUBLE_EQ(money.money, 5.0);
  EXPECT_EQ(money.reconciliation, Reconciliation::kOk);

  // Stopped mid-delivery: what was delivered is a payable sale.
  const Outcome long_ = AuthoriseVolume("1", 50.0);
  RunUntil([&] { return Service().Pump("1")->liveVolume > 2.0; });
  ASSERT_TRUE(Await(Service().StopPump("1")).Ok());
  const Transaction stopped = RunToEnd(long_.transaction->id);
  EXPECT_EQ(stopped.state, TxnState::kPayable);
  EXPECT_GT(stopped.volume, 2.0);
  EXPECT_LT(stopped.volume, 50.0);
  EXPECT_EQ(stopped.reconciliation, Reconciliation::kOk);

  // Nobody lifts the nozzle: authorised, then stopped with nothing
  // delivered.
  peer_.AddDispenser(3, {.autoNozzle = false});
  const Outcome idle = AuthoriseVolume("3", 5.0);
  ASSERT_TRUE(idle.Ok());
  for (int i = 0; i < 50; ++i) {
    Service().Step();
  }
  EXPECT_EQ(Service().Pump("3")->state, PumpState::kAuthorised);
  EXPECT_EQ(AuthoriseVolume("3", 5.0).reason, "pump-busy");
  ASSERT_TRUE(Await(Service().StopPump("3")).Ok());
  const Transaction cancelled = RunToEnd(idle.transaction->id);
  EXPECT_EQ(cancelled.state, TxnState::kCancelled);
  EXPECT_EQ(cancelled.volume, 0.0);
  EXPECT_EQ(Service().Pump("3")->unpaid, 0u);
}

TEST_F(ForecourtTest, RefusalsTouchNoDispenser) {
  Open();
  struct Case {
    AuthoriseRequest request;
    std::string reason;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<Case> cases = {
      {{.pumpId = "9", .preset = 1}, "unknown-pump"},
      {{.pumpId = "1", .preset = 0}, "bad-preset"},
      {{.pumpId = "1", .preset = -5}, "bad-preset"},
      {{.pumpId = "1", .preset = nan}, "bad-preset"},
      {{.pumpId = "1", .preset = 0.04}, "bad-preset"},  // rounds to no dose: unlimited
      {{.pumpId = "1", .preset = 1000}, "bad-preset"},  // beyond the command's 999.9
      {{.pumpId = "1", .kind = PresetKind::kMoney, .preset = 10000}, "bad-preset"},
      {{.pumpId = "1", .preset = 1, .price = 0}, "bad-price"},
      {{.pumpId = "1", .preset = 1, .price = 100}, "bad-price"},  // would lose a digit
      {{.pumpId = "1", .preset = 1, .price = nan}, "bad-price"},
  };
  for (int i = 0; i < 20; ++i) {
    Service().Step();  // past the first reading of every pump's counters
  }
  const std::uint64_t frames = peer_.FramesHeard();
  for (const Case& c : cases) {
    // A refusal is answered before any exchange: run no step in between.
    auto future = Service().Authorise(c.request);
    Service().Step();
    const Outcome outcome = future.get();
    EXPECT_EQ(outcome.reason, c.reason) << c.request.preset;
    EXPECT_FALSE(outcome.message.empty());
    EXPECT_FALSE(outcome.transaction);
  }
  // Only the step after the unknown pump, whose refusal never reached the
  // line's queue, polled.
  EXPECT_EQ(peer_.FramesHeard(), frames + 1);
  EXPECT_TRUE(Service().GetJournal().List({}).empty());
  EXPECT_EQ(Await(Service().SetPrice("1", -1)).reason, "bad-price");
  ASSERT_TRUE(Await(Service().SetPrice("1", 2.5)).Ok());
  EXPECT_EQ(AuthoriseVolume("1", 1.0).transaction->price, 2.5);
}

TEST_F(ForecourtTest, MaxUnpaidAndIdempotentAuthorisation) {
  Open();
  const Outcome first = AuthoriseVolume("1", 1.0, "ticket-1");
  ASSERT_TRUE(first.Ok());
  // A point of sale that retries gets the same transaction; the dispenser
  // is not started again.
  const Outcome retried = AuthoriseVolume("1", 1.0, "ticket-1");
  EXPECT_TRUE(retried.existing);
  EXPECT_EQ(retried.transaction->id, first.transaction->id);
  RunToEnd(first.transaction->id);
  EXPECT_EQ(AuthoriseVolume("1", 1.0, "ticket-1").transaction->id, first.transaction->id);
  const std::int64_t second = AuthoriseVolume("1", 1.0, "ticket-2").transaction->id;
  RunToEnd(second);
  EXPECT_EQ(AuthoriseVolume("1", 1.0, "ticket-3").reason, "too-many-unpaid");
  EXPECT_TRUE(Service().Clear(second, "pos1").Ok());
  EXPECT_TRUE(AuthoriseVolume("1", 1.0, "ticket-3").Ok());
  EXPECT_EQ(Service().GetJournal().List({}).size(), 3u);
  EXPECT_EQ(peer_.At(1)->TotalVolume(), 200u + peer_.At(1)->Current().volume);
}

TEST_F(ForecourtTest, OfflinePumpIsProbedWithBackoffAndComesBack) {
  Open();
  peer_.SetFaults(2, sim::FaultPlan{}.With(sim::FaultKind::kNoReply, 1.0), 7);
  RunUntil([&] { return !Service().Pump("2")->online; });
  EXPECT_EQ(Service().Pump("2")->state, PumpState::kOffline);
  EXPECT_EQ(AuthoriseVolume("2", 1.0).reason, "pump-offline");
  EXPECT_EQ(Await(Service().ReadTotals("2")).reason, "pump-offline");
  // An emergency stop is sent all the same.
  EXPECT_EQ(Await(Service().StopPump("2")).reason, "dispenser-refused");
  ASSERT_EQ(Alerts().size(), 1u);
  EXPECT_EQ(Alerts()[0].kind, "pump-offline");
  // The others are polled on meanwhile, and stay fresh.
  const std::uint64_t since = clock_.NowUs();
  RunUntil([&] { return clock_.NowUs() - since > 40'000'000; });
  EXPECT_TRUE(Service().Pump("1")->online);
  EXPECT_LT(*Service().Pump("1")->stateAgeUs, 1'000'000u);
  const auto heard = peer_.FramesHeard();
  peer_.SetFaults(2, sim::FaultPlan{}, 7);
  RunUntil([&] { return Service().Pump("2")->online; });
  EXPECT_GT(peer_.FramesHeard(), heard);
  EXPECT_TRUE(AuthoriseVolume("2", 1.0).Ok());
}

TEST_F(ForecourtTest, CountersThatMoveWithoutASaleRaiseAlerts) {
  Open();
  // The meter slips during a delivery: the sale and its counters disagree.
  const Outcome started = AuthoriseVolume("1", 5.0);
  RunUntil([&] { return Service().Pump("1")->liveVolume > 1.0; });
  peer_.At(1)->SlipTotals(30, 0);
  const Transaction sale = RunToEnd(started.transaction->id);
  EXPECT_EQ(sale.reconciliation, Reconciliation::kMismatch);
  EXPECT_DOUBLE_EQ(sale.volume, 5.0);
  ASSERT_EQ(Alerts().size(), 1u);
  EXPECT_EQ(Alerts()[0].kind, "totals-mismatch");
  EXPECT_EQ(Alerts()[0].transactionId, sale.id);

  // Fuel drawn while the pump was idle shows at the next authorisation.
  peer_.At(1)->SlipTotals(120, 222);
  EXPECT_TRUE(AuthoriseVolume("1", 1.0).Ok());
  ASSERT_EQ(Alerts().size(), 2u);
  EXPECT_EQ(Alerts()[0].kind, "unattended-delivery");
  const auto details = nlohmann::json::parse(Alerts()[0].details);
  EXPECT_EQ(
      details["volume_after"].get<std::int64_t>() - details["volume_before"].get<std::int64_t>(),
      120);
  EXPECT_TRUE(Service().GetJournal().Acknowledge(Alerts()[0].id).Ok());
  EXPECT_EQ(Service().GetJournal().Alerts(true).size(), 1u);
  EXPECT_EQ(Service().GetJournal().Acknowledge(99).reason, "not-found");

  // A delivery started by someone else is followed to its end and reported
  // once, not again at the pump's next sale.
  RunToEnd(AuthoriseVolume("3", 1.0).transaction->id);
  {
    sim::LineService link(clock_);
    link.Attach(1, peer_);
    TVM30 other(link, 0, sim::SleeperOn(clock_));
    other.InitLine(1);
    other.SetUnitPrice(1, 3, 1.0);
    other.SetDoseVolume(1, 3, 2.0);
    other.StartPump(1, 3, 1);
  }
  RunUntil([&] { return Alerts().size() == 3; });
  EXPECT_EQ(Alerts()[0].kind, "unattended-delivery");
  EXPECT_EQ(nlohmann::json::parse(Alerts()[0].details)["volume"], 2.0);
  RunUntil([&] { return Service().Pump("3")->state == PumpState::kIdle; });
  EXPECT_TRUE(AuthoriseVolume("3", 1.0).Ok());
  EXPECT_EQ(Alerts().size(), 3u);

  // An idle pump's counters are read now and then: fuel drawn there shows
  // without a sale.
  peer_.At(2)->SlipTotals(10, 10);
  const std::uint64_t slipped = clock_.NowUs();
  RunUntil([&] { return Alerts().size() == 4; });
  EXPECT_EQ(Alerts()[0].pumpId, "2");
  EXPECT_LE(clock_.NowUs() - slipped, 61'000'000u);
}

TEST_F(ForecourtTest, EverySaleCompletesOnALineWithEveryKindOfFault) {
  sim::FaultPlan plan;
  for (std::size_t k = 0; k < sim::kFaultKindCount; ++k) {
    plan.probability[k] = 0.03;
  }
  for (std::uint8_t addr = 1; addr <= 3; ++addr) {
    peer_.SetFaults(addr, plan, 42);
  }
  Open();
  std::vector<std::int64_t> sales;
  for (int round = 0; round < 4; ++round) {
    for (const std::string pump : {"1", "2", "3"}) {
      Outcome outcome;
      for (int attempt = 0; attempt < 5 && !outcome.transaction; ++attempt) {
        RunUntil([&] { return Service().Pump(pump)->online; });
        outcome = AuthoriseVolume(pump, 2.0, pump + "-" + std::to_string(round));
      }
      ASSERT_TRUE(outcome.transaction) << outcome.message;
      sales.push_back(outcome.transaction->id);
    }
    for (std::int64_t id : sales) {
      const Transaction t = RunToEnd(id);
      if (IsUnpaid(t.state)) {
        Service().Clear(id, "pos1");
      }
    }
  }
  // Every sale is the dispenser's own delivery, once.
  double journalVolume = 0;
  for (std::int64_t id : sales) {
    const Transaction t = Txn(id);
    EXPECT_TRUE(t.state == TxnState::kCleared || t.state == TxnState::kFailed) << Name(t.state);
    if (t.state == TxnState::kCleared) {
      EXPECT_DOUBLE_EQ(t.volume, 2.0);
      journalVolume += t.volume;
    }
  }
  const double simulated =
      static_cast<double>(peer_.At(1)->TotalVolume() + peer_.At(2)->TotalVolume() +
                          peer_.At(3)->TotalVolume()) /
      100;
  EXPECT_DOUBLE_EQ(journalVolume, simulated);
  for (std::size_t k = 0; k < sim::kFaultKindCount; ++k) {
    std::uint64_t hits = 0;
    for (std::uint8_t addr = 1; addr <= 3; ++addr) {
      hits += peer_.Faults(addr)->Counts()[k];
    }
    EXPECT_GT(hits, 0u) << sim::FaultName(static_cast<sim::FaultKind>(k));
  }
}

TEST_F(ForecourtTest, RestartFollowsOnOrCompletesFromTheCounters) {
  Open();
  const std::int64_t fuelling = AuthoriseVolume("1", 20.0).transaction->id;
  const std::int64_t lost = AuthoriseVolume("2", 3.0).transaction->id;
  RunUntil([&] { return Service().Pump("1")->liveVolume > 1.0; });
  const std::uint64_t lastSeq = Service().Events().LastSeq();
  forecourt_.reset();  // the service dies

  // Meanwhile pump 2's delivery ends and its final reading is collected and
  // acknowledged, by a host that then dies too: the reading is gone.
  {
    sim::LineService link(clock_);
    link.Attach(1, peer_);
    TVM30 other(link, 0, sim::SleeperOn(clock_));
    other.InitLine(1);
    other.PollState(1, 2);
    double money = 0;
    while (other.PumpStateOf(1, 2) == dispenser_state::kDelivering) {
      other.ReadLive(1, 2, money);
      clock_.AdvanceMs(200);
    }
  }
  // And a third transaction was written but its start never sent.
  {
    EventRing ring;
    Journal journal(config_.database, ring, [] { return kEpochMs; });
    Transaction unsent;
    unsent.pumpId = "3";
    unsent.client = "pos1";
    unsent.price = 1.85;
    unsent.preset = 1;
    unsent.totalsVolumeBefore = static_cast<std::int64_t>(peer_.At(3)->TotalVolume());
    unsent.totalsMoneyBefore = static_cast<std::int64_t>(peer_.At(3)->TotalMoney());
    journal.Insert(unsent);
  }

  Open();
  EXPECT_GT(Service().Events().Since(0).events.front().seq, lastSeq);
  const Transaction followed = RunToEnd(fuelling);
  EXPECT_EQ(followed.state, TxnState::kPayable);
  EXPECT_DOUBLE_EQ(followed.volume, 20.0);
  EXPECT_DOUBLE_EQ(followed.money, 37.0);
  EXPECT_FALSE(followed.recovered);
  EXPECT_EQ(followed.reconciliation, Reconciliation::kOk);

  const Transaction recovered = RunToEnd(lost);
  EXPECT_EQ(recovered.state, TxnState::kPayable);
  EXPECT_TRUE(recovered.recovered);
  EXPECT_DOUBLE_EQ(recovered.volume, 3.0);
  EXPECT_DOUBLE_EQ(recovered.money, 5.55);

  const auto failed = Service().GetJournal().List({.pumpId = "3"});
  ASSERT_EQ(failed.size(), 1u);
  RunUntil([&] { return Txn(failed[0].id).state == TxnState::kFailed; });
  EXPECT_EQ(Service().GetJournal().List({}).size(), 3u);
}

// One line of 12 pumps, 4 and then all of them delivering: every pump
// still takes its turn, so no state grows older than about two exchanges
// per pump, a lifted nozzle shows within that bound, and every delivery is
// read on.
TEST_F(ForecourtTest, EveryPumpIsSeenHoweverManyDeliver) {
  constexpr std::uint8_t kPumps = 12;
  config_ = SimulatedConfig(kPumps, (dir_ / "journal.db").string());
  for (std::uint8_t addr = 4; addr <= kPumps; ++addr) {
    peer_.AddDispenser(addr);
  }
  peer_.AddDispenser(kPumps, {.autoNozzle = false});
  Open();
  // A poll or a live reading is 24 to 27 bytes at 2.083 ms; an
  // authorisation or a sale's counters take a few exchanges more.
  constexpr std::uint64_t kExchangeUs = 60'000;
  constexpr std::uint64_t kBoundUs = 2 * kPumps * kExchangeUs + 5 * kExchangeUs;
  std::uint64_t oldest = 0;
  auto runFor = [&](std::uint64_t us) {
    const std::uint64_t until = clock_.NowUs() + us;
    while (clock_.NowUs() < until) {
      Service().Step();
      for (const PumpSnapshot& pump : Service().Pumps()) {
        ASSERT_TRUE(pump.online) << pump.id;
        oldest = std::max(oldest, *pump.stateAgeUs);
        // A pump shows a sale only while the sale is open.
        if (pump.transactionId) {
          EXPECT_TRUE(IsOpen(Txn(*pump.transactionId).state)) << pump.id;
        }
      }
    }
  };
  auto authorise = [&](std::uint8_t from, std::uint8_t to) {
    std::vector<std::future<Outcome>> started;
    for (std::uint8_t addr = from; addr <= to; ++addr) {
      started.push_back(
          Service().Authorise({.pumpId = std::to_string(addr), .preset = 900, .client = "pos1"}));
    }
    for (auto& future : started) {
      ASSERT_TRUE(Await(std::move(future)).Ok());
    }
  };

  authorise(1, 4);
  runFor(10'000'000);
  EXPECT_LE(oldest, kBoundUs);
  for (std::uint8_t addr = 1; addr <= 4; ++addr) {
    EXPECT_EQ(Service().Pump(std::to_string(addr))->state, PumpState::kFuelling);
  }

  const std::uint64_t lifted = clock_.NowUs();
  peer_.At(kPumps)->LiftNozzle(lifted);
  RunUntil([&] { return Service().Pump("12")->state == PumpState::kCalling; });
  EXPECT_LE(clock_.NowUs() - lifted, kBoundUs);
  peer_.At(kPumps)->HangNozzle(clock_.NowUs());

  // Now every pump delivers; each one's reading still moves.
  authorise(5, kPumps - 1);
  Service().Authorise({.pumpId = "12", .preset = 900, .client = "pos1"});
  RunUntil([&] { return Service().Pump("12")->state == PumpState::kAuthorised; });
  peer_.At(kPumps)->LiftNozzle(clock_.NowUs());
  oldest = 0;
  runFor(2'000'000);
  std::vector<double> before;
  for (const PumpSnapshot& pump : Service().Pumps()) {
    before.push_back(pump.liveVolume);
  }
  runFor(10'000'000);
  EXPECT_LE(oldest, kBoundUs);
  const auto after = Service().Pumps();
  for (std::size_t i = 0; i < after.size(); ++i) {
    EXPECT_EQ(after[i].state, PumpState::kFuelling) << after[i].id;
    EXPECT_GT(after[i].liveVolume, before[i] + 5.0) << after[i].id;  // 6.7 flowed
  }

  // A stop overtakes whatever else waits for the line.
  auto totals = Service().ReadTotals("1");
  auto stop = Service().StopPump("1");
  Service().Step();
  EXPECT_EQ(stop.wait_for(std::chrono::seconds(0)), std::future_status::ready);
  EXPECT_TRUE(stop.get().Ok());
  EXPECT_TRUE(Await(std::move(totals)).Ok());

  // A client repeating a command refused at once keeps neither the turns
  // nor a finished sale's counters off the line.
  const std::int64_t sale = *Service().Pump("3")->transactionId;
  ASSERT_TRUE(Await(Service().StopPump("3")).Ok());
  const std::uint64_t flooded = clock_.NowUs();
  std::vector<std::future<Outcome>> refused;
  for (int i = 0; i < 300; ++i) {
    for (int j = 0; j < 2; ++j) {
      refused.push_back(Service().Authorise({.pumpId = "3", .preset = 1, .client = "pos1"}));
    }
    Service().Step();
  }
  EXPECT_GT(clock_.NowUs() - flooded, 1'000'000u);
  EXPECT_EQ(Txn(sale).reconciliation, Reconciliation::kOk);
  for (auto& future : refused) {
    Await(std::move(future));
  }
}

// Until a pump first answers it is connecting, and an authorisation for it
// waits for that answer; one that never answers is offline in the end.
TEST_F(ForecourtTest, PumpsConnectBeforeTheyAreOnlineOrOffline) {
  config_ = SimulatedConfig(4, (dir_ / "journal.db").string());  // no dispenser at 4
  Make();
  for (const PumpSnapshot& pump : Service().Pumps()) {
    EXPECT_EQ(pump.state, PumpState::kConnecting);
    EXPECT_FALSE(pump.stateAgeUs);
  }
  const auto firstEvent = nlohmann::json::parse(Service().Events().Since(0).events.back().data);
  EXPECT_EQ(firstEvent["state"], "connecting");

  auto early = Service().Authorise({.pumpId = "3", .preset = 1, .client = "pos1"});
  auto never = Service().Authorise({.pumpId = "4", .preset = 1, .client = "pos1"});
  const Outcome started = Await(std::move(early));
  ASSERT_TRUE(started.Ok()) << started.message;
  EXPECT_EQ(started.transaction->state, TxnState::kAuthorised);

  const Outcome refused = Await(std::move(never));
  EXPECT_EQ(refused.reason, "pump-offline");
  EXPECT_EQ(Service().Pump("4")->state, PumpState::kOffline);
  EXPECT_LT(clock_.NowUs(), 10'000'000u);  // given up on before the wait ran out

  // A stop that overtakes a waiting authorisation refuses it: the pump
  // must not start after its stop.
  Make();
  auto waiting = Service().Authorise({.pumpId = "1", .preset = 1, .client = "pos1"});
  auto stop = Service().StopPump("1");
  EXPECT_EQ(Await(std::move(waiting)).reason, "pump-busy");
  EXPECT_TRUE(Await(std::move(stop)).Ok());
  EXPECT_EQ(peer_.At(1)->CurrentPhase(), sim::Phase::kIdle);
}

// The threads of the service: the worker owns the line, clients on other
// threads only queue commands, read snapshots and wait for events. The
// line runs on simulated time, as fast as the worker goes.
TEST_F(ForecourtTest, ClientsOnOtherThreadsShareTheLineWorker) {
  Open().Start();
  std::vector<std::thread> clients;
  std::atomic<int> cleared{0};
  for (const std::string pump : {"1", "2", "3"}) {
    clients.emplace_back([&, pump] {
      for (int sale = 0; sale < 3; ++sale) {
        const Outcome started = Service()
                                    .Authorise({.pumpId = pump,
                                                .preset = 1.5,
                                                .client = "pos-" + pump,
                                                .reference = std::to_string(sale)})
                                    .get();
        ASSERT_TRUE(started.Ok()) << started.message;
        const std::int64_t id = started.transaction->id;
        std::uint64_t seen = 0;
        while (Service().GetJournal().Get(id)->reconciliation == Reconciliation::kPending) {
          Service().Events().WaitSince(seen, std::chrono::milliseconds(50));
          seen = Service().Events().LastSeq();
        }
        ASSERT_TRUE(Service().Lock(id, "pos-" + pump).Ok());
        ASSERT_TRUE(Service().Clear(id, "pos-" + pump).Ok());
        ++cleared;
      }
    });
  }
  while (cleared < 9) {
    for (const PumpSnapshot& pump : Service().Pumps()) {
      EXPECT_TRUE(pump.online);
    }
    Service().Events().WaitSince(Service().Events().LastSeq(), std::chrono::milliseconds(20));
  }
  for (auto& client : clients) {
    client.join();
  }
  Service().Stop();
  EXPECT_EQ(Await(Service().ReadTotals("1")).reason, "stopping");
  EXPECT_EQ(Service().GetJournal().List({.state = TxnState::kCleared}).size(), 9u);
}

TEST(PumpJsonTest, WrittenTextReadsBackAsThePump) {
  const PumpSnapshot pump{.id = "1-\"2\"",
                          .name = "Diesel \\ left\n\x01",
                          .line = 1,
                          .addr = 2,
                          .state = PumpState::kFuelling,
                          .rawState = 230,
                          .online = true,
                          .price = 10.0,
                          .liveVolume = 25.450000001,
                          .liveMoney = 1e9,
                          .transactionId = 7,
                          .unpaid = 1,
                          .stateAgeUs = 1'999};
  std::string text;
  AppendJson(text, pump);
  const auto json = nlohmann::json::parse(text);
  EXPECT_EQ(json["id"], pump.id);
  EXPECT_EQ(json["name"], pump.name);
  EXPECT_EQ(json["state"], "fuelling");
  EXPECT_EQ(json["volume"], 25.45);
  EXPECT_EQ(json["money"], 1e9);
  EXPECT_EQ(json["transaction"], 7);
  EXPECT_EQ(json["state_age_ms"], 1);
  // Numbers read as the rest of the interface writes them.
  EXPECT_NE(text.find("\"price\":10.0,"), std::string::npos) << text;
  AppendJson(text = "", PumpSnapshot{.id = "x"});
  const auto empty = nlohmann::json::parse(text);
  EXPECT_TRUE(empty["price"].is_null());
  EXPECT_TRUE(empty["state_age_ms"].is_null());
}

TEST(JournalTest, RefusesAJournalFromANewerVersion) {
  const auto path = std::filesystem::temp_directory_path() / "forecourt-newer.db";
  std::filesystem::remove(path);
  {
    Database db(path.string());
    db.Execute("PRAGMA user_version = 99");
  }
  EventRing ring;
  EXPECT_THROW(Journal(path.string(), ring, [] { return std::int64_t{0}; }), DatabaseError);
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace tarvenix::forecourt
