// The line service on its own: configuration, retries by Mode, timeouts on
// the clock, the caller's buffer, acknowledgements and re-initialisation.
#include "sim/line_service.hpp"

#include <gtest/gtest.h>

#include <array>
#include <future>
#include <tarvenix/lines/clock.hpp>
#include <vector>

#include "conversation_watch.hpp"
#include "link/frame.hpp"
#include "link/reply_check.hpp"

namespace tarvenix::sim {
namespace {

constexpr std::uint64_t kByteUs = 2083;  // 10 bits at 4800 baud
constexpr std::uint64_t kTimeoutUs = 140'000;

struct LineServiceTest : ::testing::Test {
  LineServiceTest() {
    line.AddDispenser(1, {});
    service.Attach(1, line);
    service.SetReplyCheck(1, {&Check, &service});
  }

  static bool Check(void* object, std::uint8_t lineNo, std::span<const std::uint8_t> buffer,
                    std::uint8_t rxLen, std::uint8_t expectedLen) {
    return link::CheckReply(*static_cast<LineService*>(object), lineNo, buffer, rxLen, expectedLen);
  }

  std::vector<std::uint8_t> Frame(std::string_view text, std::uint8_t seq = 1) {
    std::array<std::uint8_t, 64> out{};
    const auto n = link::EncodeFrame(
        0, seq, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}, out);
    return {out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n)};
  }

  std::int32_t Poll(std::uint8_t mode, std::uint8_t seq = 1) {
    return service.Exchange(1, 1, Frame("P", seq), buffer, 25, mode);
  }

  lines::ManualClock clock;
  lines::ManualClock holdClock;
  SimulatedLine line{clock};
  LineService service{clock, &holdClock};
  std::array<std::uint8_t, 31> buffer{};
};

TEST_F(LineServiceTest, ConfigurationOpensTheLineWithItsTimingAndIsChecked) {
  EXPECT_EQ(Poll(2), lines::kResultNotOpen);
  EXPECT_EQ(service.ConfigureLine(1, 0, 4800), lines::kResultBadSetting);
  EXPECT_EQ(service.ConfigureLine(33, 14, 4800), lines::kResultNoLine);
  EXPECT_EQ(service.ConfigureLine(1, 14, 4800), lines::kResultOk);

  EXPECT_EQ(Poll(2), lines::kResultOk);
  EXPECT_EQ(service.GetLineState(1), protocol::kLineAccepted);
  EXPECT_EQ(buffer[2], 'S');
  // An 8-byte frame out, a 15-byte reply back.
  EXPECT_EQ(clock.NowUs(), (8 + 15) * kByteUs);
}

TEST_F(LineServiceTest, ModeIsTheNumberOfRepetitionsCappedAtSix) {
  service.ConfigureLine(1, 14, 4800);
  line.SetFaults(1, FaultPlan{}.With(FaultKind::kNoReply, 1.0), 1);
  const struct {
    std::uint8_t mode;
    std::uint64_t attempts;
  } cases[] = {{0, 1}, {2, 3}, {6, 7}, {200, 7}};
  std::uint64_t quiet = 0;  // the first exchange follows no timeout
  for (const auto& c : cases) {
    const lines::LinkStats before = service.Stats(1);
    const std::uint64_t start = clock.NowUs();
    EXPECT_EQ(Poll(c.mode), lines::kResultNoReply);
    EXPECT_EQ(service.Stats(1).timeouts - before.timeouts, c.attempts);
    EXPECT_EQ(service.Stats(1).retries - before.retries, c.attempts - 1);
    // Each attempt: the frame's bytes, then the whole timeout; after the
    // timeouts before, the line must first be quiet for a totals reply
    // and twice the timeout.
    EXPECT_EQ(clock.NowUs() - start, quiet + c.attempts * (8 * kByteUs + kTimeoutUs));
    quiet = 25 * kByteUs + 2 * kTimeoutUs;
    EXPECT_EQ(service.GetLineState(1), 0);  // nothing was judged
  }
}

TEST_F(LineServiceTest, RejectedRepliesAreRepeatedThenReportedAsJudged) {
  service.ConfigureLine(1, 14, 4800);
  line.SetFaults(1, FaultPlan{}.With(FaultKind::kBadCheckByte, 1.0), 1);
  EXPECT_EQ(Poll(2), lines::kResultOk);
  EXPECT_EQ(service.GetLineState(1), protocol::kLineRejected);
  EXPECT_EQ(service.LineError(1), protocol::kErrorCheckByte);
  const lines::LinkStats s = service.Stats(1);
  EXPECT_EQ(s.rejected222, 3u);
  EXPECT_EQ(s.retries, 2u);
  EXPECT_EQ(s.accepted, 0u);
  // The controller answered the repetitions from its memory.
  EXPECT_EQ(line.Repetitions(), 2u);
}

