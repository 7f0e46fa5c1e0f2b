// The simulated controllers as a line service meets them: frames read from
// the byte stream, malformed ones ignored, repetitions answered from memory,
// final readings held until acknowledged, and the damage of each fault.
#include <gtest/gtest.h>

#include <array>
#include <string_view>
#include <vector>

#include "forecourt.hpp"
#include "link/frame.hpp"
#include "link/reply_check.hpp"
#include "simulated_line.hpp"

namespace tarvenix::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Frame(std::uint8_t addr, std::uint8_t seq, std::string_view text) {
  std::array<std::uint8_t, 300> out{};
  const auto n =
      link::EncodeFrame(static_cast<std::uint8_t>(addr - 1), seq,
                        {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}, out);
  return {out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n)};
}

Bytes Sent(const Transmission& t) {
  return {t.Bytes().begin(), t.Bytes().end()};
}

struct ControllerTest : ::testing::Test {
  ControllerTest() {
    line.AddDispenser(1, {});
    line.AddDispenser(17, {});
  }
  Bytes Send(const Bytes& bytes) { return Sent(line.Receive(bytes)); }
  void Ack() { line.Receive(std::array<std::uint8_t, 1>{protocol::kAck}); }

  ManualClock clock;
  SimulatedLine line{clock};
};

TEST_F(ControllerTest, AnswersWellFormedFramesAndIgnoresTheRest) {
  EXPECT_EQ(Send(Frame(1, 1, "P")).size(), 15u);
  const Bytes from17 = Send(Frame(17, 1, "P"));  // wire address 16, sent as "10"
  EXPECT_EQ(Bytes(from17.begin() + 3, from17.begin() + 5), (Bytes{'1', '0'}));
  EXPECT_TRUE(Send(Frame(2, 1, "P")).empty());  // nobody at address 2

  Bytes bad = Frame(1, 2, "P");
  bad.back() ^= 1;  // check byte
  EXPECT_TRUE(Send(bad).empty());
  bad = Frame(1, 2, "P");
  bad[3] = 0x01;  // no STX
  EXPECT_TRUE(Send(bad).empty());
  EXPECT_TRUE(Send(Frame(1, 2, "PP")).empty());  // the letter fixes the length
  EXPECT_TRUE(Send(Frame(33, 2, "P")).empty());  // wire address 32

  // Noise before a frame, and a frame cut short by the next EOT.
  Bytes stream = {0x55, 0x03, 0x04, 0x30};
  const Bytes poll = Frame(1, 3, "P");
  stream.insert(stream.end(), poll.begin(), poll.end());
  EXPECT_EQ(Send(stream).size(), 15u);
  // Two bad frames of 8, "PP" (9, dropped at the next EOT), wire address
  // 32 (8), two noise bytes and the cut frame's two.
  EXPECT_EQ(line.BytesDropped(), 8u + 8 + 9 + 8 + 2 + 2);
}

TEST_F(ControllerTest, StartTextMayHoldAnEtxAndByteByByteArrivalWorks) {
  // Mode -45 puts ETX (48 - 45) at position 14: only the length ends the text.
  std::string text = "E00000500000200A";
  text[14] = 0x03;
  const Bytes frame = Frame(1, 1, text);
  Transmission answer;
  for (std::uint8_t byte : frame) {
    answer = line.Receive(std::span(&byte, 1));
  }
  EXPECT_EQ(Sent(answer), Bytes{protocol::kNak});  // mode is no digit: refused, but heard

  text[14] = '1';
  EXPECT_EQ(Send(Frame(1, 2, text)), Bytes{protocol::kAck});
  EXPECT_EQ(line.At(1)->CurrentPhase(), Phase::kDelivering);
  EXPECT_EQ(line.At(1)->Current().target, 200u);  // 20 tenths
}

