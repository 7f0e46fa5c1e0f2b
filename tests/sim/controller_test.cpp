// The simulated controllers as a line service meets them: every command and
// every reply kind byte for byte, frames read from the byte stream,
// malformed ones ignored, repetitions answered from memory, final readings
// held until acknowledged, and the damage of each fault.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "link/frame.hpp"
#include "link/reply_check.hpp"
#include "sim/forecourt.hpp"
#include "sim/simulated_line.hpp"

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

// Literal wire bytes: "<EOT>", "<STX>", "<ETX>", "<ACK>", "<NAK>" and "<hh>"
// for single bytes, characters for themselves; spaces only separate fields.
Bytes Wire(std::string_view text) {
  static constexpr std::pair<std::string_view, std::uint8_t> kNamed[] = {
      {"EOT", 0x04}, {"STX", 0x02}, {"ETX", 0x03}, {"ACK", 0x06}, {"NAK", 0x15}};
  Bytes out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == ' ') {
      continue;
    }
    if (text[i] != '<') {
      out.push_back(static_cast<std::uint8_t>(text[i]));
      continue;
    }
    const std::size_t end = text.find('>', i);
    const std::string_view name = text.substr(i + 1, end - i - 1);
    const auto named =
        std::ranges::find(kNamed, name, &std::pair<std::string_view, std::uint8_t>::first);
    out.push_back(named != std::end(kNamed)
                      ? named->second
                      : static_cast<std::uint8_t>(std::stoi(std::string(name), nullptr, 16)));
    i = end;
  }
  return out;
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

  lines::ManualClock clock;
  SimulatedLine line{clock};
};

// Every command the controllers read, as literal frames.
TEST(Commands, AreReadByteForByte) {
  const struct {
    const char* frame;
    std::uint8_t addr = 0;  // 0: not a frame
    char seq = 0;
    std::string_view text = {};
  } cases[] = {
      {"<EOT>00<STX>1 E0 0150 5290 0100 1 A <ETX><3E>", 1, '1', "E00150529001001A"},
      {"<EOT>0:<STX>9 T <ETX><66>", 11, '9', "T"},
      {"<EOT>0;<STX>1 C <ETX><78>", 12, '1', "C"},
      {"<EOT>1?<STX>4 T <ETX><6F>", 32, '4', "T"},
      {"<EOT>10<STX>4 P <ETX><64>", 17, '4', "P"},
      {"<EOT>00<STX>0 S0 <ETX><52>", 1, '0', "S0"},
      {"<EOT>01<STX>5 V1 <ETX><52>", 2, '5', "V1"},
      {"<EOT>02<STX>6 r02 <ETX><45>", 3, '6', "r02"},
      {"<EOT>03<STX>7 w2077 <ETX><40>", 4, '7', "w2077"},
      {"<EOT>00<STX>3 Z <ETX><68>", 1, '3', "Z"},  // unknown: the first ETX ends it
      // The start text is not escaped: the letter's length finds its end.
      {"<EOT>00<STX>2 E0 0000 5290 0100 <ETX> A <ETX><0B>", 1, '2',
       "E0000052900100\x03"
       "A"},
      {"<EOT>00<STX>1 P <ETX><61>"},   // check byte
      {"<EOT>00<01>1 P <ETX><63>"},    // no STX
      {"<EOT>00<STX>: P <ETX><6B>"},   // sequence no digit
      {"<EOT>20<STX>1 P <ETX><62>"},   // wire address 32
      {"<EOT>00<STX>3 PP <ETX><32>"},  // too long for its letter
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.frame);
    const Bytes frame = Wire(c.frame);
    const auto parsed = ParseRequest(frame);
    FrameAssembler assembler;
    LineInput heard;
    for (std::uint8_t byte : frame) {
      heard = assembler.Feed(byte);
    }
    ASSERT_EQ(parsed.has_value(), c.addr != 0);
    EXPECT_EQ(heard.kind, c.addr != 0 ? LineInput::Kind::kFrame : LineInput::Kind::kNothing);
    if (parsed) {
      EXPECT_EQ(parsed->Addr(), c.addr);
      EXPECT_EQ(parsed->seqChar, c.seq);
      EXPECT_EQ(parsed->TextView(), c.text);
      EXPECT_EQ(heard.frame.TextView(), c.text);
    }
  }
  // Noise, and a frame cut short by the next EOT, are dropped.
  FrameAssembler stream;
  int frames = 0;
  for (std::uint8_t byte : Wire("<55><ETX> <EOT>0 <EOT>00<STX>1 P <ETX><60>")) {
    frames += stream.Feed(byte).kind == LineInput::Kind::kFrame ? 1 : 0;
  }
  EXPECT_EQ(frames, 1);
  EXPECT_EQ(stream.Dropped(), 4u);
  // The start's fields.
  Dispenser dispenser(1, {});
  dispenser.Execute(Wire("E00150529001001A"), '1', 0);
  EXPECT_EQ(dispenser.Current().moneyDose, 150);
  EXPECT_EQ(dispenser.Current().unitPrice, 5290);
  EXPECT_EQ(dispenser.Current().volumeDose, 100);
  EXPECT_EQ(dispenser.Current().mode, 1);
}

