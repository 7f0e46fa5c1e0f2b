// The forecourt service on simulated dispensers and simulated time: whole
// sales, the buffer, refusals, outages, totaliser faults and recovery after
// the service died. Each test steps the line workers on its own thread.
#include "forecourt/forecourt.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <tarvenix/lines/clock.hpp>
#include <thread>

#include "forecourt/api/api.hpp"
#include "forecourt/json.hpp"
#include "forecourt/sale.hpp"
#include "forecourt/simulated_lines.hpp"
#include "sim/line_service.hpp"
#include "sim/simulated_line.hpp"
#include "support/simulated_forecourt.hpp"
#include "trace/text.hpp"
#include "trace/trace.hpp"

namespace tarvenix::forecourt {
namespace {

class ForecourtTest : public ::testing::Test, protected testing::SimulatedForecourt {
 protected:
  void SetUp() override {
    dir_ = testing::FreshTestDirectory("forecourt-test");
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
    RunUntilOnline();
    return *forecourt_;
  }
  // The same, without waiting for the pumps' first answers.
  Forecourt& Make() { return SimulatedForecourt::Make(config_); }
  Forecourt& Service() { return *forecourt_; }

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

  std::filesystem::path dir_;
  Config config_;
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
    std::string message = "";  // part of it, naming the nearest values
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  constexpr PresetKind money = PresetKind::kMoney;
  const std::vector<Case> cases = {
      {{.pumpId = "9", .preset = 1}, "unknown-pump"},
      {{.pumpId = "1", .preset = 0}, "bad-preset", "nearest is 0.1"},
      {{.pumpId = "1", .preset = -5}, "bad-preset"},
      {{.pumpId = "1", .preset = nan}, "bad-preset"},
      {{.pumpId = "1", .preset = 0.04}, "bad-preset"},  // no dose at all: unlimited
      {{.pumpId = "1", .preset = 1000}, "bad-preset", "nearest is 999.9"},
      {{.pumpId = "1", .preset = 1.55}, "bad-preset", "tenths: 1.5 or 1.6"},
      {{.pumpId = "1", .preset = 20.05}, "bad-preset", "20.0 or 20.1"},
      {{.pumpId = "1", .kind = money, .preset = 10000}, "bad-preset", "nearest is 9999"},
      {{.pumpId = "1", .kind = money, .preset = 1.5}, "bad-preset", "whole units: 1 or 2"},
      {{.pumpId = "1", .kind = money, .preset = 3.33}, "bad-preset", "3 or 4"},
      {{.pumpId = "1", .kind = money, .preset = 0.5}, "bad-preset", "nearest is 1"},
      {{.pumpId = "1", .preset = 1, .price = 0}, "bad-price"},
      {{.pumpId = "1", .preset = 1, .price = 0.004}, "bad-price", "nearest is 0.01"},
      {{.pumpId = "1", .preset = 1, .price = 1.859}, "bad-price", "hundredths: 1.85 or 1.86"},
      {{.pumpId = "1", .preset = 1, .price = 100}, "bad-price", "nearest is 99.99"},
      {{.pumpId = "1", .preset = 1, .price = 99.995}, "bad-price"},
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
    EXPECT_NE(outcome.message.find(c.message), std::string::npos) << outcome.message;
    EXPECT_FALSE(outcome.message.empty());
    EXPECT_FALSE(outcome.transaction);
  }
  // Only the step after the unknown pump, whose refusal never reached the
  // line's queue, polled.
  EXPECT_EQ(peer_.FramesHeard(), frames + 1);
  EXPECT_TRUE(Service().GetJournal().List({}).empty());
  EXPECT_EQ(Await(Service().SetPrice("1", -1)).reason, "bad-price");
  EXPECT_EQ(Await(Service().SetPrice("1", 1.859)).reason, "bad-price");
  ASSERT_TRUE(Await(Service().SetPrice("1", 2.5)).Ok());
  EXPECT_EQ(AuthoriseVolume("1", 1.0).transaction->price, 2.5);