TEST_F(ControllerTest, RepetitionIsAnsweredFromMemoryUntilAnAcknowledgement) {
  const Bytes start = Frame(1, 0, "E00000500000200A");
  EXPECT_EQ(Send(start), Bytes{protocol::kAck});
  clock.AdvanceMs(3000);
  // The same frame again (its answer was lost): not a second start, which
  // would be refused while delivering.
  EXPECT_EQ(Send(start), Bytes{protocol::kAck});
  EXPECT_EQ(line.Repetitions(), 1u);

  // The same digit after an acknowledgement is a fresh frame: address 1's
  // digits restart at 0 after every S reply.
  const Bytes poll = Frame(1, 0, "P");
  const Bytes first = Send(poll);
  Ack();
  clock.AdvanceMs(3000);
  EXPECT_EQ(Send(poll), first);  // state unchanged, but really asked again
  EXPECT_EQ(line.Repetitions(), 1u);
}

TEST_F(ControllerTest, FinalReadingIsRepeatedUntilAcknowledged) {
  Send(Frame(1, 1, "E00000500000010A"));  // 1.0 at 50.00
  clock.AdvanceMs(60'000);
  const Bytes first = Send(Frame(1, 2, "C"));
  ASSERT_EQ(first.size(), 22u);
  EXPECT_EQ(first[2], 'F');
  line.Receive(std::array<std::uint8_t, 1>{protocol::kNak});
  const Bytes again = Send(Frame(1, 3, "C"));
  EXPECT_EQ(again[2], 'F');
  EXPECT_EQ(line.At(1)->CurrentPhase(), Phase::kEnded);
  Ack();
  EXPECT_EQ(line.At(1)->CurrentPhase(), Phase::kIdle);
  EXPECT_EQ(Send(Frame(1, 4, "P")).at(6), '0');
}

// Each kind damages a reply so that the driver's reply check catches it,
// with the error code the kind implies.
TEST_F(ControllerTest, EachFaultKindIsCaughtByTheReplyCheck) {
  const struct {
    FaultKind kind;
    std::uint8_t code;  // 0: any rejection
  } cases[] = {{FaultKind::kCorruptByte, 0},
               {FaultKind::kBadCheckByte, protocol::kErrorCheckByte},
               {FaultKind::kTruncated, 0},
               {FaultKind::kWrongLength, protocol::kErrorLength},
               {FaultKind::kGarbage, 0}};
  std::uint8_t seq = 1;
  for (const auto& c : cases) {
    for (std::uint64_t seed = 0; seed < 50; ++seed) {
      SCOPED_TRACE(std::string(FaultName(c.kind)) + " seed " + std::to_string(seed));
      line.SetFaults(1, FaultPlan{}.With(c.kind, 1.0), seed);
      for (const char* command : {"P", "V1", "r05"}) {
        seq = static_cast<std::uint8_t>(seq % 9 + 1);
        Ack();
        const Transmission t = line.Receive(Frame(1, seq, command));
        std::array<std::uint8_t, 31> buffer{};
        std::ranges::copy(t.Bytes(), buffer.begin());
        const auto verdict = link::JudgeReply(buffer, t.length, 25);
        if (t.length == 0) {
          continue;  // truncated to nothing: a timeout
        }
        EXPECT_FALSE(verdict.Accepted());
        if (c.code != 0) {
          EXPECT_EQ(verdict.errorCode, c.code);
        }
      }
    }
  }
  line.SetFaults(1, FaultPlan{}.With(FaultKind::kDelay, 1.0), 1);
  EXPECT_EQ(line.Receive(Frame(1, 1, "P")).delayUs, 300'000u);
  line.SetFaults(1, FaultPlan{}.With(FaultKind::kNoReply, 1.0), 1);
  EXPECT_TRUE(line.Receive(Frame(1, 2, "P")).Empty());
}

TEST(FaultOption, ParsesKindProbabilityAndAddress) {
  const auto fault = ParseFaultOption("garbage:0.25@17");
  ASSERT_TRUE(fault);
  EXPECT_EQ(fault->kind, FaultKind::kGarbage);
  EXPECT_EQ(fault->probability, 0.25);
  EXPECT_EQ(fault->addr, 17);
  EXPECT_EQ(ParseFaultOption("delay")->probability, 1.0);
  for (const char* bad : {"", "gremlins", "delay:1.5", "delay:x", "delay@0", "delay@33"}) {
    EXPECT_FALSE(ParseFaultOption(bad)) << bad;
  }
}

}  // namespace
}  // namespace tarvenix::sim