TEST_F(LineServiceTest, ReplyIsCutAtTheEndOfTheCallersBuffer) {
  service.ConfigureLine(1, 14, 4800);
  std::array<std::uint8_t, 20> big{};
  big.fill(0xEE);
  const std::span<std::uint8_t> small(big.data(), 10);
  EXPECT_EQ(service.Exchange(1, 1, Frame("P"), small, 25, 0), lines::kResultOk);
  EXPECT_EQ(service.LineError(1), protocol::kErrorLength);
  for (std::size_t i = 10; i < big.size(); ++i) {
    EXPECT_EQ(big[i], 0xEE) << i;
  }
}

TEST_F(LineServiceTest, AcknowledgementIsOnlySentAndLeavesTheBufferAlone) {
  service.ConfigureLine(1, 14, 4800);
  ASSERT_EQ(Poll(2), lines::kResultOk);
  const auto reply = buffer;
  buffer[0] = protocol::kAck;
  EXPECT_EQ(service.Exchange(1, 1, std::span(buffer).first(1), buffer, 0, 0), lines::kResultOk);
  EXPECT_TRUE(std::equal(buffer.begin() + 1, buffer.end(), reply.begin() + 1));
  EXPECT_EQ(service.Stats(1).acks, 1u);
  EXPECT_EQ(service.Stats(1).exchanges, 1u);
}

TEST_F(LineServiceTest, RefusalIsFinalAndNotRepeated) {
  service.ConfigureLine(1, 14, 4800);
  EXPECT_EQ(service.Exchange(1, 1, Frame("w0111"), buffer, 25, 6), lines::kResultRefused);
  EXPECT_EQ(service.Stats(1).refused, 1u);
  EXPECT_EQ(service.Stats(1).retries, 0u);
}

