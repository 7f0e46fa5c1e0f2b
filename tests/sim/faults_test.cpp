// Every fault kind through the real driver: nothing crashes, the right
// error is raised or the reply is refused, a refused reply changes no table
// of the driver, and the delivery recovers once the line is sound again or
// when faults are only likely.
#include <gtest/gtest.h>

#include "sim_fixture.hpp"

namespace tarvenix::sim::testing {
namespace {

// What the driver knows about the dispensers of line 1, field by field.
struct Snapshot {
  long double liveVolume, liveMoney, totalVolume, totalMoney;
  std::uint8_t pumpState, lineParam;

  static Snapshot Of(const TVM30& driver) {
    auto& tables = const_cast<decode::DispenserTables&>(driver.Inspect().dispensers);
    const decode::Dispenser& d = tables.At(1, 1);
    return {d.liveVolume, d.liveMoney, d.totalVolume,
            d.totalMoney, d.pumpState, tables.LineParam(1)};
  }
  friend bool operator==(const Snapshot&, const Snapshot&) = default;
};

struct Expectation {
  FaultKind kind;
  bool raises;         // every attempt times out: the operation fails
  std::uint32_t code;  // the only rejection code expected, 0 for any
};

class EveryFaultKind : public ::testing::TestWithParam<Expectation> {};

TEST_P(EveryFaultKind, RefusedReplyChangesNoTableAndTheDeliveryRecovers) {
  const Expectation e = GetParam();
  SimForecourt b;
  b.Prepare(1, 52.90, 25.0);
  b.driver.StartPump(1, 1, 1);
  b.clock.AdvanceMs(10'000);
  double money = 0;
  b.driver.ReadLive(1, 1, money);
  b.driver.ReadParam(1, 1, 0);  // some state in every table
  const Snapshot before = Snapshot::Of(b.driver);
  const lines::LinkStats clean = b.Stats();

  // Late beyond all three attempts: a reply that came while the poll was
  // repeated would answer the repetition, the same frame.
  FaultPlan plan;
  plan.delayMs = 1000;
  b.line.SetFaults(1, plan.With(e.kind, 1.0), 7);
  b.clock.AdvanceMs(1'000);
  bool raised = false;
  try {
    b.driver.ReadLive(1, 1, money);
  } catch (const ESerialIO& error) {
    raised = true;
    EXPECT_STREQ(error.what(), kMessageCantGetState);
  }
  if (e.kind != FaultKind::kTruncated) {  // truncation may cut everything
    EXPECT_EQ(raised, e.raises);
  }
  if (!raised) {
    EXPECT_EQ(b.driver.GetLinkState(1), protocol::kLineRejected);
    EXPECT_EQ(b.Stats().naks, clean.naks + 1);
  }
  EXPECT_EQ(Snapshot::Of(b.driver), before);

  const lines::LinkStats s = b.Stats();
  EXPECT_EQ(s.exchanges, clean.exchanges + 1);
  EXPECT_EQ(s.accepted, clean.accepted);
  EXPECT_EQ(s.retries, clean.retries + 2);  // a poll is repeated twice
  EXPECT_EQ(s.Rejected() + s.timeouts, clean.Rejected() + clean.timeouts + 3);
  if (e.code == protocol::kErrorLength) {
    EXPECT_EQ(s.rejected219, s.Rejected());
  } else if (e.code == protocol::kErrorCheckByte) {
    EXPECT_EQ(s.rejected222, s.Rejected());
  }

  b.line.SetFaults(1, FaultPlan{}, 7);
  ASSERT_TRUE(b.Follow(1));
  EXPECT_DOUBLE_EQ(static_cast<double>(b.Tables(1).liveVolume), 25.0);
  EXPECT_NEAR(static_cast<double>(b.Tables(1).liveMoney), 1322.5, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, EveryFaultKind,
    ::testing::Values(Expectation{FaultKind::kNoReply, true, 0},
                      Expectation{FaultKind::kCorruptByte, false, 0},
                      Expectation{FaultKind::kBadCheckByte, false, protocol::kErrorCheckByte},
                      Expectation{FaultKind::kTruncated, false, 0},
                      Expectation{FaultKind::kWrongLength, false, protocol::kErrorLength},
                      Expectation{FaultKind::kGarbage, false, 0},
                      Expectation{FaultKind::kDelay, true, 0}),
    [](const auto& test) { return std::string(FaultName(test.param.kind)); });

// With every kind likely but not certain, repetitions carry whole deliveries
// through, and the counters still match what was delivered.
TEST(LikelyFaults, DeliveriesComeThroughOnRepetitions) {
  for (std::uint64_t seed = 1; seed <= 5; ++seed) {
    SCOPED_TRACE(seed);
    SimForecourt b;
    FaultPlan plan;
    for (std::size_t kind = 0; kind < kFaultKindCount; ++kind) {
      plan.With(static_cast<FaultKind>(kind), 0.04);
    }
    b.line.SetFaults(1, plan, seed);
    b.Prepare(1, 52.90, 0, 1500.0);
    b.driver.StartPump(1, 1, 1);  // seven attempts: it gets through
    ASSERT_TRUE(b.Follow(1));
    EXPECT_DOUBLE_EQ(static_cast<double>(b.Tables(1).liveVolume), 28.35);
    EXPECT_NEAR(static_cast<double>(b.Tables(1).liveMoney), 1499.715, 1e-9);
    EXPECT_EQ(b.At(1).TotalVolume(), 2835u);  // one delivery, however often repeated
    EXPECT_GT(b.Stats().retries, 0u);
  }
}

TEST(LineReinitialisation, FollowsARunOfFailuresAndRestoresTheLine) {
  SimForecourt b;
  const lines::LinkStats clean = b.Stats();
  b.line.SetFaults(1, FaultPlan{}.With(FaultKind::kNoReply, 1.0), 1);
  for (int i = 0; i < 3; ++i) {
    EXPECT_THROW(b.driver.PollState(1, 1), ESerialIO);
  }
  EXPECT_EQ(b.Stats().reinitialisations, 0u);

  // The line is sound again; the next exchange first re-initialises it: the
  // driver's handler configures the line and resets address 1.
  b.line.SetFaults(1, FaultPlan{}, 1);
  EXPECT_EQ(b.driver.PollState(1, 1), decode::pump_state::kIdle);
  const lines::LinkStats s = b.Stats();
  EXPECT_EQ(s.reinitialisations, 1u);
  EXPECT_EQ(s.exchanges, clean.exchanges + 3 + 2);  // the failures, S0, P
  EXPECT_EQ(s.accepted, clean.accepted + 2);
}

}  // namespace
}  // namespace tarvenix::sim::testing
