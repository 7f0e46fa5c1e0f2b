// The whole stack over a pseudo-terminal: the driver, the serial line
// service, and simulated dispensers serving the far side at 4800 baud.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <tarvenix/lines/clock.hpp>
#include <tarvenix/lines/serial_com_link.hpp>
#include <tarvenix/tvm30.hpp>
#include <vector>

#include "link/frame.hpp"
#include "link/reply_check.hpp"
#include "sim/pty_server.hpp"
#include "sim/simulated_line.hpp"

namespace tarvenix::lines {
namespace {

using namespace std::chrono_literals;

// Keeps the frames the host sent, in order.
class FrameLog : public lines::LineMonitor {
 public:
  void OnLineEvent(const lines::LineEvent& e) override {
    if (e.kind == lines::LineEvent::Kind::kSent && e.bytes.size() > 1) {
      std::lock_guard lock(mutex_);
      frames_.emplace_back(e.bytes.begin(), e.bytes.end());
    }
  }
  std::vector<std::vector<std::uint8_t>> Frames() const {
    std::lock_guard lock(mutex_);
    return frames_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::vector<std::uint8_t>> frames_;
};

struct StackTest : ::testing::Test {
  explicit StackTest(sim::FaultPlan faults = {}) {
    // 100 volume units a second: a delivery of a few units takes moments.
    line.AddDispenser(1, {.flowPerMinute = 600'000});
    line.AddDispenser(2, {.flowPerMinute = 600'000});
    line.SetFaults(2, faults, 7);
    server.Start();
    serialLink.AssignPort(1, {.device = server.Path(), .replyTimeout = 100ms});
    serialLink.SetMonitor(&log);
  }

  static std::string LinkPath() {
    return (std::filesystem::temp_directory_path() /
            ("tarvenix-stack-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name()))
        .string();
  }

  lines::WallClock clock;
  sim::SimulatedLine line{clock};
  sim::PtyServer server{line, {.baud = 4800, .link = LinkPath()}};
  SerialComLink serialLink;
  FrameLog log;
  TVM30 driver{serialLink, 0};
};

TEST_F(StackTest, AWholeDelivery) {
  // Real time on a shared machine: a loaded scheduler must not pass for a
  // line that loses replies, so this delivery allows a generous reply time.
  serialLink.AssignPort(1, {.device = server.Path(), .replyTimeout = 2s});
  driver.InitLine(1);
  double before = 0;
  double moneyBefore = 0;
  driver.ReadTotals(1, 1, 1, before, moneyBefore);
  driver.SetUnitPrice(1, 1, 52.90);
  driver.SetDoseVolume(1, 1, 2.0);
  driver.StartPump(1, 1, 1);

  double money = 0;
  double volume = 0;
  for (int i = 0; i < 200 && (driver.PollState(1, 1) & 0xFF) == 217; ++i) {
    volume = driver.ReadLive(1, 1, money);
  }
  volume = driver.ReadLive(1, 1, money);
  EXPECT_DOUBLE_EQ(volume, 2.0);
  EXPECT_DOUBLE_EQ(money, 105.80);

  double after = 0;
  double moneyAfter = 0;
  driver.ReadTotals(1, 1, 1, after, moneyAfter);
  EXPECT_DOUBLE_EQ(after - before, 200);  // the counters are in hundredths
  EXPECT_DOUBLE_EQ(moneyAfter - moneyBefore, 10580);
  const lines::LinkStats stats = serialLink.Stats(1);
  EXPECT_EQ(stats.accepted, stats.exchanges);
  EXPECT_EQ(stats.timeouts, 0u);
}

TEST_F(StackTest, APeerThatStopsAnsweringFailsTheOperation) {
  driver.InitLine(1);
  server.Stop();
  try {
    driver.PollState(1, 1);
    FAIL() << "no exception";
  } catch (const ESerialIO& e) {
    EXPECT_STREQ(e.what(), "Can't GetSost");
  }
  EXPECT_EQ(serialLink.Stats(1).timeouts, 3u);  // the poll and its two repeats
}

TEST_F(StackTest, AnUnpluggedPortIsReopenedAndTheLineReset) {
  driver.InitLine(1);
  driver.PollState(1, 2);
  ASSERT_TRUE(server.Replug());
  EXPECT_THROW(driver.PollState(1, 2), ESerialIO);  // the port failed and was closed

  // The next exchange opens the port again and resets the line first.
  EXPECT_EQ(driver.PollState(1, 1) & 0xFF, 192);
  EXPECT_EQ(serialLink.Stats(1).reinitialisations, 1u);
  const auto frames = log.Frames();
  ASSERT_GE(frames.size(), 2u);
  const auto& reset = frames[frames.size() - 2];
  const auto& poll = frames.back();
  EXPECT_EQ(std::string(reset.begin() + 5, reset.end() - 2), "S0");
  EXPECT_EQ(poll[4], '0');  // address 1 restarts at sequence digit 0
}

struct NoisyStackTest : StackTest {
  NoisyStackTest()
      : StackTest(sim::FaultPlan{}
                      .With(sim::FaultKind::kGarbage, 0.5)
                      .With(sim::FaultKind::kTruncated, 0.3)) {}
};

TEST_F(NoisyStackTest, GarbageAndTruncatedRepliesAreRefusedAndRetried) {
  driver.InitLine(1);
  int stale = 0;
  for (int i = 0; i < 10; ++i) {
    stale += (driver.PollState(1, 2) >> 8) != 0;
  }
  const lines::LinkStats stats = serialLink.Stats(1);
  EXPECT_GT(stats.rejected223 + stats.rejected219 + stats.rejected209, 0u);
  EXPECT_GT(stats.retries, 0u);
  // A poll whose tries were all refused reports the state it already had.
  EXPECT_LE(static_cast<std::uint64_t>(stale), stats.exchanges - stats.accepted);
}

struct LateStackTest : StackTest {
  static sim::FaultPlan Late() {
    sim::FaultPlan plan;
    plan.delayMs = 800;
    return plan.With(sim::FaultKind::kDelay, 1.0);
  }
  LateStackTest() : StackTest(Late()) {}
};

// Address 2 answers 800 ms late, long after the 300 ms reply timeout: its
// reply is dropped as stale while the line waits to fall quiet, and the next
// frame, to address 1, gets address 1's own reply.
TEST_F(LateStackTest, ALateReplyIsDroppedBeforeTheNextFrame) {
  serialLink.AssignPort(1, {.device = server.Path(), .replyTimeout = 300ms});
  ASSERT_EQ(serialLink.ConfigureLine(1, 14, 4800), kResultOk);
  serialLink.SetReplyCheck(
      1, {[](void* object, std::uint8_t lineNo, std::span<const std::uint8_t> buffer,
             std::uint8_t rxLen, std::uint8_t expectedLen) {
            return link::CheckReply(*static_cast<SerialComLink*>(object), lineNo, buffer, rxLen,
                                    expectedLen);
          },
          &serialLink});
  const auto frame = [](std::uint8_t wireAddr, std::uint8_t seq) {
    std::array<std::uint8_t, 16> out{};
    const std::uint8_t text = 'P';
    const auto n = link::EncodeFrame(wireAddr, seq, std::span(&text, 1), out);
    return std::vector<std::uint8_t>(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n));
  };
  std::array<std::uint8_t, 31> reply{};
  EXPECT_EQ(serialLink.Exchange(1, 1, frame(1, 1), reply, 25, 0), kResultNoReply);
  const auto own = frame(0, 2);
  EXPECT_EQ(serialLink.Exchange(1, 1, own, reply, 25, 0), kResultOk);
  EXPECT_EQ(serialLink.GetLineState(1), protocol::kLineAccepted);
  EXPECT_EQ(reply[1], own[4]);  // the simulator echoes the request's digit
  const LinkStats stats = serialLink.Stats(1);
  EXPECT_EQ(stats.stale, 1u);
  EXPECT_EQ(stats.staleBytes, 15u);
  EXPECT_EQ(stats.settles, 1u);
}

}  // namespace
}  // namespace tarvenix::lines
