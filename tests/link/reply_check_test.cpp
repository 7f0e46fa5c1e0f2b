#include "link/reply_check.hpp"

#include <gtest/gtest.h>

#include "support/fake_com_link.hpp"

namespace tarvenix::link {
namespace {

using testing::Bytes;
using testing::Call;
using testing::FakeComLink;
using testing::MakeReply;

constexpr ReplyVerdict kAccepted{1, 0};
constexpr ReplyVerdict Rejected(std::uint8_t code) {
  return {3, code};
}

ReplyVerdict Judge(const Bytes& reply, std::size_t rxLen, std::uint8_t expectedLen) {
  return JudgeReply(reply, static_cast<std::uint8_t>(rxLen), expectedLen);
}

TEST(ReplyCheck, SingleBytes) {
  EXPECT_EQ(Judge({0x06}, 1, 1), kAccepted);
  EXPECT_EQ(Judge({0x02}, 1, 1), kAccepted);
  EXPECT_EQ(Judge({0x15}, 1, 1), Rejected(223));
  // With nothing received the verdict rests on whatever sits at index 0.
  EXPECT_EQ(Judge({0x06, 0xFF}, 0, 0), kAccepted);
  EXPECT_EQ(Judge({0x15, 0xFF}, 0, 0), Rejected(223));
}

TEST(ReplyCheck, LengthMayBeExpectedOrImpliedByCode) {
  const Bytes a{0x02, 0x30, 0x41, 0x30, 0x03, 0x40};
  EXPECT_EQ(Judge(a, 6, 6), kAccepted);
  EXPECT_EQ(Judge(a, 6, 25), kAccepted);
  Bytes bad = a;
  bad[5] = 0x41;
  EXPECT_EQ(Judge(bad, 6, 25), Rejected(222));

  const std::pair<char, std::size_t> lengths[] = {{'S', 15}, {'p', 10}, {'D', 18}, {'F', 22},
                                                  {'M', 22}, {'T', 25}, {'A', 6},  {'C', 6}};
  for (const auto& [code, length] : lengths) {
    std::string body(length - 4, '0');
    body[0] = code;
    const Bytes reply = MakeReply(body);
    ASSERT_EQ(reply.size(), length);
    EXPECT_EQ(Judge(reply, reply.size(), 1), kAccepted) << code;
    EXPECT_EQ(Judge(reply, reply.size(), static_cast<std::uint8_t>(length)), kAccepted) << code;
  }
  // A code with another code's length is a wrong length.
  EXPECT_EQ(Judge(MakeReply("p0000000000"), 15, 25), Rejected(219));
  // An unknown code is complete only at the expected length.
  EXPECT_EQ(Judge(MakeReply("Q0"), 6, 6), kAccepted);
  EXPECT_EQ(Judge(MakeReply("Q0"), 6, 25), Rejected(219));
  // Nothing received when something was expected is a wrong length, whatever
  // stale bytes the buffer holds.
  EXPECT_EQ(Judge(MakeReply("Q0"), 0, 25), Rejected(219));
  EXPECT_EQ(Judge(MakeReply("S0000000000"), 0, 15), Rejected(219));
}

TEST(ReplyCheck, FirstFaultInOrderLengthStartEtxCheckByte) {
  Bytes reply = MakeReply("S0000000000");
  reply[0] = 0x01;  // bad start and therefore bad BCC
  EXPECT_EQ(Judge(reply, 15, 15), Rejected(223));
  EXPECT_EQ(Judge(reply, 14, 15), Rejected(219));

  Bytes noEtx = MakeReply("S0000000000");
  noEtx[13] = 0x04;
  noEtx[14] = static_cast<std::uint8_t>(noEtx[14] ^ 0x03 ^ 0x04);  // BCC still right
  EXPECT_EQ(Judge(noEtx, 15, 15), Rejected(209));
  noEtx[14] ^= 1;
  EXPECT_EQ(Judge(noEtx, 15, 15), Rejected(209));

  Bytes flipped = MakeReply("T" + std::string(20, '0'));
  ASSERT_EQ(flipped.size(), 25u);
  for (std::size_t pos = 1; pos < flipped.size(); ++pos) {
    if (pos == 2 || pos == flipped.size() - 2) {
      continue;
    }
    Bytes copy = flipped;
    copy[pos] ^= 0x10;
    EXPECT_EQ(Judge(copy, copy.size(), 25), Rejected(222)) << pos;
  }
}

TEST(ReplyCheck, NeverReadsOutsideTheBuffer) {
  const Bytes reply = MakeReply("S0000000000");
  // More bytes claimed than the buffer holds.
  EXPECT_EQ(JudgeReply(std::span(reply).first(10), 15, 15), Rejected(219));
  // The code byte is needed but the buffer ends before it.
  EXPECT_EQ(JudgeReply(std::span(reply).first(2), 2, 25), Rejected(219));
  // Not even a first byte.
  EXPECT_EQ(JudgeReply({}, 0, 0), Rejected(219));
  // Exactly enough is fine.
  EXPECT_EQ(JudgeReply(reply, 15, 15), kAccepted);
}

TEST(ReplyCheck, ReportsStateThenErrorOnceEach) {
  FakeComLink link;
  const Bytes reply = MakeReply("A0");
  EXPECT_TRUE(CheckReply(link, 7, reply, 6, 25));
  Bytes bad = reply;
  bad[0] = 0x15;
  EXPECT_FALSE(CheckReply(link, 7, bad, 6, 25));

  const auto calls = link.Calls();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0].op, Call::Op::kSetLineState);
  EXPECT_EQ(calls[0].args, std::vector<std::uint32_t>{1});
  EXPECT_EQ(calls[1].op, Call::Op::kSetLineError);
  EXPECT_EQ(calls[1].args, std::vector<std::uint32_t>{0});
  EXPECT_EQ(calls[2].op, Call::Op::kSetLineState);
  EXPECT_EQ(calls[2].args, std::vector<std::uint32_t>{3});
  EXPECT_EQ(calls[3].op, Call::Op::kSetLineError);
  EXPECT_EQ(calls[3].args, std::vector<std::uint32_t>{223});
  for (const Call& c : calls) {
    EXPECT_EQ(c.line, 7u);
  }
}

}  // namespace
}  // namespace tarvenix::link
