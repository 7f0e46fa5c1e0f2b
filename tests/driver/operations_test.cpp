// The reading operations, the line initialisation and the operations that
// talk to no dispenser, on the recording fake line service.
#include <chrono>
#include <cstring>
#include <future>

#include "driver_fixture.hpp"

namespace tarvenix::testing {
namespace {

using Strings = std::vector<std::string>;

Bytes Rejected(Bytes reply) {
  reply.back() ^= 0x01;  // a wrong check byte
  return reply;
}

const Bytes kDReply = MakeReply("D0432103516500");  // 12.34 volume, 561.53 money
const Bytes kFReply = MakeReply("F05472001125400000");
const Bytes kTReply = MakeReply("T00001234560012345670");

TEST_F(DriverTest, NonDispenserOperations) {
  std::array<std::uint8_t, 30> info;
  info.fill(0xEE);
  driver.GetDriverInfo(std::span(info).first<kDriverInfoSize>());
  const Bytes expected = {25,   'v',  '2',  '.',  '5',  '0', '#',  0xCF, 0xF0, 0xEE,
                          0xF2, 0xEE, 0xEA, 0xEE, 0xEB, ' ', 0xEA, ' ',  'T',  'a',
                          'r',  'v',  'e',  'n',  'i',  'x', 0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(Bytes(info.begin(), info.end()), expected);

  for (std::uint8_t line = 1; line <= 32; ++line) {
    EXPECT_EQ(driver.GetLinkState(line), 1);
  }
  driver.SetLinkState(32, 7);
  EXPECT_EQ(driver.GetLinkState(32), 7);
  EXPECT_THROW(driver.SetLinkState(0, 1), ERangeError);
  EXPECT_THROW(driver.GetLinkState(33), ERangeError);

  std::int32_t value = -1;
  EXPECT_TRUE(driver.QueryCapability(3, value));
  EXPECT_EQ(value, 1);
  for (std::uint32_t kind : {1u, 2u, 4u, 5u}) {
    value = -1;
    EXPECT_TRUE(driver.QueryCapability(kind, value));
    EXPECT_EQ(value, 0);
  }
  for (std::uint32_t kind : {0u, 6u, 0xFFFFFFFFu}) {
    value = -1;
    EXPECT_FALSE(driver.QueryCapability(kind, value));
    EXPECT_EQ(value, -1);
  }
  EXPECT_EQ(driver.AppHandle(), 0x1234u);
  EXPECT_TRUE(link.Calls().empty());
}

TEST_F(DriverTest, ReadLivePollsOnlyADelivery) {
  Edit(1, 1).liveVolume = 2;
  Edit(1, 1).liveMoney = 3;
  double money = 0;
  EXPECT_EQ(driver.ReadLive(1, 1, money), 2.0);
  EXPECT_EQ(money, 3.0);
  EXPECT_TRUE(link.Calls().empty());

  Edit(1, 1).pumpState = 217;
  link.QueueReply(kDReply);
  EXPECT_DOUBLE_EQ(driver.ReadLive(1, 1, money), 12.34);
  EXPECT_DOUBLE_EQ(money, 561.53);
  EXPECT_EQ(Traffic(), (Strings{"C", "ACK"}));
  const auto exchanges = link.CallsOf(Call::Op::kExchange);
  EXPECT_EQ(exchanges[0].args[3], 22u);
  EXPECT_EQ(exchanges[0].args[4], 2u);
  EXPECT_EQ(exchanges[1].args, (std::vector<std::uint32_t>{1, 1, 31, 0, 0}));

  // A refused reply is NAKed and the stored values stand.
  link.QueueReply(Rejected(MakeReply("D0999990999990")));
  EXPECT_DOUBLE_EQ(driver.ReadLive(1, 1, money), 12.34);
  EXPECT_DOUBLE_EQ(money, 561.53);
  EXPECT_EQ(Traffic(), (Strings{"C", "ACK", "C", "NAK"}));

  // The final F reply ends the polling.
  link.QueueReply(kFReply);
  driver.ReadLive(1, 1, money);
  EXPECT_EQ(At(1, 1).pumpState, 192);
  driver.ReadLive(1, 1, money);
  EXPECT_EQ(Traffic().size(), 6u);

  EXPECT_THROW(driver.ReadLive(257, 1, money), ERangeError);
}

TEST_F(DriverTest, ReadLiveFailureWritesNothing) {
  Edit(1, 1).pumpState = 217;
  link.Queue({.reply = kDReply, .result = 3});
  double money = -1;
  try {
    driver.ReadLive(1, 1, money);
    FAIL() << "no exception";
  } catch (const ESerialIO& e) {
    EXPECT_STREQ(e.what(), "Can't GetSost");
  }
  EXPECT_EQ(money, -1);
  EXPECT_EQ(Traffic(), Strings{"C"});  // neither ACK nor NAK
}

TEST_F(DriverTest, PollStateDecodesBeforeAcknowledging) {
  link.QueueReply(StateReply('3'));
  EXPECT_EQ(driver.PollState(2, 5), 217);
  EXPECT_EQ(Traffic(), (Strings{"P", "ACK"}));
  const auto exchanges = link.CallsOf(Call::Op::kExchange);
  EXPECT_EQ(exchanges[0].args[3], 25u);
  EXPECT_EQ(exchanges[0].args[4], 2u);
  // The S reply restarted address 1's sequence on the line.
  EXPECT_EQ(State().link.SeqCounter(2, 0), 255);

  // Any accepted reply is decoded, whatever its code.
  link.QueueReply(kTReply);
  EXPECT_EQ(driver.PollState(2, 5), 217);
  EXPECT_EQ(At(2, 5).totalVolume, 123456.0L);

  // A refused reply leaves the state and marks it stale.
  link.QueueReply(Rejected(StateReply('0')));
  EXPECT_EQ(driver.PollState(2, 5), 0x0100 | 217);
  EXPECT_EQ(Traffic().back(), "NAK");

  // A byte line of 257 in a wider caller is its low byte, checked here.
  EXPECT_THROW(driver.PollState(0, 5), ERangeError);
  EXPECT_THROW(driver.PollState(2, 33), ERangeError);
}

TEST_F(DriverTest, PollDecodesBeforeItsAckOthersAfterTheirs) {
  std::vector<int> statesAtAck;
  link.onAcknowledge = [&] { statesAtAck.push_back(At(1, 1).pumpState); };
  link.QueueReply(StateReply('3'));
  driver.PollState(1, 1);
  Edit(1, 1).pumpState = 217;
  link.QueueReply(kFReply);
  double money = 0;
  driver.ReadLive(1, 1, money);
  link.QueueReply(MakeReply("A0"));
  driver.WriteParam(1, 1, 1, 1);
  EXPECT_EQ(statesAtAck, (std::vector<int>{217, 217, 192}));

  std::vector<long double> totalsAtAck;
  link.onAcknowledge = [&] { totalsAtAck.push_back(At(1, 1).totalVolume); };
  link.QueueReply(kTReply);
  link.QueueReply(StateReply('0'));
  double volume = 0;
  driver.ReadTotals(1, 1, 1, volume, money);
  EXPECT_EQ(totalsAtAck, (std::vector<long double>{0, 123456}));
}

TEST_F(DriverTest, GetStateRecordPacksThePoll) {
  TStateRecord record;
  record.bytes.fill(0xFF);
  link.QueueReply(StateReply('3'));
  driver.GetStateRecord(record, 1, 1);
  std::array<std::uint8_t, 16> expected;
  expected.fill(0xFF);
  expected[0] = 217;
  expected[1] = 0;
  expected[14] = 1;
  expected[15] = 0;
  EXPECT_EQ(record.bytes, expected);

  link.QueueReply(StateReply('0'));
  driver.GetStateRecord(record, 1, 1);
  EXPECT_EQ(record.bytes[0], 192);
  EXPECT_EQ(record.bytes[14], 0);

  link.QueueReply(Rejected(StateReply('3')));
  driver.GetStateRecord(record, 1, 1);
  EXPECT_EQ(record.bytes[0], 192);
  EXPECT_EQ(record.bytes[1], 1);

  link.Queue({.raiseInExchange = true});
  record.bytes.fill(0xAB);
  EXPECT_THROW(driver.GetStateRecord(record, 1, 1), ESerialIO);
  EXPECT_EQ(record.bytes[0], 0xAB);
}

TEST_F(DriverTest, ReadLiveRepeatedAlternatesWithPauses) {
  link.SetDefaultReply(StateReply('3'));
  Edit(1, 2).pumpState = 217;
  link.QueueReply(kDReply);
  link.QueueReply(StateReply('3'));
  link.QueueReply(kDReply);
  link.QueueReply(StateReply('3'));
  link.QueueReply(kFReply);
  link.QueueReply(StateReply('0'));
  double volume = 0;
  double money = 0;
  driver.ReadLiveRepeated(1, 2, volume, money);
  EXPECT_EQ(Traffic(),
            (Strings{"C", "ACK", "P", "ACK", "C", "ACK", "P", "ACK", "C", "ACK", "P", "ACK"}));
  EXPECT_EQ(sleeper.Pauses(), (std::vector<std::uint32_t>(5, 100)));
  EXPECT_DOUBLE_EQ(volume, 27.45);
  EXPECT_DOUBLE_EQ(money, 452.11);
}

TEST_F(DriverTest, ReadLiveRepeatedOutsideADeliveryOnlyPolls) {
  link.SetDefaultReply(StateReply('1'));
  double volume = -1;
  double money = -1;
  driver.ReadLiveRepeated(1, 2, volume, money);
  EXPECT_EQ(Traffic(), (Strings{"P", "ACK", "P", "ACK", "P", "ACK"}));
  EXPECT_EQ(sleeper.Pauses().size(), 5u);
  EXPECT_EQ(volume, 0.0);
  EXPECT_EQ(money, 0.0);
}

TEST_F(DriverTest, ReadLiveRepeatedFailingMidwayWritesNoVolume) {
  Edit(1, 2).pumpState = 217;
  link.QueueReply(kDReply);
  link.QueueReply(StateReply('3'));
  link.Queue({.result = 1});  // the second C poll
  double volume = -1;
  double money = -1;
  EXPECT_THROW(driver.ReadLiveRepeated(1, 2, volume, money), ESerialIO);
  EXPECT_EQ(Traffic(), (Strings{"C", "ACK", "P", "ACK", "C"}));
  EXPECT_EQ(volume, -1);
  EXPECT_DOUBLE_EQ(money, 561.53);  // from the first pass
}

TEST(RealSleeper, ReadLiveRepeatedBlocksAtLeastHalfASecond) {
  FakeComLink link;
  link.SetDefaultReply(StateReply('1'));
  TVM30 driver(link, 0);
  double volume = 0;
  double money = 0;
  const auto start = std::chrono::steady_clock::now();
  driver.ReadLiveRepeated(1, 1, volume, money);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

TEST_F(DriverTest, ReadTotalsPollsOnceWhenCountersArrive) {
  link.QueueReply(kTReply);
  link.QueueReply(StateReply('1'));
  double volume = -1;
  double money = -1;
  driver.ReadTotals(3, 4, 1, volume, money);
  EXPECT_EQ(Traffic(), (Strings{"V1", "ACK", "P", "ACK"}));
  EXPECT_EQ(sleeper.Pauses(), std::vector<std::uint32_t>{10});
  EXPECT_EQ(volume, 123456.0);
  EXPECT_EQ(money, 1234567.0);
}

TEST_F(DriverTest, ReadTotalsPollsTwiceWithoutCounters) {
  link.QueueReply(Rejected(kTReply));
  link.QueueReply(StateReply('1'));
  link.QueueReply(StateReply('1'));
  Edit(3, 4).totalVolume = 5;  // cleared before the request
  double volume = -1;
  double money = -1;
  driver.ReadTotals(3, 4, 10, volume, money);
  EXPECT_EQ(Traffic(), (Strings{"V:", "NAK", "P", "ACK", "P", "ACK"}));
  EXPECT_EQ(sleeper.Pauses(), (std::vector<std::uint32_t>{10, 10}));
  EXPECT_EQ(volume, 0.0);
  EXPECT_EQ(money, 0.0);
}

TEST_F(DriverTest, ReadTotalsFailuresLeaveZeros) {
  Edit(3, 4).totalMoney = 8;
  double volume = -1;
  double money = -1;
  EXPECT_THROW(driver.ReadTotals(3, 4, 208, volume, money), ERangeError);
  EXPECT_EQ(volume, 0.0);
  EXPECT_EQ(money, 0.0);
  EXPECT_EQ(At(3, 4).totalMoney, 0.0L);

  volume = money = -1;
  EXPECT_THROW(driver.ReadTotals(3, 33, 1, volume, money), ERangeError);
  EXPECT_EQ(volume, 0.0);

  link.Queue({.result = 1});
  EXPECT_THROW(driver.ReadTotals(3, 4, 1, volume, money), ESerialIO);
  EXPECT_EQ(Traffic(), Strings{"V1"});
}

TEST_F(DriverTest, ReadParamSendsTwoDigitsAndReturnsThePReply) {
  link.QueueReply(MakeReply("p00042"));
  link.QueueReply(StateReply('1'));
  link.QueueReply(StateReply('1'));
  EXPECT_EQ(driver.ReadParam(1, 2, 107), 42);
  // The totaliser entry is 0 on a new object, so two polls follow.
  EXPECT_EQ(Traffic(), (Strings{"r07", "ACK", "P", "ACK", "P", "ACK"}));
  const auto exchanges = link.CallsOf(Call::Op::kExchange);
  EXPECT_EQ(exchanges[0].args[2], 51u);  // the parameter buffer
  EXPECT_EQ(exchanges[0].args[4], 0u);   // mode

  link.ClearCalls();
  Edit(1, 2).totalVolume = 1;
  link.QueueReply(MakeReply("A0"));
  link.QueueReply(StateReply('1'));
  EXPECT_EQ(driver.ReadParam(1, 2, -7), 0);  // no p reply this time
  EXPECT_EQ(Traffic(), (Strings{std::string{'r', '0', ')'}, "ACK", "P", "ACK"}));
}

TEST_F(DriverTest, ReadParamTakesAPReplyFromTheFollowUpPoll) {
  link.QueueReply(MakeReply("A0"));
  link.QueueReply(MakeReply("p00017"));
  link.QueueReply(StateReply('1'));
  EXPECT_EQ(driver.ReadParam(1, 2, 12), 17);
}

// A p reply whose digits make no byte is a range error in the decoder.
// PollState decodes before it acknowledges, so it sends no ACK; ReadParam
// acknowledges first and polls no more. Both leave the line parameter as it
// was before the decode and leave the line's lock.
TEST_F(DriverTest, PReplyOutOfRangeBeforeAndAfterTheAcknowledgement) {
  const Bytes outOfRange = MakeReply("p000~0");  // ('~' - '0') * 10 = 780
  const_cast<decode::DispenserTables&>(State().dispensers).LineParam(1) = 42;
  link.QueueReply(outOfRange);
  EXPECT_THROW(driver.PollState(1, 1), ERangeError);
  EXPECT_EQ(Traffic(), Strings{"P"});
  EXPECT_EQ(State().LineParam(1), 42);

  link.ClearCalls();
  link.QueueReply(outOfRange);
  EXPECT_THROW(driver.ReadParam(1, 1, 5), ERangeError);
  EXPECT_EQ(Traffic(), (Strings{"r05", "ACK"}));
  EXPECT_EQ(State().LineParam(1), 0);  // cleared by ReadParam, not by the reply

  link.SetDefaultReply(StateReply('1'));
  EXPECT_EQ(std::async(std::launch::async, [&] { return driver.PollState(1, 1); }).get(), 225);
}

TEST_F(DriverTest, ParamFailuresUseTheRussianMessage) {
  link.Queue({.result = 1});
  try {
    driver.ReadParam(1, 1, 1);
    FAIL() << "no exception";
  } catch (const ESerialIO& e) {
    EXPECT_EQ(Bytes(e.what(), e.what() + std::strlen(e.what())),
              (Bytes{0xCD, 0xE5, 0xE2, 0xEE, 0xE7, 0xEC, 0xEE, 0xE6, 0xED, 0xEE,
                     0x20, 0xE2, 0xFB, 0xEF, 0xEE, 0xEB, 0xED, 0xE8, 0xF2, 0xFC,
                     0x20, 0xEA, 0xEE, 0xEC, 0xE0, 0xED, 0xE4, 0xF3}));
  }
  link.Queue({.result = 1});
  EXPECT_THROW(driver.WriteParam(1, 1, 1, 1), ESerialIO);
  // A failed follow-up poll raises the poll's message out of ReadParam.
  link.QueueReply(MakeReply("p00042"));
  link.Queue({.raiseInExchange = true});
  try {
    driver.ReadParam(1, 1, 1);
    FAIL() << "no exception";
  } catch (const ESerialIO& e) {
    EXPECT_STREQ(e.what(), "Can't GetSost");
  }
}

TEST_F(DriverTest, WriteParamSendsTheValueDigitTwice) {
  link.SetDefaultReply(MakeReply("A0"));
  driver.WriteParam(1, 1, 12, 3);
  driver.WriteParam(1, 1, 12, 40);
  driver.WriteParam(1, 1, 5, 27);
  EXPECT_EQ(Traffic(), (Strings{"w1233", "ACK", "w1200", "ACK", "w0577", "ACK"}));
  EXPECT_EQ(At(1, 1).pumpState, 225);
  EXPECT_TRUE(sleeper.Pauses().empty());
}

TEST_F(DriverTest, InitLineRegistersConfiguresAndResets) {
  int counterAtAck = -1;
  link.onAcknowledge = [&] { counterAtAck = State().link.SeqCounter(3, 0); };
  link.QueueReply(StateReply('1'));
  driver.InitLine(3);
  EXPECT_EQ(counterAtAck, 1);  // the restart follows the ACK
  const auto calls = link.Calls();
  ASSERT_GE(calls.size(), 4u);
  EXPECT_EQ(calls[0].op, Call::Op::kSetLineInit);
  EXPECT_EQ(calls[0].line, 3u);
  EXPECT_EQ(calls[0].lineInit.object, &driver);
  EXPECT_EQ(calls[1].op, Call::Op::kConfigureLine);
  EXPECT_EQ(calls[1].args, (std::vector<std::uint32_t>{14, 4800}));
  EXPECT_EQ(calls[2].op, Call::Op::kSetReplyCheck);
  const auto sent = link.Sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0], (Bytes{0x04, 0x30, 0x30, 0x02, 0x31, 'S', '0', 0x03, 0x53}));
  EXPECT_EQ(sent[1], kAckByte);
  EXPECT_EQ(At(3, 1).pumpState, 225);

  // Address 1 restarts at 0; address 2 keeps its own sequence.
  link.SetDefaultReply(StateReply('2'));
  driver.PollState(3, 1);
  driver.PollState(3, 1);
  driver.PollState(3, 2);
  const auto polls = link.Sent();
  EXPECT_EQ(polls[2][4], '0');
  EXPECT_EQ(polls[4][4], '0');  // the S reply to the first poll restarted it again
  EXPECT_EQ(polls[6][4], '1');
}

TEST_F(DriverTest, InitLineRefusedReplyIsNakedWithoutRestart) {
  link.QueueReply(Rejected(StateReply('1')));
  driver.InitLine(3);
  EXPECT_EQ(Traffic(), (Strings{"S0", "NAK"}));
  EXPECT_EQ(State().link.SeqCounter(3, 0), 1);
  EXPECT_EQ(At(3, 1).pumpState, 0);
}

TEST_F(DriverTest, InitLineFailureKeepsTheHandler) {
  link.Queue({.result = 2});
  EXPECT_THROW(driver.InitLine(3), ESerialIO);
  EXPECT_EQ(Traffic(), Strings{"S0"});
  ASSERT_TRUE(link.LineInit(3).has_value());

  // The line service calls the handler later: OpenLine in full.
  link.ClearCalls();
  link.QueueReply(StateReply('0'));
  (*link.LineInit(3))(3);
  EXPECT_EQ(link.CallsOf(Call::Op::kConfigureLine).size(), 1u);
  EXPECT_EQ(Traffic(), (Strings{"S0", "ACK"}));
  EXPECT_EQ(At(3, 1).pumpState, 192);
}

TEST_F(DriverTest, InitLinePassesTheWholeWordOn) {
  link.QueueReply(StateReply('1'));
  driver.InitLine(0x0103);
  EXPECT_EQ(link.CallsOf(Call::Op::kSetLineInit)[0].line, 0x0103u);
  EXPECT_EQ(link.CallsOf(Call::Op::kConfigureLine)[0].line, 0x0103u);
  const auto exchanges = link.CallsOf(Call::Op::kExchange);
  EXPECT_EQ(exchanges[0].line, 3u);       // the frame goes to line 3
  EXPECT_EQ(exchanges[1].line, 0x0103u);  // the ACK carries the word

  EXPECT_THROW(driver.InitLine(0), ERangeError);
  EXPECT_THROW(driver.InitLine(0x0121), ERangeError);
  EXPECT_EQ(link.CallsOf(Call::Op::kSetLineInit).size(), 1u);
}

// Operations reach one another through virtual calls.
struct CountingDriver : TVM30 {
  using TVM30::TVM30;
  void StartPump(std::int32_t, std::int32_t, std::int32_t mode) override { starts.push_back(mode); }
  void StopPump(std::int32_t, std::int32_t, std::uint8_t hostByte) override {
    stops.push_back(hostByte);
  }
  std::uint16_t PollState(std::uint8_t, std::uint8_t) override {
    ++polls;
    return 0x1D9;
  }
  double ReadLive(std::int32_t, std::int32_t, double& money) override {
    ++reads;
    money = 1;
    return 2;
  }
  std::vector<std::int32_t> starts;
  std::vector<std::uint8_t> stops;
  int polls = 0;
  int reads = 0;
};

TEST_F(DriverTest, ForwardingAndFollowUpCallsAreVirtual) {
  CountingDriver counting(link, 0, sleeper.AsSleeper());
  counting.StartPump2(1, 1, 5);
  counting.StopPump2(1, 1, 7);
  counting.StopPump3(1, 1, 8);
  EXPECT_EQ(counting.starts, std::vector<std::int32_t>{5});
  EXPECT_EQ(counting.stops, (std::vector<std::uint8_t>{7, 8}));

  TStateRecord record{};
  counting.GetStateRecord(record, 1, 1);
  EXPECT_EQ(record.bytes[0], 0xD9);
  EXPECT_EQ(record.bytes[1], 1);

  double volume = 0;
  double money = 0;
  counting.ReadLiveRepeated(1, 1, volume, money);
  EXPECT_EQ(counting.reads, 3);
  EXPECT_EQ(counting.polls, 4);

  link.SetDefaultReply(kTReply);
  counting.ReadTotals(1, 1, 0, volume, money);
  EXPECT_EQ(counting.polls, 5);
  EXPECT_TRUE(link.Calls().size() > 0);
}

}  // namespace
}  // namespace tarvenix::testing