// Every reply kind the controllers send, as literal bytes, along a delivery
// to its preset, one stopped early and a start waiting for its nozzle.
TEST_F(ControllerTest, RepliesAreWrittenByteForByte) {
  line.AddDispenser(17, {.autoNozzle = false});
  const struct {
    const char* request;
    const char* reply;
    std::uint32_t thenMs = 0;  // time passing after the reply
  } script[] = {
      {"<EOT>00<STX>1 S0 <ETX><53>", "<STX>1S 00 0 0 0000 00 <ETX><63>"},
      {"<EOT>01<STX>1 P <ETX><61>", ""},  // nobody at address 2
      {"<EOT>00<STX>2 r02 <ETX><43>", "<STX>2p 02 0 40 <ETX><75>"},
      {"<EOT>00<STX>3 w2077 <ETX><47>", "<STX>3A 7 <ETX><44>"},
      {"<EOT>00<STX>4 E0 0000 5290 0100 1 A <ETX><3F>", "<ACK>", 3000},
      {"<EOT>00<STX>5 C <ETX><77>", "<STX>5D 1 00200 085010 0 <ETX><4F>"},
      {"<EOT>00<STX>6 P <ETX><67>", "<STX>6S 00 1 3 5290 00 <ETX><68>", 12'000},
      {"<EOT>00<STX>7 C <ETX><75>", "<STX>7F 1 00010 000925 5290 1 <ETX><41>"},
      {"<ACK>", ""},
      {"<EOT>00<STX>8 V1 <ETX><5E>", "<STX>8T 1 000001000 000052900 0 <ETX><63>"},
      {"<EOT>00<STX>9 E0 0000 5290 0000 2 A <ETX><30>", "<ACK>", 1500},
      {"<EOT>00<STX>1 T <ETX><64>", "<ACK>"},
      {"<EOT>00<STX>2 C <ETX><70>", "<STX>2M 1 00100 009250 5290 2 <ETX><4C>"},
      {"<EOT>00<STX>3 w0577 <ETX><40>", "<NAK>"},                      // read-only
      {"<EOT>00<STX>2 E0 0000 5290 0100 <ETX> A <ETX><0B>", "<NAK>"},  // mode no digit
      {"<EOT>10<STX>1 E0 0000 0100 0010 0 A <ETX><35>", "<ACK>"},
      {"<EOT>10<STX>2 C <ETX><71>", "<STX>2C 0 <ETX><40>"},
      {"<EOT>10<STX>3 P <ETX><63>", "<STX>3S 10 0 3 0100 00 <ETX><62>"},
  };
  for (const auto& step : script) {
    SCOPED_TRACE(step.request);
    EXPECT_EQ(Send(Wire(step.request)), Wire(step.reply));
    clock.AdvanceMs(step.thenMs);
  }
  EXPECT_EQ(line.At(1)->Param(20), 7);
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
