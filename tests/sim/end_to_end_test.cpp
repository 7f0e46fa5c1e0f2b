// Whole deliveries through the real driver, the line service and the
// simulated dispensers.
#include <gtest/gtest.h>

#include <thread>

#include "sim_fixture.hpp"

namespace tarvenix::sim::testing {
namespace {

using decode::pump_state::kDelivering;
using decode::pump_state::kIdle;
using decode::pump_state::kReady;

double Totals(SimForecourt& b, std::uint8_t addr, double* money = nullptr) {
  double volume = 0;
  double m = 0;
  b.driver.ReadTotals(1, addr, 1, volume, m);
  if (money != nullptr) {
    *money = m;
  }
  return volume;
}

TEST(EndToEnd, VolumePresetDeliversThePresetAndCountsIt) {
  SimForecourt b;
  EXPECT_EQ(b.driver.PollState(1, 1), kIdle);
  b.Prepare(1, 52.90, 25.0);
  b.driver.StartPump(1, 1, 1);
  EXPECT_EQ(b.driver.PollState(1, 1), kDelivering);
  ASSERT_TRUE(b.Follow(1));

  // 25.00 at 52.90 is 1322.50: the F reply carries 322.500 and the driver
  // restores the thousand from price x volume.
  EXPECT_DOUBLE_EQ(static_cast<double>(b.Tables(1).liveVolume), 25.0);
  EXPECT_NEAR(static_cast<double>(b.Tables(1).liveMoney), 1322.5, 1e-9);
  EXPECT_EQ(b.Tables(1).pumpState, kIdle);
  EXPECT_EQ(b.At(1).CurrentPhase(), Phase::kIdle);
  EXPECT_FALSE(b.At(1).NozzleUp());
  double money = 0;
  EXPECT_EQ(Totals(b, 1, &money), 2500);  // hundredths
  EXPECT_EQ(money, 132250);
  EXPECT_EQ(b.Stats().accepted, b.Stats().exchanges);
  EXPECT_EQ(b.Stats().Rejected() + b.Stats().timeouts + b.Stats().retries, 0u);
}

TEST(EndToEnd, MoneyPresetStopsAtTheLastHundredthItPays) {
  SimForecourt b;
  b.Prepare(1, 52.90, 0, 1500.0);
  b.driver.StartPump(1, 1, 1);
  ASSERT_TRUE(b.Follow(1));
  // 28.35 costs 1499.715, 28.36 would cost 1500.244.
  EXPECT_DOUBLE_EQ(static_cast<double>(b.Tables(1).liveVolume), 28.35);
  EXPECT_NEAR(static_cast<double>(b.Tables(1).liveMoney), 1499.715, 1e-9);
  double money = 0;
  EXPECT_EQ(Totals(b, 1, &money), 2835);
  EXPECT_EQ(money, 149971);
}

TEST(EndToEnd, MoneyPresetOnAWholeThousandKeepsTheThousands) {
  SimForecourt b;
  // 80.00 at 25.00 is exactly 2000: the F reply's money field is 000.000.
  b.Prepare(1, 25.00, 0, 2000.0);
  b.driver.StartPump(1, 1, 1);
  ASSERT_TRUE(b.Follow(1));
  EXPECT_DOUBLE_EQ(static_cast<double>(b.Tables(1).liveVolume), 80.0);
  EXPECT_DOUBLE_EQ(static_cast<double>(b.Tables(1).liveMoney), 2000.0);
}

TEST(EndToEnd, StopMidDeliveryEndsWithWhatFlowed) {
  SimForecourt b;  // 40 volume units a minute
  b.Prepare(1, 50.00, 50.0);
  b.driver.StartPump(1, 1, 1);
  b.clock.AdvanceMs(15'000);
  double money = 0;
  EXPECT_NEAR(b.driver.ReadLive(1, 1, money), 10.0, 0.05);
  EXPECT_EQ(b.Tables(1).pumpState, kDelivering);

  b.driver.StopPump(1, 1);
  const std::uint32_t stoppedAt = b.At(1).Current().volume;  // hundredths
  b.clock.AdvanceMs(15'000);
  EXPECT_DOUBLE_EQ(b.driver.ReadLive(1, 1, money), stoppedAt / 100.0);  // the final M reply
  EXPECT_EQ(b.Tables(1).pumpState, kIdle);
  EXPECT_NEAR(money, stoppedAt / 100.0 * 50.0, 1e-9);
  EXPECT_EQ(b.At(1).Current().end, EndReason::kStopped);
  EXPECT_EQ(Totals(b, 1), stoppedAt);
}

TEST(EndToEnd, CountersAddUpOverDeliveriesAndDispensersKeepTheirOwn) {
  SimForecourt b;
  b.Prepare(1, 40.00, 10.0);
  b.Prepare(2, 60.00, 5.0);
  b.driver.StartPump(1, 1, 1);
  b.driver.StartPump(1, 2, 1);
  ASSERT_TRUE(b.Follow(1));
  ASSERT_TRUE(b.Follow(2));
  b.driver.StartPump(1, 1, 1);
  ASSERT_TRUE(b.Follow(1));
  double money = 0;
  EXPECT_EQ(Totals(b, 1, &money), 2000);
  EXPECT_EQ(money, 80000);
  EXPECT_EQ(Totals(b, 2, &money), 500);
  EXPECT_EQ(money, 30000);
}

TEST(EndToEnd, StateStaysDeliveringUntilTheFinalReadingIsCollected) {
  SimForecourt b({.autoNozzle = false});
  EXPECT_EQ(b.driver.PollState(1, 1), kIdle);
  b.At(1).LiftNozzle(b.clock.NowUs());
  EXPECT_EQ(b.driver.PollState(1, 1), kReady);

  b.Prepare(1, 50.00, 1.0);
  b.driver.StartPump(1, 1, 1);
  b.clock.AdvanceMs(60'000);  // long past the preset
  // The flow has ended, but the final reading has not gone out yet: a state
  // poll must keep the driver polling C.
  b.At(1).Advance(b.clock.NowUs());
  EXPECT_EQ(b.At(1).CurrentPhase(), Phase::kEnded);
  EXPECT_EQ(b.driver.PollState(1, 1), kDelivering);
  double money = 0;
  EXPECT_EQ(b.driver.ReadLive(1, 1, money), 1.0);
  EXPECT_EQ(b.Tables(1).pumpState, kIdle);
  EXPECT_EQ(b.driver.PollState(1, 1), kReady);  // nozzle still in the hand
}

TEST(EndToEnd, AuthorisedDeliveryWaitsForTheNozzle) {
  SimForecourt b({.autoNozzle = false});
  b.Prepare(1, 50.00, 2.0);
  b.driver.StartPump(1, 1, 1);
  b.clock.AdvanceMs(10'000);
  double money = 0;
  EXPECT_EQ(b.driver.ReadLive(1, 1, money), 0.0);  // C reply: nothing flowed
  EXPECT_EQ(b.Tables(1).pumpState, kDelivering);
  b.At(1).LiftNozzle(b.clock.NowUs());
  ASSERT_TRUE(b.Follow(1));
  EXPECT_EQ(b.Tables(1).liveVolume, 2.0);
}

TEST(EndToEnd, StartDuringADeliveryIsRefused) {
  SimForecourt b;
  b.Prepare(1, 50.00, 20.0);
  b.driver.StartPump(1, 1, 1);
  try {
    b.driver.StartPump(1, 1, 1);
    FAIL() << "a second start went through";
  } catch (const ESerialIO& e) {
    EXPECT_STREQ(e.what(), kMessageCantStart);
  }
  EXPECT_EQ(b.Stats().refused, 1u);
  EXPECT_EQ(b.Stats().retries, 0u);  // a refusal is not repeated
  ASSERT_TRUE(b.Follow(1));
  EXPECT_EQ(b.Tables(1).liveVolume, 20.0);
}

TEST(EndToEnd, ParametersAreWrittenAndReadBack) {
  SimForecourt b;
  EXPECT_EQ(b.driver.ReadParam(1, 2, 0), 2);  // the address, a factory setting
  b.driver.WriteParam(1, 1, 20, 7);
  b.driver.WriteParam(1, 1, 99, 3);
  EXPECT_EQ(b.driver.ReadParam(1, 1, 20), 7);
  EXPECT_EQ(b.driver.ReadParam(1, 1, 99), 3);
  EXPECT_EQ(b.driver.ReadParam(1, 2, 20), 0);  // dispensers keep their own

  // Factory settings are read-only, and nothing is written mid-delivery.
  EXPECT_THROW(b.driver.WriteParam(1, 1, 19, 1), ESerialIO);
  b.Prepare(1, 50.00, 20.0);
  b.driver.StartPump(1, 1, 1);
  try {
    b.driver.WriteParam(1, 1, 21, 1);
    FAIL() << "written during a delivery";
  } catch (const ESerialIO& e) {
    EXPECT_STREQ(e.what(), kMessageCommandFailed);
  }
  EXPECT_EQ(b.At(1).Param(21), 0);
}

TEST(EndToEnd, LinesServedFromSeveralThreads) {
  lines::ManualClock clock;
  SimulatedLine line1(clock);
  SimulatedLine line2(clock);
  LineService service(clock);
  for (std::uint8_t addr = 1; addr <= 2; ++addr) {
    line1.AddDispenser(addr, {});
    line2.AddDispenser(addr, {});
  }
  service.Attach(1, line1);
  service.Attach(2, line2);
  TVM30 driver(service, 0, lines::SleeperOn(clock));
  driver.InitLine(1);
  driver.InitLine(2);

  const auto work = [&](std::uint8_t line, std::uint8_t addr) {
    for (int i = 0; i < 50; ++i) {
      EXPECT_EQ(driver.PollState(line, addr), kIdle);
      double volume = 0;
      double money = 0;
      driver.ReadTotals(line, addr, 1, volume, money);
    }
  };
  std::thread a(work, 1, 1);
  std::thread b(work, 1, 2);
  std::thread c(work, 2, 1);
  work(2, 2);
  a.join();
  b.join();
  c.join();
  EXPECT_EQ(service.Stats(1).accepted, service.Stats(1).exchanges);
  EXPECT_EQ(service.Stats(2).Rejected(), 0u);
}

}  // namespace
}  // namespace tarvenix::sim::testing