// A reply that comes after its request was given up on never answers the
// next one: the quiet wait after a timeout drops it, a reply later than that
// is dropped by its echo where the line matches echoes, and one waiting on
// the line when a frame goes out is drained. Each counts as stale.
TEST_F(LineServiceTest, ALateReplyIsDroppedAndCountedAsStale) {
  const struct {
    std::uint32_t delayMs;
    bool matchEcho;
    std::uint64_t idleUs;  // between the timed-out poll and the next
  } cases[] = {
      {300, false, 0},        // within the quiet wait
      {480, true, 0},         // arrives while the next frame goes out
      {900, false, 800'000},  // waiting on the line
  };
  std::uint8_t seq = 1;
  for (const auto& c : cases) {
    LineService fresh(clock, &holdClock);
    SimulatedLine peer(clock);
    peer.AddDispenser(1, {});
    fresh.Attach(1, peer);
    fresh.SetReplyCheck(1, {&Check, &fresh});
    fresh.ConfigureLine(1, 14, 4800);
    fresh.MatchEcho(1, c.matchEcho);
    const auto poll = [&](std::uint8_t digit) {
      buffer.fill(0);
      const auto frame = Frame("P", digit);
      EXPECT_EQ(fresh.Exchange(1, 1, frame, buffer, 25, 0), lines::kResultOk);
      return frame[4];
    };
    FaultPlan late;
    late.delayMs = c.delayMs;
    peer.SetFaults(1, late.With(FaultKind::kDelay, 1.0), 1);
    EXPECT_EQ(fresh.Exchange(1, 1, Frame("P", seq++), buffer, 25, 0), lines::kResultNoReply);
    peer.SetFaults(1, FaultPlan{}, 1);
    clock.Advance(c.idleUs);
    const std::uint8_t echo = poll(seq++);
    EXPECT_EQ(fresh.GetLineState(1), protocol::kLineAccepted) << c.delayMs;
    EXPECT_EQ(buffer[1], echo) << c.delayMs;  // its own reply, not the late one
    const lines::LinkStats s = fresh.Stats(1);
    EXPECT_EQ(s.stale, 1u) << c.delayMs;
    EXPECT_EQ(s.staleBytes, 15u) << c.delayMs;
    EXPECT_EQ(s.accepted, 1u) << c.delayMs;
  }
}

struct InitCalls {
  std::vector<std::uint32_t> lines;
  LineService* service = nullptr;
  static void Handler(void* object, std::uint32_t line) {
    auto* self = static_cast<InitCalls*>(object);
    self->lines.push_back(line);
    self->service->ConfigureLine(line, 14, 4800);
  }
};

TEST_F(LineServiceTest, RunOfFailuresReinitialisesBeforeTheNextExchange) {
  InitCalls calls{.service = &service};
  service.SetLineInit(1, {&InitCalls::Handler, &calls});
  service.ConfigureLine(1, 14, 4800);
  line.SetFaults(1, FaultPlan{}.With(FaultKind::kWrongLength, 1.0), 1);
  for (std::uint8_t seq = 1; seq <= 3; ++seq) {
    EXPECT_EQ(Poll(0, seq), lines::kResultOk);
    EXPECT_TRUE(calls.lines.empty());
  }
  line.SetFaults(1, FaultPlan{}, 1);
  EXPECT_EQ(Poll(0, 4), lines::kResultOk);
  EXPECT_EQ(calls.lines, std::vector<std::uint32_t>{1});
  EXPECT_EQ(service.GetLineState(1), protocol::kLineAccepted);
  EXPECT_EQ(service.Stats(1).reinitialisations, 1u);

  // Another run of three is needed, and the handler waits for the exchange
  // after it.
  line.SetFaults(1, FaultPlan{}.With(FaultKind::kWrongLength, 1.0), 1);
  Poll(0, 5);
  Poll(0, 6);
  Poll(0, 7);
  EXPECT_EQ(calls.lines.size(), 1u);
}

// A reply keeps the line for its thread until that thread acknowledges it;
// another thread's exchange waits meanwhile. Each thread reads its own
// verdict. Start, stop and failed exchanges keep nothing, and a hold that is
// never acknowledged runs out after a second on the hold clock.
TEST_F(LineServiceTest, AReplyKeepsTheLineForItsThreadUntilItsAcknowledgement) {
  testing::ConversationWatch watch;
  service.SetMonitor(&watch);
  service.ConfigureLine(1, 14, 4800);
  const auto exchange = [this](std::string_view text, std::uint8_t seq, std::uint8_t expectedLen) {
    std::array<std::uint8_t, 31> own{};
    return service.Exchange(1, 1, Frame(text, seq), own, expectedLen, 0);
  };
  const auto acknowledge = [this] {
    const std::array<std::uint8_t, 1> ack{protocol::kAck};
    std::array<std::uint8_t, 1> unused{};
    return service.Exchange(1, 1, ack, unused, 0, 0);
  };

  line.SetFaults(1, FaultPlan{}.With(FaultKind::kBadCheckByte, 1.0), 1);
  ASSERT_EQ(exchange("P", 1, 25), lines::kResultOk);
  line.SetFaults(1, FaultPlan{}, 1);  // while the line is still this thread's
  auto other = std::async(std::launch::async, [&] {
    const std::int32_t result = exchange("P", 2, 25);
    const std::uint8_t verdict = service.GetLineState(1);
    acknowledge();
    return result == lines::kResultOk ? verdict : 0;
  });
  acknowledge();
  EXPECT_EQ(other.get(), protocol::kLineAccepted);
  EXPECT_EQ(service.GetLineState(1), protocol::kLineRejected);
  EXPECT_EQ(watch.Misdirected(), 0);

  // Each of these ends its thread without an acknowledgement; only the
  // accepted poll leaves a hold, which ends when the clock has passed it.
  const struct {
    std::string_view text;
    std::uint8_t expectedLen;
    FaultKind fault;
    double probability;
    std::uint64_t expired;
  } cases[] = {{"T", 1, FaultKind::kNoReply, 0.0, 0},
               {"P", 25, FaultKind::kNoReply, 1.0, 0},
               {"P", 25, FaultKind::kNoReply, 0.0, 1}};
  std::uint8_t seq = 3;
  for (const auto& c : cases) {
    line.SetFaults(1, FaultPlan{}.With(c.fault, c.probability), 1);
    std::async(std::launch::async, [&] { exchange(c.text, seq++, c.expectedLen); }).get();
    line.SetFaults(1, FaultPlan{}, 1);
    const std::uint64_t before = service.Stats(1).expiredHolds;
    holdClock.Advance(lines::PolicyLink::kHoldLimitUs);
    EXPECT_EQ(exchange("P", seq++, 25), lines::kResultOk) << c.text;
    acknowledge();
    EXPECT_EQ(service.Stats(1).expiredHolds - before, c.expired) << c.text;
  }
}

}  // namespace
}  // namespace tarvenix::sim
