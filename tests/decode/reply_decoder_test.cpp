#include "decode/reply_decoder.hpp"

#include <gtest/gtest.h>

#include <array>
#include <tarvenix/errors.hpp>

#include "link/frame.hpp"
#include "support/fake_com_link.hpp"

namespace tarvenix::decode {
namespace {

using testing::Bytes;
using testing::MakeReply;

bool SameState(const Dispenser& a, const Dispenser& b) {
  return a.liveVolume == b.liveVolume && a.liveMoney == b.liveMoney &&
         a.totalVolume == b.totalVolume && a.totalMoney == b.totalMoney &&
         a.unitPrice == b.unitPrice && a.pumpState == b.pumpState;
}

struct DecoderTest : ::testing::Test {
  // Decodes `body` (the reply from its code on) as the callers do: from a
  // 31-byte command buffer.
  void Decode(std::string_view body, std::uint8_t line = 1, std::uint8_t addr = 1) {
    const Bytes reply = MakeReply(body);
    std::array<std::uint8_t, 31> buffer{};
    std::copy(reply.begin(), reply.end(), buffer.begin());
    buffer[0] = 0x06;  // the ACK written over the start byte before decoding
    DecodeReply(dispensers, link, line, addr, buffer);
  }
  Dispenser& At(std::uint8_t line = 1, std::uint8_t addr = 1) { return dispensers.At(line, addr); }

