// Unlocked and locked operations of several threads on one line, through
// the line service and the simulator, with replies that the check rejects
// now and then. Every acknowledgement must reach the dispenser whose reply
// it answers, a rejected reply must change no table, and (in the
// ThreadSanitizer build) no table access may race.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <future>
#include <thread>

#include "conversation_watch.hpp"
#include "sim_fixture.hpp"

namespace tarvenix::sim::testing {
namespace {

using decode::pump_state::kDelivering;
using decode::pump_state::kIdle;

// Passes everything on to the line service, but after a command exchange
// keeps its caller until another thread is in the service (or for a bounded
// while): the moment between a reply and its acknowledgement, when another
// thread's frame would reach the line if the service let it, is otherwise
// too short to be hit.
class Dawdling final : public TComLink {
 public:
  explicit Dawdling(TComLink& inner) : inner_(inner) {}
  std::int32_t FailResult(std::uint32_t line) override { return inner_.FailResult(line); }
  void SetLineError(std::uint32_t line, std::uint32_t code) override {
    inner_.SetLineError(line, code);
  }
  void SetLineState(std::uint32_t line, std::uint32_t state) override {
    inner_.SetLineState(line, state);
  }
  std::uint8_t GetLineState(std::uint32_t line) override { return inner_.GetLineState(line); }
  std::int32_t ConfigureLine(std::uint32_t line, std::uint32_t setting,
                             std::uint32_t baud) override {
    return inner_.ConfigureLine(line, setting, baud);
  }
  void SetReplyCheck(std::uint32_t line, ReplyCheckHandler handler) override {
    inner_.SetReplyCheck(line, handler);
  }
  void SetLineInit(std::uint32_t line, LineInitHandler handler) override {
    inner_.SetLineInit(line, handler);
  }
  std::int32_t Exchange(std::uint32_t line, std::uint32_t port,
                        std::span<const std::uint8_t> request, std::span<std::uint8_t> reply,
                        std::uint8_t expectedLen, std::uint8_t mode) override {
    const int before = ++calls_;
    ++inside_;
    const std::int32_t result = inner_.Exchange(line, port, request, reply, expectedLen, mode);
    --inside_;
    for (int spin = 0;
         expectedLen > 0 && inside_.load() == 0 && calls_.load() == before && spin < 1000; ++spin) {
      std::this_thread::yield();
    }
    return result;
  }

 private:
  TComLink& inner_;
  std::atomic<int> calls_{0};
  std::atomic<int> inside_{0};
};

struct Interleaving : ::testing::Test {
  Interleaving() {
    const FaultPlan faults =
        FaultPlan{}.With(FaultKind::kCorruptByte, 0.05).With(FaultKind::kBadCheckByte, 0.05);
    b.line.SetFaults(1, faults, 11);
    b.line.SetFaults(2, faults, 12);
    b.service.SetMonitor(&watch);
    driver.InitLine(1);
  }

  decode::Dispenser Tables(std::uint8_t addr) const {
    return driver.Inspect().DispenserAt(1, addr);
  }

  SimForecourt b;
  ConversationWatch watch;
  Dawdling dawdling{b.service};
  TVM30 driver{dawdling, 0, lines::SleeperOn(b.clock)};
};

// One thread starts deliveries on dispenser 1 and follows them with ReadLive
// while another polls the same dispenser. 25.00 at 52.90 costs 1322.50: the
// final reading carries 322.500 and the driver restores the thousand.
TEST_F(Interleaving, DeliveriesFollowedWhileTheSameDispenserIsPolled) {
  constexpr int kDeliveries = 5;
  std::atomic<bool> done{false};
  auto poller = std::async(std::launch::async, [&] {
    int polls = 0;
    while (!done.load() || polls < 10) {
      try {
        driver.PollState(1, 1);
        ++polls;
      } catch (const ESerialIO&) {
      }
    }
    return polls;
  });

  int completed = 0;
  int wrongFinals = 0;
  driver.SetUnitPrice(1, 1, 52.90);
  driver.SetDoseVolume(1, 1, 25.0);
  for (int attempt = 0; attempt < 20 * kDeliveries && completed < kDeliveries; ++attempt) {
    try {
      driver.StartPump(1, 1, 1);
    } catch (const ESerialIO&) {
      // Refused while a delivery still runs, or its acknowledgement was
      // lost; the poller's replies show the driver which.
    }
    bool sawDelivering = false;
    for (int read = 0; read < 400; ++read) {
      double money = 0;
      try {
        driver.ReadLive(1, 1, money);
      } catch (const ESerialIO&) {
      }
      const decode::Dispenser now = Tables(1);
      if (now.pumpState == kDelivering) {
        sawDelivering = true;
      } else if (sawDelivering && now.pumpState == kIdle) {
        ++completed;
        if (now.liveVolume != 25.0L || std::abs(now.liveMoney - 1322.5L) > 1e-9L) {
          ++wrongFinals;
        }
        break;
      }
      b.clock.AdvanceMs(500);
    }
  }
  done = true;
  EXPECT_GT(poller.get(), 0);
  EXPECT_EQ(completed, kDeliveries);
  EXPECT_EQ(wrongFinals, 0);
  EXPECT_GT(b.Stats().naks, 0u);  // rejected replies were among them
  EXPECT_EQ(watch.Misdirected(), 0) << "of " << watch.Acknowledgements();
}

// WriteParam is not held back by ReadParam, which holds the line's lock;
// the line service still keeps their conversations apart. Parameter 30 of
// dispenser 1 holds 7: ReadParam returns it, or 0 when its p reply was
// rejected, never anything a rejected reply carried.
TEST_F(Interleaving, ParametersWrittenWhileAnotherIsRead) {
  b.line.SetFaults(1, FaultPlan{}, 0);
  driver.WriteParam(1, 1, 30, 7);
  b.line.SetFaults(1, FaultPlan{}.With(FaultKind::kCorruptByte, 0.1), 13);
  constexpr int kRounds = 150;
  std::atomic<bool> readerDone{false};
  auto writer = std::async(std::launch::async, [&] {
    for (int i = 0; i < kRounds || !readerDone.load(); ++i) {
      try {
        driver.WriteParam(1, static_cast<std::int32_t>(1 + i % 2), 40 + i % 10, i % 10);
      } catch (const ESerialIO&) {
      }
    }
  });
  int sevens = 0;
  int wrong = 0;
  for (int i = 0; i < kRounds; ++i) {
    try {
      const std::int32_t value = driver.ReadParam(1, 1, 30);
      sevens += value == 7 ? 1 : 0;
      wrong += value != 7 && value != 0 ? 1 : 0;
    } catch (const ESerialIO&) {
    }
  }
  readerDone = true;
  writer.get();
  EXPECT_GT(sevens, kRounds / 2);
  EXPECT_EQ(wrong, 0);
  EXPECT_GT(b.Stats().naks, 0u);
  EXPECT_EQ(watch.Misdirected(), 0) << "of " << watch.Acknowledgements();
}

}  // namespace
}  // namespace tarvenix::sim::testing
