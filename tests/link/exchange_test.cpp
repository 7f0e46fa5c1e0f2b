#include "link/exchange.hpp"

#include <gtest/gtest.h>

#include <array>
#include <tarvenix/errors.hpp>

#include "link/reply_check.hpp"
#include "support/fake_com_link.hpp"

namespace tarvenix::link {
namespace {

using testing::Bytes;
using testing::Call;
using testing::FakeComLink;
using testing::MakeReply;

struct ExchangeTest : ::testing::Test {
  static bool Check(void* object, std::uint8_t line, std::span<const std::uint8_t> buffer,
                    std::uint8_t rxLen, std::uint8_t expectedLen) {
    return CheckReply(*static_cast<FakeComLink*>(object), line, buffer, rxLen, expectedLen);
  }

  std::int32_t Poll(std::uint8_t line = 1, std::uint8_t addr = 1) {
    buffer = {};
    buffer[0] = 'P';
    return SendCommand(link, tables, check, line, addr, buffer, protocol::kStatePoll);
  }

  FakeComLink link;
  LinkTables tables;
  ReplyCheckHandler check{&Check, &link};
  std::array<std::uint8_t, 31> buffer{};
};

TEST_F(ExchangeTest, CallsInstallExchangeRecordInThatOrder) {
  link.QueueReply(MakeReply("S0000000000"));
  EXPECT_EQ(Poll(), 0);

  const auto calls = link.Calls();
  ASSERT_EQ(calls.size(), 5u);
  EXPECT_EQ(calls[0].op, Call::Op::kSetReplyCheck);
  EXPECT_EQ(calls[0].replyCheck, check);
  EXPECT_EQ(calls[1].op, Call::Op::kExchange);
  EXPECT_EQ(calls[1].line, 1u);
  // port, request length, reply capacity, expected length, mode
  EXPECT_EQ(calls[1].args, (std::vector<std::uint32_t>{1, 8, 31, 25, 2}));
  EXPECT_EQ(calls[1].sent, (Bytes{0x04, 0x30, 0x30, 0x02, 0x31, 0x50, 0x03, 0x60}));
  EXPECT_EQ(calls[2].op, Call::Op::kSetLineState);
  EXPECT_EQ(calls[3].op, Call::Op::kSetLineError);
  EXPECT_EQ(calls[4].op, Call::Op::kGetLineState);
  EXPECT_EQ(tables.LinkState(1), 1);
  // The reply lands in the command buffer from index 0.
  EXPECT_EQ(buffer[2], 'S');
}

TEST_F(ExchangeTest, RejectedReplyIsRecordedInLinkState) {
  Bytes reply = MakeReply("S0000000000");
  reply.back() ^= 1;
  link.QueueReply(reply);
  EXPECT_EQ(Poll(3), 0);
  EXPECT_EQ(tables.LinkState(3), 3);
  EXPECT_EQ(link.LastLineError(3), 222u);
}

TEST_F(ExchangeTest, NonZeroResultStillRecordsLineState) {
  link.Queue({.reply = MakeReply("S0000000000"), .result = 5, .lineState = 4});
  EXPECT_EQ(Poll(), 5);
  EXPECT_EQ(tables.LinkState(1), 4);
}

TEST_F(ExchangeTest, ExceptionFromExchangeBecomesFailResult) {
  tables.SetLinkState(2, 9);
  link.Queue({.raiseInExchange = true});
  EXPECT_EQ(Poll(2), link.failResult);
  EXPECT_EQ(tables.LinkState(2), 9);
  EXPECT_EQ(link.Calls().back().op, Call::Op::kFailResult);

  // The digit spent on the failed frame is not reused.
  link.QueueReply(MakeReply("A0"));
  Poll(2);
  EXPECT_EQ(link.Sent().back()[4], '2');
}

TEST_F(ExchangeTest, ExceptionFromGetLineStateBecomesFailResult) {
  tables.SetLinkState(1, 9);
  link.Queue({.reply = MakeReply("S0000000000"), .raiseInGetLineState = true});
  EXPECT_EQ(Poll(), link.failResult);
  EXPECT_EQ(tables.LinkState(1), 9);
}

TEST_F(ExchangeTest, RangeErrorsReachTheCallerBeforeAnythingIsSent) {
  EXPECT_THROW(Poll(0), ERangeError);
  EXPECT_THROW(Poll(1, 33), ERangeError);
  std::array<std::uint8_t, 1> tiny{};
  EXPECT_THROW(SendCommand(link, tables, check, 1, 1, tiny, protocol::kTotalsRequest), ERangeError);
  EXPECT_TRUE(link.Calls().empty());
}

TEST_F(ExchangeTest, AcknowledgeSendsOneByteFromTheReplyBuffer) {
  buffer = {0x02, '0', 'S'};
  Acknowledge(link, 257, buffer, true);
  Acknowledge(link, 257, buffer, false);
  const auto calls = link.CallsOf(Call::Op::kExchange);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].sent, Bytes{0x06});
  EXPECT_EQ(calls[1].sent, Bytes{0x15});
  for (const Call& c : calls) {
    EXPECT_EQ(c.line, 257u);
    EXPECT_EQ(c.args, (std::vector<std::uint32_t>{257, 1, 31, 0, 0}));
  }
  EXPECT_EQ(buffer[2], 'S');  // the reply stays for the decoder
}

}  // namespace
}  // namespace tarvenix::link