  DispenserTables dispensers;
  link::LinkTables link;
};

// "F", a filler, volume 5 digits and money 6 digits lowest first, 5 fillers.
constexpr std::string_view kFReply = "F0547200112540000";

TEST_F(DecoderTest, FReplyRestoresThousandsFromPriceAndVolume) {
  At().unitPrice = 5290;  // 52.90; 5290 x 27.45 = 145210.5 hundredths
  At().pumpState = pump_state::kDelivering;
  Decode(std::string(kFReply) + "0");
  EXPECT_EQ(At().liveVolume, 27.45L);
  EXPECT_NEAR(static_cast<double>(At().liveMoney), 1452.11, 1e-9);
  EXPECT_EQ(At().pumpState, pump_state::kIdle);
}

TEST_F(DecoderTest, FReplyBelowAThousandIsTakenAsItIs) {
  At().unitPrice = 3000;  // 82350 hundredths
  Decode(std::string(kFReply) + "0");
  EXPECT_NEAR(static_cast<double>(At().liveMoney), 452.11, 1e-9);
}

TEST_F(DecoderTest, ExactThousandCountsAndMDecodesLikeF) {
  At(1, 1).unitPrice = 2500;  // 2500 x 40.00 = 100000 exactly
  At(1, 2).unitPrice = 2500;
  Decode("F00004000000000000", 1, 1);
  Decode("M00004000000000000", 1, 2);
  EXPECT_EQ(At(1, 1).liveVolume, 40.0L);
  EXPECT_EQ(At(1, 1).liveMoney, 1000.0L);
  EXPECT_TRUE(SameState(At(1, 1), At(1, 2)));

  // 999.99 x 12.5 = 12499.875: twelve thousands above the 499.875 sent.
  At(2, 1).unitPrice = 99999;
  Decode("F00521057899400000", 2, 1);
  EXPECT_EQ(At(2, 1).liveVolume, 12.5L);
  EXPECT_EQ(At(2, 1).liveMoney, 12499.875L);
}

TEST_F(DecoderTest, DReplyIsHundredthsUncorrectedAndDroppedWhenIdle) {
  At().unitPrice = 9999;
  At().pumpState = pump_state::kDelivering;
  Decode("D0432103516500");
  EXPECT_EQ(At().liveVolume, 12.34L);
  EXPECT_EQ(At().liveMoney, 561.53L);
  EXPECT_EQ(At().pumpState, pump_state::kDelivering);

  Dispenser& idle = At(1, 2);
  idle.pumpState = pump_state::kIdle;
  idle.liveVolume = 7;
  const Dispenser before = idle;
  Decode("D0432103516500", 1, 2);
  EXPECT_TRUE(SameState(idle, before));
}

TEST_F(DecoderTest, StateTransitionsOfAAndC) {
  const std::uint8_t states[] = {0, 1, 192, 209, 217, 225, 255};
  for (std::uint8_t before : states) {
    At().pumpState = before;
    Decode("A0");
    EXPECT_EQ(At().pumpState, 225) << int{before};

    At().pumpState = before;
    Decode("C0");
    const bool kept = before == 192 || before == 209 || before == 217 || before == 225;
    EXPECT_EQ(At().pumpState, kept ? before : 192) << int{before};
  }
}

TEST_F(DecoderTest, SReplySelectsStateByLowBitsAndRestartsAddressOne) {
  const std::pair<char, int> cases[] = {{'0', 192}, {'4', 192}, {'1', 225}, {'9', 225},
                                        {'3', 217}, {'7', 217}, {'2', 99},  {'6', 99}};
  for (auto [stateByte, expected] : cases) {
    At().pumpState = 99;
    Decode(std::string("S000") + stateByte + "000000");
    EXPECT_EQ(At().pumpState, expected) << stateByte;
  }

  // From address 5: address 1's counter restarts, address 5's does not.
  link.NextSeq(3, 0);
  link.NextSeq(3, 4);
  link.NextSeq(3, 4);
  Decode("S0002000000", 3, 5);
  EXPECT_EQ(link.SeqCounter(3, 0), 255);
  EXPECT_EQ(link.SeqCounter(3, 4), 2);
  link::FrameBuffer frame;
  const Bytes poll{'P'};
  link::BuildFrame(link, 3, 1, poll, frame);
  EXPECT_EQ(frame[4], '0');
}

TEST_F(DecoderTest, TReplyCountersAreUnscaledHighestDigitFirst) {
  Decode("T00001234560012345670");
  EXPECT_EQ(At().totalVolume, 123456.0L);
  EXPECT_EQ(At().totalMoney, 1234567.0L);
  EXPECT_EQ(At().pumpState, 0);
}

TEST_F(DecoderTest, PReplySetsTheLineParameter) {
  Decode("p00042", 4, 9);
  EXPECT_EQ(dispensers.LineParam(4), 42);
  // Bytes that are not digits count as value - 48 and may leave 0..255.
  EXPECT_THROW(Decode("p000/0", 4, 9), ERangeError);  // (-1) x 10 + 0
  EXPECT_THROW(Decode("p000~~", 4, 9), ERangeError);  // 78 x 10 + 78
  EXPECT_EQ(dispensers.LineParam(4), 42);
  Decode("p000;0", 4, 9);  // 11 x 10
  EXPECT_EQ(dispensers.LineParam(4), 110);
}

TEST_F(DecoderTest, UnknownCodesChangeNothing) {
  At().pumpState = 217;
  At().liveVolume = 3;
  const Dispenser before = At();
  for (const char* body : {"d04321035165000", "P0", "E0", "s0002000000"}) {
    Decode(body);
    EXPECT_TRUE(SameState(At(), before)) << body;
  }
  EXPECT_EQ(link.SeqCounter(1, 0), 0);
}

TEST_F(DecoderTest, RefusesBadIndexesAndShortBuffersWithoutWriting) {
  const Bytes reply = MakeReply("T00001234560012345670");
  EXPECT_THROW(DecodeReply(dispensers, link, 0, 1, reply), ERangeError);
  EXPECT_THROW(DecodeReply(dispensers, link, 1, 33, reply), ERangeError);
  EXPECT_THROW(DecodeReply(dispensers, link, 1, 1, std::span(reply).first(21)), ERangeError);
  EXPECT_EQ(At().totalVolume, 0.0L);
  EXPECT_NO_THROW(DecodeReply(dispensers, link, 1, 1, std::span(reply).first(22)));
  EXPECT_EQ(At().totalVolume, 123456.0L);
}

}  // namespace
}  // namespace tarvenix::decode