  // On the steps, whatever the binary fraction: the dispenser gets what
  // the sale records.
  struct Accepted {
    PresetKind kind;
    double preset;
    double price;
    std::int32_t money, volume, unitPrice;  // as the start command carried them
  };
  const std::string pump = "2";
  for (const Accepted& a :
       {Accepted{PresetKind::kVolume, 1.1, 1.86, 0, 11, 186},
        Accepted{PresetKind::kVolume, 0.3, 0.07, 0, 3, 7}, Accepted{money, 3, 99.99, 3, 0, 9999},
        Accepted{money, 9999, 0.01, 9999, 0, 1}}) {
    const Outcome o = Await(Service().Authorise(
        {.pumpId = pump, .kind = a.kind, .preset = a.preset, .price = a.price, .client = "pos1"}));
    ASSERT_TRUE(o.Ok()) << o.message;
    const sim::Delivery& sent = peer_.At(2)->Current();
    EXPECT_EQ(std::tuple(sent.moneyDose, sent.volumeDose, sent.unitPrice),
              std::tuple(a.money, a.volume, a.unitPrice));
    EXPECT_EQ(o.transaction->preset, a.preset);
    EXPECT_EQ(o.transaction->price, a.price);
    ASSERT_TRUE(Await(Service().StopPump(pump)).Ok());
    const Transaction t = RunToEnd(o.transaction->id);
    if (IsUnpaid(t.state)) {
      ASSERT_TRUE(Service().Clear(t.id, "pos1").Ok());
    }
  }
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
  const Outcome stop = Await(Service().StopPump("2"));
  EXPECT_EQ(stop.reason, "dispenser-unreachable");
  EXPECT_EQ(stop.dispenserMessage, "Can't STOP POMP");
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
    TVM30 other(link, 0, lines::SleeperOn(clock_));
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

// Counters that go back (a register reset or replaced) re-base the pump with
// an alert; it never stays unusable.
TEST_F(ForecourtTest, CountersThatGoBackReBaseThePump) {
  Open();
  ASSERT_EQ(RunToEnd(AuthoriseVolume("1", 10.0).transaction->id).reconciliation,
            Reconciliation::kOk);
  // Across a sale: the counters carry nine digits, so a slip of nearly 10^9
  // sets them back by 800 volume and 1480 money.
  const Outcome across = AuthoriseVolume("1", 3.0);
  RunUntil([&] { return Service().Pump("1")->liveVolume > 1.0; });
  peer_.At(1)->SlipTotals(1'000'000'000 - 800, 1'000'000'000 - 1480);
  const Transaction kept = RunToEnd(across.transaction->id);
  EXPECT_EQ(kept.state, TxnState::kPayable);
  EXPECT_EQ(std::tuple(kept.volume, kept.money), std::tuple(3.0, 5.55));  // the final reading
  EXPECT_EQ(kept.reconciliation, Reconciliation::kNotReconcilable);
  EXPECT_EQ(*kept.totalsVolumeAfter, 500);
  ASSERT_EQ(Alerts().size(), 1u);
  EXPECT_EQ(Alerts()[0].kind, "totals-reset");
  EXPECT_EQ(Alerts()[0].transactionId, kept.id);
  const auto details = nlohmann::json::parse(Alerts()[0].details);
  EXPECT_EQ(std::tuple(details["volume_before"], details["volume_after"]), std::tuple(1000, 500));

  // While the service was down the dispenser was replaced: it counts from
  // zero, which a refused reply also reads as.
  ASSERT_TRUE(Service().Clear(kept.id, "pos1").Ok());
  forecourt_.reset();
  peer_.AddDispenser(1);
  Open();
  const Outcome next = AuthoriseVolume("1", 1.0);
  ASSERT_TRUE(next.Ok()) << next.message;
  const Transaction sale = RunToEnd(next.transaction->id);
  EXPECT_EQ(std::tuple(*sale.totalsVolumeBefore, *sale.totalsVolumeAfter), std::tuple(0, 100));
  EXPECT_EQ(sale.reconciliation, Reconciliation::kOk);
  ASSERT_EQ(Alerts().size(), 2u);
  EXPECT_EQ(Alerts()[0].kind, "totals-reset");
  EXPECT_EQ(nlohmann::json::parse(Alerts()[0].details)["volume_before"], 500);
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

// Dispensers that now and then answer after the line's timeout: a late
// reply never answers another request, so every sale's counters tile (each
// sale's difference is its own volume, and one sale's counters after are
// the next one's before) and nothing is taken for an unattended delivery.
TEST_F(ForecourtTest, LateRepliesNeverAnswerAnotherRequest) {
  for (std::uint8_t addr = 1; addr <= 3; ++addr) {
    peer_.SetFaults(addr, sim::FaultPlan{}.With(sim::FaultKind::kDelay, 0.12), 7);
  }
  Open();
  char* traced = nullptr;
  std::size_t tracedSize = 0;
  std::FILE* traceFile = open_memstream(&traced, &tracedSize);
  trace::TraceMonitor trace(traceFile);
  Service().SetLineListener(&trace);
  std::map<std::string, std::vector<std::int64_t>> byPump;
  for (int round = 0; round < 5; ++round) {
    std::vector<std::int64_t> started;
    for (const std::string pump : {"1", "2", "3"}) {
      Outcome outcome;
      for (int attempt = 0; attempt < 5 && !outcome.transaction; ++attempt) {
        RunUntil([&] { return Service().Pump(pump)->online; });
        // Each sale its own volume, so that a borrowed reading shows.
        outcome = AuthoriseVolume(pump, 1.0 + 0.1 * (round * 3 + std::stoi(pump)),
                                  pump + "-" + std::to_string(round));
      }
      ASSERT_TRUE(outcome.transaction) << outcome.message;
      started.push_back(outcome.transaction->id);
      byPump[pump].push_back(outcome.transaction->id);
    }
    for (std::int64_t id : started) {
      const Transaction t = RunToEnd(id);
      ASSERT_EQ(t.state, TxnState::kPayable) << id;
      Service().Clear(id, "pos1");
    }
  }
  for (const auto& [pump, ids] : byPump) {
    std::optional<Transaction> before;
    for (std::int64_t id : ids) {
      const Transaction t = Txn(id);
      SCOPED_TRACE(::testing::Message() << "pump " << pump << " sale " << id);
      EXPECT_EQ(t.reconciliation, Reconciliation::kOk);
      ASSERT_TRUE(t.totalsVolumeBefore && t.totalsVolumeAfter);
      EXPECT_EQ(*t.totalsVolumeAfter - *t.totalsVolumeBefore, std::llround(t.volume * 100));
      EXPECT_EQ(*t.totalsMoneyAfter - *t.totalsMoneyBefore,
                static_cast<std::int64_t>(t.money * 100 + 1e-6));
      if (before) {
        EXPECT_EQ(*t.totalsVolumeBefore, *before->totalsVolumeAfter);
        EXPECT_EQ(*t.totalsMoneyBefore, *before->totalsMoneyAfter);
      }
      before = t;
    }
  }
  for (const Alert& alert : Alerts()) {
    ADD_FAILURE() << alert.kind << " on pump " << alert.pumpId << ": " << alert.message;
  }
  std::uint64_t late = 0;
  for (std::uint8_t addr = 1; addr <= 3; ++addr) {
    late += peer_.Faults(addr)->Counts()[static_cast<std::size_t>(sim::FaultKind::kDelay)];
  }
  EXPECT_GT(late, 10u);
  EXPECT_GT(Service().Lines()[0].stats.stale, 0u);
  Service().SetLineListener(nullptr);
  std::fclose(traceFile);
  const std::string text(traced, tracedSize);
  std::free(traced);
  EXPECT_NE(text.find(" bytes dropped, answering no request of now"), std::string::npos);
}

// A line whose device does not exist is down, says why and counts its
// failed exchanges; /healthz names the line and its device, not only its
// pumps. The line beside it is unaffected.
TEST_F(ForecourtTest, ALineWithAMissingDeviceIsDown) {
  LineConfig dead{.device = (dir_ / "no-such-tty").string()};
  dead.pumps.push_back({.id = "9", .addr = 1, .price = 1.85});
  config_.lines.push_back(dead);
  forecourt_ = std::make_unique<Forecourt>(
      config_, log_, &clock_, [this] { return kEpochMs + clock_.NowUs() / 1000; },
      simulated_.Factory());
  RunUntil([&] { return Service().Pump("1")->online && Service().Pump("3")->online; });
  RunUntil([&] { return Service().Lines()[1].stats.exchanges >= 5; });

  const auto lines = Service().Lines();
  EXPECT_TRUE(lines[0].open) << lines[0].reason;
  const LineInfo& down = lines[1];
  EXPECT_FALSE(down.open);
  EXPECT_NE(down.reason.find("cannot open " + dead.device), std::string::npos) << down.reason;
  EXPECT_EQ(down.stats.notReady, down.stats.exchanges);
  EXPECT_EQ(down.stats.accepted, 0u);
  EXPECT_FALSE(Service().Pump("9")->online);

  api::Api api(Service(), config_);
  const auto get = [&](std::string target) {
    const api::Request request{.method = "GET", .target = target};
    return api.Handle(request, *api::Match("GET", target));
  };
  const api::Reply health = get("/healthz");
  EXPECT_EQ(health.status, 503u);
  EXPECT_NE(health.body.find("line 2 (" + dead.device + ") is down"), std::string::npos)
      << health.body;
  const auto listed = nlohmann::json::parse(get("/api/v1/lines").body);
  EXPECT_EQ(listed[1]["open"], false);
  EXPECT_EQ(listed[1]["reason"], down.reason);
  EXPECT_EQ(listed[0]["reason"], nullptr);
  const std::string metrics = get("/metrics").body;
  EXPECT_NE(metrics.find("tarvenix_line_open{line=\"2\"} 0"), std::string::npos);
  EXPECT_NE(metrics.find("tarvenix_line_open{line=\"1\"} 1"), std::string::npos);
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
    TVM30 other(link, 0, lines::SleeperOn(clock_));
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
    journal.InsertOrGet(unsent);
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

// The driver's messages reach clients as UTF-8, every code of the page.
TEST(TextTest, DriverMessagesAreDecodedFromWindows1251) {
  EXPECT_EQ(trace::Cp1251ToUtf8("Can't GetSost"), "Can't GetSost");
  EXPECT_EQ(trace::Cp1251ToUtf8("\xCD\xE5\xE2\xEE\xE7\xEC\xEE\xE6\xED\xEE"), "Невозможно");
  EXPECT_EQ(trace::Cp1251ToUtf8("\xC0\xDF\xE0\xFF\xA8\xB8\xB9\x88\x98"), "АЯаяЁё№€\uFFFD");
}

// A journal of the first schema, which kept amounts as binary fractions,
// opens with every sale as it was.
TEST(JournalTest, MigratesAmountsToTheDispenserUnitsWithoutLosingASale) {
  const auto path = std::filesystem::temp_directory_path() /
                    ("forecourt-v1-" + std::to_string(::getpid()) + ".db");
  std::filesystem::remove(path);
  {
    Database db(path.string());
    db.Execute(R"sql(
CREATE TABLE pumps(id TEXT PRIMARY KEY, line INTEGER NOT NULL, address INTEGER NOT NULL,
  name TEXT NOT NULL, start_mode INTEGER NOT NULL, totals_selector INTEGER NOT NULL,
  totals_scale REAL NOT NULL, price REAL, last_totals_volume INTEGER, last_totals_money INTEGER);
CREATE TABLE transactions(id INTEGER PRIMARY KEY AUTOINCREMENT, pump_id TEXT NOT NULL,
  client TEXT NOT NULL, reference TEXT, preset_kind TEXT NOT NULL, preset REAL NOT NULL,
  price REAL NOT NULL, state TEXT NOT NULL, volume REAL NOT NULL DEFAULT 0,
  money REAL NOT NULL DEFAULT 0, totals_volume_before INTEGER, totals_money_before INTEGER,
  totals_volume_after INTEGER, totals_money_after INTEGER,
  reconciliation TEXT NOT NULL DEFAULT 'pending', recovered INTEGER NOT NULL DEFAULT 0,
  lock_client TEXT, message TEXT NOT NULL DEFAULT '', created_ms INTEGER NOT NULL,
  updated_ms INTEGER NOT NULL);
CREATE UNIQUE INDEX transactions_by_reference ON transactions(client, reference)
  WHERE reference IS NOT NULL;
CREATE TABLE alerts(id INTEGER PRIMARY KEY AUTOINCREMENT, kind TEXT NOT NULL,
  pump_id TEXT NOT NULL, transaction_id INTEGER, message TEXT NOT NULL, details TEXT NOT NULL,
  created_ms INTEGER NOT NULL, acknowledged_ms INTEGER);
CREATE TABLE meta(key TEXT PRIMARY KEY, value INTEGER NOT NULL);
INSERT INTO pumps VALUES('1', 1, 1, 'Pump 1', 1, 1, 100, 1.8599999999999999, 1250, 2312);
INSERT INTO transactions VALUES(1, '1', 'pos1', 'a', 'volume', 2.5, 1.85, 'cleared',
  2.4999999999999996, 4.6250000000000009, 1000, 1850, 1250, 2312, 'ok', 0, NULL, '', 5, 6);
INSERT INTO transactions VALUES(7, '1', 'pos1', NULL, 'money', 3, 1.85, 'locked',
  1.62, 2.997, 1250, 2312, 1412, 2611, 'ok', 1, 'pos2', 'note', 7, 8);
PRAGMA user_version = 1;
)sql");
  }
  EventRing ring;
  Journal journal(path.string(), ring, [] { return std::int64_t{9}; });
  const auto sales = journal.List({});
  ASSERT_EQ(sales.size(), 2u);
  const Transaction& byMoney = sales[0];
  EXPECT_EQ(std::tuple(byMoney.id, byMoney.presetKind, byMoney.preset, byMoney.price),
            std::tuple(7, PresetKind::kMoney, 3.0, 1.85));
  EXPECT_EQ(std::tuple(byMoney.volume, byMoney.money, byMoney.state, *byMoney.lockClient),
            std::tuple(1.62, 2.997, TxnState::kLocked, "pos2"));
  EXPECT_TRUE(byMoney.recovered);
  EXPECT_EQ(std::tuple(sales[1].volume, sales[1].money, sales[1].preset, *sales[1].reference),
            std::tuple(2.5, 4.625, 2.5, "a"));
  EXPECT_EQ(*sales[1].totalsMoneyAfter, 2312);
  EXPECT_EQ(journal.PumpPrice("1"), 1.86);
  EXPECT_EQ(journal.UnpaidCount("1"), 1u);
  Transaction next{.pumpId = "1", .client = "pos1", .reference = "a"};
  EXPECT_EQ(journal.InsertOrGet(next)->id, 1);  // the reference index came along
  next.reference = "b";
  EXPECT_FALSE(journal.InsertOrGet(next));
  EXPECT_EQ(next.id, 8);
  // Only the sale's states go into the state column, and only by its rules.
  Database raw(path.string());
  EXPECT_THROW(raw.Execute("UPDATE transactions SET state = 'paid' WHERE id = 8"), DatabaseError);
  Transaction cleared = *journal.Get(1);
  cleared.state = TxnState::kPayable;
  EXPECT_THROW(journal.Save(cleared), StateConflict);
  EXPECT_EQ(journal.Get(1)->state, TxnState::kCleared);
  std::filesystem::remove(path);
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

// The outbox's numbers only rise, also past rows already sent and deleted;
// an alert is reported when raised and at its first acknowledgement only;
// a command id is taken, and its result reported, once.
TEST(JournalTest, OutboxNumbersOnlyRiseAndEachChangeIsReportedOnce) {
  const auto path = std::filesystem::temp_directory_path() / "forecourt-outbox.db";
  std::filesystem::remove(path);
  EventRing ring;
  Journal journal(path.string(), ring, [] { return std::int64_t{1000}; });
  const Alert alert = journal.Raise({.kind = "totals-mismatch", .pumpId = "1", .message = "m"});
  EXPECT_TRUE(journal.Acknowledge(alert.id).Ok());
  EXPECT_TRUE(journal.Acknowledge(alert.id).Ok());
  EXPECT_EQ(journal.OutboxBacklog().records, 2);
  journal.RemoveSent({1, 2});
  EXPECT_EQ(journal.OutboxBacklog().records, 0);
  EXPECT_TRUE(journal.TakeCommand("c-1", {{"id", "c-1"}, {"ok", true}}));
  EXPECT_FALSE(journal.TakeCommand("c-1", {{"id", "c-1"}, {"ok", true}}));
  EXPECT_TRUE(journal.CommandTaken("c-1"));
  Database db(path.string(), Database::Mode::kReadOnly);
  EXPECT_EQ(db.QueryText("SELECT group_concat(seq || ':' || kind) FROM outbox"), "3:results");
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace tarvenix::forecourt
