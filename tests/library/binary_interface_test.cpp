// The binary interface, driven slot by slot from a host's side.

#include <atomic>
#include <chrono>
#include <cstring>
#include <limits>
#include <thread>

#include "host.hpp"

#if WINDOWS_HOST
#include <windows.h>
#endif

namespace host {
namespace {

constexpr Word kJunk = 0xDEADBEEF;
const Bytes kAck = {0x06};
const Bytes kNak = {0x15};
const std::string kCommandFailed =
    "\xCD\xE5\xE2\xEE\xE7\xEC\xEE\xE6\xED\xEE \xE2\xFB\xEF\xEE\xEB\xED\xE8\xF2\xFC "
    "\xEA\xEE\xEC\xE0\xED\xE4\xF3";

// Replies, built from their layouts.
const Bytes kReadyReply = Reply("A0");  // any command: state 225
Bytes BadCheckByte(Bytes reply) {
  reply.back() ^= 0x01;
  return reply;
}
// S: state byte at index 6; '1' selects state 225.
const Bytes kStateReply = Reply(
    "S000"
    "1"
    "000000");
// D: volume 12.34 and money 56.78 in hundredths, lowest digit first.
const Bytes kLiveReply = Reply(
    "D0"
    "43210"
    "876500"
    "0");
// T: two nine-digit counters, highest digit first.
Bytes TotalsReply(const std::string& first, const std::string& second) {
  std::string body = "T0";
  return Reply(body.append(first).append(second).append("0"));
}
// p: the parameter value at indexes 6 and 7.
const Bytes kParamReply = Reply(
    "p000"
    "42");

std::uintptr_t Address(const void* pointer) {
  return reinterpret_cast<std::uintptr_t>(pointer);
}

LinkCall ExchangeCall(Word line, const Bytes& sent, Word expectedLen, Word mode) {
  return {
      FakeLink::kExchange, {line, line, static_cast<Word>(sent.size()), expectedLen, mode}, sent};
}

// --- Factories and the operations that talk to no dispenser.

HOST_TEST(FactoriesMakeIndependentObjectsWithOneTable) {
  Setup s = NewSetup();
  Driver other =
      Keep(TheLibrary().getDriver25(0xFF, 0x1234, &s.link, kJunk, kJunk, kJunk, kJunk, kJunk));
  EXPECT(other.object != s.driver.object);
  EXPECT(other.Table() == s.driver.Table());
  for (Word line = 1; line <= 32; ++line) {
    EXPECT_EQ(other.GetLinkState(line), 1);
    EXPECT_EQ(s.driver.GetLinkState(line), 1);
  }
  other.SetLinkState(5, 3);
  EXPECT_EQ(other.GetLinkState(5), 3);
  EXPECT_EQ(s.driver.GetLinkState(5), 1);
  EXPECT(s.link.calls.empty());
  EXPECT(Observations().empty());
}

HOST_TEST(GetDriverInfoWritesItsStringAtTheCallersAddress) {
  Setup s = NewSetup();
  std::uint8_t buffer[40];
  std::memset(buffer, 0xAA, sizeof buffer);
  s.driver.GetDriverInfo(buffer);
  const std::string info = "v2.50#\xCF\xF0\xEE\xF2\xEE\xEA\xEE\xEB \xEA Tarvenix";
  EXPECT_EQ(buffer[0], 25);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer + 1), 25), info);
  EXPECT_EQ(Bytes(buffer + 26, buffer + 40), Bytes(14, 0xAA));
}

HOST_TEST(LinkStateAccessorsReadTheLowBytes) {
  Setup s = NewSetup();
  s.driver.SetLinkState(0x105, 0x203);
  EXPECT_EQ(s.driver.GetLinkState(0x305), 3);
  s.driver.SetLinkState(0x100, 1);  // line 0
  s.driver.GetLinkState(33);
  EXPECT_EQ(Observations(), std::vector<Observed>({Range(), Range()}));
  EXPECT(s.link.calls.empty());
}

HOST_TEST(QueryCapabilityAnswersKindsOneToFive) {
  Setup s = NewSetup();
  const std::int32_t answers[] = {0, 0, 1, 0, 0};
  for (Word kind = 1; kind <= 5; ++kind) {
    std::int32_t value = 77;
    EXPECT_EQ(s.driver.QueryCapability(kind, &value), 1);
    EXPECT_EQ(value, answers[kind - 1]);
  }
  for (Word kind : {0u, 6u, 0x103u, 0xFFFFFFFFu}) {
    std::int32_t value = 77;
    EXPECT_EQ(s.driver.QueryCapability(kind, &value), 0);
    EXPECT_EQ(value, 77);
  }
}

HOST_TEST(NopsDoNothingAndAbstract0Fails) {
  Setup s = NewSetup();
  s.driver.Nop5(kJunk);
  s.driver.Nop8();
  s.driver.Nop12();
  EXPECT(Observations().empty());
  s.driver.Abstract0();
  EXPECT_EQ(Observations(),
            std::vector<Observed>({{.code = kAbstract, .message = "Abstract error"}}));
  EXPECT(s.link.calls.empty());
}

// --- State polling.

HOST_TEST(PollStateReadsByteArgumentsAndAcknowledges) {
  Setup s = NewSetup();
  s.link.Queue({.reply = kReadyReply});
  EXPECT_EQ(s.driver.PollState(0x101, 0x302), 225);  // line 1, address 2
  const std::vector<LinkCall> expected = {
      {FakeLink::kSetReplyCheck, {1, s.link.calls.at(0).words.at(1), Address(s.driver.object)}},
      ExchangeCall(1, Frame(2, 1, "P"), 25, 2),
      {FakeLink::kSetLineState, {1, 1}},
      {FakeLink::kSetLineError, {1, 0}},
      {FakeLink::kGetLineState, {1}},
      ExchangeCall(1, kAck, 0, 0),
  };
  EXPECT_EQ(s.link.calls, expected);

  // A refused reply is not decoded: NAK, and the state the driver had,
  // marked as not refreshed in the high byte.
  s.link.calls.clear();
  s.link.Queue({.reply = BadCheckByte(kStateReply)});
  EXPECT_EQ(s.driver.PollState(1, 2), 0x100 | 225);
  EXPECT_EQ(s.link.Of(FakeLink::kSetLineError).at(0).words, std::vector<std::uintptr_t>({1, 222}));
  EXPECT_EQ(s.link.Sent(), std::vector<Bytes>({Frame(2, 2, "P"), kNak}));

  // A failed exchange sends no acknowledgement.
  s.link.calls.clear();
  s.link.Queue({.reply = kReadyReply, .result = 5});
  s.driver.PollState(1, 2);
  EXPECT_EQ(s.link.Sent(), std::vector<Bytes>({Frame(2, 3, "P")}));
  EXPECT_EQ(Observations(), std::vector<Observed>({Serial("Can't GetSost")}));

  // Line 0 (256 as a word) is refused before anything is sent.
  s.link.calls.clear();
  s.driver.PollState(256, 1);
  EXPECT(s.link.calls.empty());
  EXPECT_EQ(Observations().back(), Range());
}

HOST_TEST(GetStateRecordWritesFourBytesOfTheHostsRecord) {
  Setup s = NewSetup();
  std::uint8_t record[16];
  std::memset(record, 0xAA, sizeof record);
  s.link.Queue({.reply = kReadyReply});
  s.driver.GetStateRecord(record, 0x101, 0x201);
  Bytes expected(16, 0xAA);
  expected[0] = 225;
  expected[1] = 0;
  expected[14] = 225 & 7;
  expected[15] = 0;
  EXPECT_EQ(Bytes(record, record + 16), expected);

  s.link.Queue({.reply = BadCheckByte(kReadyReply)});
  s.driver.GetStateRecord(record, 1, 1);
  EXPECT_EQ(record[1], 1);
}

// --- Prices, doses, start and stop.

HOST_TEST(StartPumpSendsTheStoredPriceAndDose) {
  Setup s = NewSetup();
  s.driver.SetUnitPrice(1, 3, 45.30);
  s.driver.SetDoseVolume(1, 3, 20.0);
  s.link.Queue({.reply = {0x06}});
  s.driver.StartPump(1, 3, 1);
  EXPECT_EQ(s.link.Of(FakeLink::kExchange),
            std::vector<LinkCall>({ExchangeCall(1, Frame(3, 1, "E00000453002001A"), 1, 6)}));

  s.driver.SetDoseMoney(1, 3, 500.0);
  s.link.calls.clear();
  s.driver.StartPump(1, 3, 10);
  EXPECT_EQ(s.link.Sent(), std::vector<Bytes>({Frame(3, 2, "E0050045300000:A")}));
  EXPECT(Observations().empty());

  s.link.Queue({.reply = kReadyReply, .result = 1});
  s.driver.StartPump(1, 3, 1);
  s.driver.SetUnitPrice(33, 3, 1.0);
  s.driver.SetDoseVolume(1, 0, 1.0);
  s.driver.StartPump(1, 3, 208);
  EXPECT_EQ(Observations(),
            std::vector<Observed>({Serial("Can't START POMP"), Range(), Range(), Range()}));
}

HOST_TEST(StopPumpSendsTheStopCommand) {
  Setup s = NewSetup();
  s.driver.StopPump(1, 2, kJunk);
  EXPECT_EQ(s.link.Of(FakeLink::kExchange),
            std::vector<LinkCall>({ExchangeCall(1, Frame(2, 1, "T"), 1, 6)}));
  s.link.Queue({.reply = kReadyReply, .result = -1});
  s.driver.StopPump(1, 2, 0);
  s.driver.StopPump(257, 2, 0);  // a 32-bit line, read whole
  EXPECT_EQ(Observations(), std::vector<Observed>({Serial("Can't STOP POMP"), Range()}));
}

// --- Live readout, totals and parameters.

HOST_TEST(ReadLiveReturnsTheVolumeAndWritesTheMoney) {
  Setup s = NewSetup();
  double money = -1;
  EXPECT_EQ(s.driver.ReadLive(1, 1, &money), 0.0);  // not started: no poll
  EXPECT_EQ(money, 0.0);
  EXPECT(s.link.calls.empty());

  s.driver.StartPump(1, 1, 1);
  s.link.calls.clear();
  s.link.Queue({.reply = kLiveReply});
  EXPECT_EQ(s.driver.ReadLive(1, 1, &money), 12.34);
  EXPECT_EQ(money, 56.78);
  EXPECT_EQ(s.link.Of(FakeLink::kExchange),
            std::vector<LinkCall>(
                {ExchangeCall(1, Frame(1, 2, "C"), 22, 2), ExchangeCall(1, kAck, 0, 0)}));

  // A failure leaves the host's double as it was.
  money = -1;
  s.link.Queue({.reply = kLiveReply, .result = 9});
  const double volume = s.driver.ReadLive(1, 1, &money);
  s.driver.ReadLive(257, 1, &money);  // 32-bit, read whole: no line 1
  EXPECT_EQ(money, -1.0);
  EXPECT_EQ(Observations(), std::vector<Observed>({Serial("Can't GetSost"), Range()}));
  if (WINDOWS_HOST) {
    EXPECT_EQ(volume, 0.0);  // the continued routine returned no result
  }
}

HOST_TEST(ReadTotalsAcknowledgesThenPolls) {
  Setup s = NewSetup();
  double volume = -1;
  double money = -1;
  s.link.Queue({.reply = TotalsReply("000012345", "000067890")});
  s.driver.ReadTotals(1, 2, 1, &volume, &money);
  EXPECT_EQ(volume, 12345.0);
  EXPECT_EQ(money, 67890.0);
  EXPECT_EQ(s.link.Of(FakeLink::kExchange),
            std::vector<LinkCall>(
                {ExchangeCall(1, Frame(2, 1, "V1"), 25, 2), ExchangeCall(1, kAck, 0, 0),
                 ExchangeCall(1, Frame(2, 2, "P"), 25, 2), ExchangeCall(1, kAck, 0, 0)}));

  // A zero first counter makes a second poll.
  s.link.calls.clear();
  s.link.Queue({.reply = TotalsReply("000000000", "000000005")});
  s.driver.ReadTotals(1, 2, 10, &volume, &money);
  EXPECT_EQ(s.link.Sent(), std::vector<Bytes>({Frame(2, 3, "V:"), kAck, Frame(2, 4, "P"), kAck,
                                               Frame(2, 5, "P"), kAck}));
  EXPECT_EQ(money, 5.0);

  // The counters are cleared before the selector is refused.
  s.driver.ReadTotals(1, 2, 208, &volume, &money);
  EXPECT_EQ(volume, 0.0);
  EXPECT_EQ(money, 0.0);
  EXPECT_EQ(Observations(), std::vector<Observed>({Range()}));
}

HOST_TEST(ReadParamAndWriteParam) {
  Setup s = NewSetup();
  s.link.Queue({.reply = kParamReply});
  EXPECT_EQ(s.driver.ReadParam(1, 1, 107), 42);
  EXPECT_EQ(s.link.Of(FakeLink::kExchange),
            std::vector<LinkCall>(
                {ExchangeCall(1, Frame(1, 1, "r07"), 25, 0), ExchangeCall(1, kAck, 0, 0),
                 ExchangeCall(1, Frame(1, 2, "P"), 25, 2), ExchangeCall(1, kAck, 0, 0),
                 ExchangeCall(1, Frame(1, 3, "P"), 25, 2), ExchangeCall(1, kAck, 0, 0)}));

  s.link.calls.clear();
  s.link.Queue({.reply = BadCheckByte(kParamReply)});
  EXPECT_EQ(s.driver.ReadParam(1, 1, 7), 0);
  EXPECT_EQ(s.link.Sent().at(1), kNak);

  s.link.calls.clear();
  s.driver.WriteParam(1, 1, 12, 3);
  EXPECT_EQ(s.link.Of(FakeLink::kExchange),
            std::vector<LinkCall>(
                {ExchangeCall(1, Frame(1, 7, "w1233"), 25, 0), ExchangeCall(1, kAck, 0, 0)}));

  s.link.Queue({.reply = kReadyReply, .result = 2});
  EXPECT_EQ(s.driver.ReadParam(1, 1, 7), 0);
  s.link.Queue({.reply = kReadyReply, .result = 2});
  s.driver.WriteParam(1, 1, 7, 1);
  EXPECT_EQ(Observations(),
            std::vector<Observed>({Serial(kCommandFailed), Serial(kCommandFailed)}));
}

// --- Line initialisation and the handlers.

HOST_TEST(InitLinePassesItsWholeWordAndInstallsTheLineInit) {
  Setup s = NewSetup();
  s.link.Queue({.reply = kStateReply});
  s.driver.InitLine(0x103);
  const std::vector<LinkCall>& calls = s.link.calls;
  EXPECT_EQ(s.link.Slots(), std::vector<int>({21, 17, 19, 18, 3, 2, 4, 18}));
  EXPECT_EQ(calls.at(0).words.at(0), 0x103u);
  EXPECT_EQ(calls.at(0).words.at(2), Address(s.driver.object));
  EXPECT_EQ(calls.at(1).words, std::vector<std::uintptr_t>({0x103, 14, 4800}));
  EXPECT_EQ(calls.at(3), ExchangeCall(3, Frame(1, 1, "S0"), 15, 2));
  EXPECT_EQ(calls.at(7), ExchangeCall(0x103, kAck, 0, 0));

  // The line init, called through its two words, does it all again; the
  // reset made the next frame to address 1 carry the digit 0.
  s.link.calls.clear();
  s.link.Queue({.reply = kStateReply});
  s.link.initRoutine[3](s.link.initObject[3], 3);
  EXPECT_EQ(s.link.Slots(), std::vector<int>({17, 19, 18, 3, 2, 4, 18}));
  EXPECT_EQ(s.link.Sent().at(0), Frame(1, 0, "S0"));

  // A failed reset reaches whoever called the line init.
  s.link.Queue({.reply = kStateReply, .result = 1});
  Guard([&] { s.link.initRoutine[3](s.link.initObject[3], 3); });
  EXPECT_EQ(Observations(), std::vector<Observed>({Serial("Can't GetSost")}));
}

HOST_TEST(ReplyCheckIsCalledThroughItsTwoWords) {
  Setup s = NewSetup();
  s.driver.PollState(1, 1);
  const LinkCall install = s.link.Of(FakeLink::kSetReplyCheck).at(0);
  EXPECT_EQ(install.words.at(2), Address(s.driver.object));
  EXPECT_EQ(s.link.verdicts, std::vector<std::uint8_t>({1}));

  // Called by the host directly: a lone ACK byte when one byte was expected.
  s.link.calls.clear();
  const std::uint8_t buffer[1] = {0x06};
  const std::uint8_t rxLen = 1;
  const std::uint8_t expectedLen = 1;
  const auto check = reinterpret_cast<ReplyCheckRoutine>(install.words.at(1));
  EXPECT_EQ(
      check(reinterpret_cast<void*>(install.words.at(2)), 0x107, buffer, 0, &rxLen, &expectedLen),
      1);
  EXPECT_EQ(s.link.calls, std::vector<LinkCall>({{FakeLink::kSetLineState, {7, 1}},
                                                 {FakeLink::kSetLineError, {7, 0}}}));

  // The check reads no byte beyond the highest index it is given.
  s.link.calls.clear();
  s.link.Queue({.reply = kReadyReply, .highIndex = 3});
  EXPECT_EQ(s.driver.PollState(1, 1), 0x100 | 225);
  EXPECT_EQ(s.link.Of(FakeLink::kSetLineError).at(0).words, std::vector<std::uintptr_t>({1, 219}));
}

// --- Calls between operations go through the object's current table.

const Code* originalTable = nullptr;
std::vector<LinkCall> tableCalls;  // slot and words after the object

template <typename Routine>
Routine Original(std::size_t slot) {
  return reinterpret_cast<Routine>(originalTable[slot]);
}

void HOST_CALL TraceStopPump(void* self, std::int32_t line, std::int32_t addr, Word hostByte) {
  tableCalls.push_back({4, {Word(line), Word(addr), hostByte}});
  Original<void(HOST_CALL*)(void*, std::int32_t, std::int32_t, Word)>(4)(self, line, addr,
                                                                         hostByte);
}
double HOST_CALL TraceReadLive(void* self, std::int32_t line, std::int32_t addr, double* money) {
  tableCalls.push_back({9, {Word(line), Word(addr)}});
  return Original<double(HOST_CALL*)(void*, std::int32_t, std::int32_t, double*)>(9)(self, line,
                                                                                     addr, money);
}
std::uint16_t HOST_CALL TracePollState(void* self, Word line, Word addr) {
  tableCalls.push_back({10, {line, addr}});
  return Original<std::uint16_t(HOST_CALL*)(void*, Word, Word)>(10)(self, line, addr);
}
void HOST_CALL TraceStartPump(void* self, std::int32_t line, std::int32_t addr, std::int32_t mode) {
  tableCalls.push_back({15, {Word(line), Word(addr), Word(mode)}});
  Original<void(HOST_CALL*)(void*, std::int32_t, std::int32_t, std::int32_t)>(15)(self, line, addr,
                                                                                  mode);
}
void HOST_CALL TraceGetStateRecord(std::uint8_t* record, void* self, Word line, Word addr,
                                   Word unread) {
  tableCalls.push_back({21, {line, addr}});
  Original<void(HOST_CALL*)(std::uint8_t*, void*, Word, Word, Word)>(21)(record, self, line, addr,
                                                                         unread);
}

HOST_TEST(InternalCallsGoThroughTheTableTheHostInstalled) {
  Setup s = NewSetup();
  originalTable = s.driver.Table();
  Code traced[24];
  std::memcpy(traced, originalTable, sizeof traced);
  traced[4] = reinterpret_cast<Code>(&TraceStopPump);
  traced[9] = reinterpret_cast<Code>(&TraceReadLive);
  traced[10] = reinterpret_cast<Code>(&TracePollState);
  traced[15] = reinterpret_cast<Code>(&TraceStartPump);
  traced[21] = reinterpret_cast<Code>(&TraceGetStateRecord);
  *static_cast<const Code**>(s.driver.object) = traced;
  tableCalls.clear();

  s.driver.StartPump2(1, 2, 3, kJunk);
  s.driver.StopPump2(1, 2, kJunk, 0x1FF);
  s.driver.StopPump3(1, 2, kJunk, 0x2FE);
  EXPECT_EQ(tableCalls,
            std::vector<LinkCall>({{15, {1, 2, 3}}, {4, {1, 2, 0xFF}}, {4, {1, 2, 0xFE}}}));

  tableCalls.clear();
  double volume = -1;
  double money = -1;
  s.driver.ReadLiveRepeated(1, 2, &volume, &money);
  EXPECT_EQ(tableCalls, std::vector<LinkCall>({{9, {1, 2}},
                                               {21, {1, 2}},
                                               {10, {1, 2}},
                                               {9, {1, 2}},
                                               {21, {1, 2}},
                                               {10, {1, 2}},
                                               {9, {1, 2}},
                                               {21, {1, 2}},
                                               {10, {1, 2}}}));
  EXPECT_EQ(volume, 0.0);

  tableCalls.clear();
  s.driver.ReadTotals(1, 2, 1, &volume, &money);
  s.driver.ReadParam(1, 2, 1);
  EXPECT_EQ(tableCalls,
            std::vector<LinkCall>({{10, {1, 2}}, {10, {1, 2}}, {10, {1, 2}}, {10, {1, 2}}}));

  *static_cast<const Code**>(s.driver.object) = originalTable;
  EXPECT(Observations().empty());
}

// --- Exceptions of the host's line service.

HOST_TEST(HostExceptionsInExchangeOrGetLineStateEndInTheDriver) {
  Setup s = NewSetup();
  s.driver.SetLinkState(1, 7);
  s.link.Queue({.reply = kReadyReply, .inExchange = Raise::kHostException});
  s.driver.PollState(1, 1);
  s.link.Queue({.reply = kReadyReply, .inGetLineState = Raise::kHostException});
  s.driver.StopPump(1, 1, 0);
  EXPECT_EQ(s.link.Of(FakeLink::kFailResult).size(), 2u);
  EXPECT_EQ(s.driver.GetLinkState(1), 7);
  EXPECT_EQ(Observations(),
            std::vector<Observed>({Serial("Can't GetSost"), Serial("Can't STOP POMP")}));

  // FailResult decides: 0 lets the operation go on with the old line state.
  s.link.calls.clear();
  s.link.failResult = 0;
  s.link.Queue({.reply = kReadyReply, .inExchange = Raise::kHostException});
  EXPECT_EQ(s.driver.PollState(1, 1), 0x100);
  EXPECT_EQ(s.link.Sent().back(), kNak);
  EXPECT_EQ(Observations().size(), 2u);
}

HOST_TEST(HostExceptionInTheReplyCheckReachesItsCaller) {
  Setup s = NewSetup();
  s.link.Queue({.reply = kReadyReply, .inSetLineState = Raise::kHostException});
  s.driver.PollState(1, 1);
  // Seen by the line service's Exchange, which let it go on; then ended in
  // the driver like any exception of the exchange.
  EXPECT_EQ(Observations(), std::vector<Observed>({FromHost(), Serial("Can't GetSost")}));
  EXPECT_EQ(s.link.Of(FakeLink::kFailResult).size(), 1u);
}

// Runs `call` on another thread; a line lock left held would block it.
template <typename Call>
void CompletesOnAnotherThread(Call call) {
  std::atomic<bool> done{false};
  std::thread thread([&] {
    call();
    done = true;
  });
  for (int wait = 0; wait < 500 && !done; ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!done) {
    std::fprintf(stderr, "a line lock was left held\n");
    std::_Exit(1);
  }
  thread.join();
}

HOST_TEST(HostExceptionDuringTheAcknowledgementReachesTheHostUnlocked) {
  Setup s = NewSetup();
  s.link.onAcknowledge = Raise::kHostException;
  EXPECT_EQ(s.driver.PollState(1, 1), 0);
  s.link.onAcknowledge = Raise::kHostException;
  s.link.Queue({.reply = TotalsReply("000000001", "000000001")});
  double volume = -1;
  double money = -1;
  s.driver.ReadTotals(1, 1, 1, &volume, &money);
  EXPECT_EQ(Observations(), std::vector<Observed>({FromHost(), FromHost()}));
  CompletesOnAnotherThread([&] { s.driver.PollState(1, 1); });
  EXPECT_EQ(Observations().size(), 2u);
}

// --- Floating point under the host's control word.

HOST_TEST(ExtendedPrecisionDoesNotDependOnTheHostsControlWord) {
  const std::uint16_t original = ControlWord();
  // 53-bit precision, all masked; and invalid, zero-divide and overflow
  // unmasked at 64-bit precision.
  for (std::uint16_t hostWord : {std::uint16_t{0x027F}, std::uint16_t{0x1332}}) {
    Setup s = NewSetup();
    Observations().clear();
    ClearExceptionFlags();
    LoadControlWord(hostWord);
    const std::uint16_t wordBefore = ControlWord();  // as the processor keeps it
    s.driver.SetDoseVolume(1, 3, 20.05);             // 200.5000000000000071: 201
    s.driver.SetUnitPrice(1, 3, 0.125);              // 12.5: to the even 12
    s.driver.SetUnitPrice(1, 4, std::numeric_limits<double>::quiet_NaN());
    s.driver.SetUnitPrice(1, 4, std::numeric_limits<double>::infinity());
    s.driver.SetDoseMoney(1, 4, 3e9);
    const std::uint16_t wordAfter = ControlWord();
    const std::uint16_t flagsAfter = ExceptionFlags();
    LoadControlWord(original);
    ClearExceptionFlags();

    EXPECT_EQ(wordAfter, wordBefore);
    EXPECT_EQ(flagsAfter, 0);
    EXPECT_EQ(Observations(), std::vector<Observed>({Range(), Range(), Range()}));
    s.driver.StartPump(1, 3, 1);
    EXPECT_EQ(s.link.Sent().at(0), Frame(3, 1,
                                         "E0"
                                         "0000"
                                         "0012"
                                         "0201"
                                         "1A"));
  }
}

#if WINDOWS_HOST

HOST_TEST(AnyStructuredExceptionOfExchangeEndsInTheDriver) {
  Setup s = NewSetup();
  s.link.Queue({.reply = kReadyReply, .inExchange = Raise::kAccessViolation});
  s.driver.PollState(1, 1);
  EXPECT_EQ(s.link.Of(FakeLink::kFailResult).size(), 1u);
  EXPECT_EQ(Observations(), std::vector<Observed>({Serial("Can't GetSost")}));
}

// Calls `routine` with `count` stack words (the first at the lowest
// address) and returns by how much the stack pointer moved across the call:
// 0 when the routine removed exactly its words. A routine with a real
// result leaves it on the x87 stack, which is then popped.
extern "C" std::int32_t host_call_with_words(Code routine, const Word* words, Word count,
                                             Word realResult);
asm(".text\n"
    "_host_call_with_words:\n"
    "  pushl %ebp\n"
    "  movl %esp, %ebp\n"
    "  pushl %ebx\n"
    "  pushl %esi\n"
    "  pushl %edi\n"
    "  movl %esp, %esi\n"
    "  movl 12(%ebp), %edx\n"
    "  movl 16(%ebp), %ecx\n"
    "1:\n"
    "  testl %ecx, %ecx\n"
    "  jz 2f\n"
    "  decl %ecx\n"
    "  pushl (%edx,%ecx,4)\n"
    "  jmp 1b\n"
    "2:\n"
    "  call *8(%ebp)\n"
    "  cmpl $0, 20(%ebp)\n"
    "  je 3f\n"
    "  fstp %st(0)\n"
    "3:\n"
    "  movl %esp, %eax\n"
    "  subl %esi, %eax\n"
    "  movl %esi, %esp\n"
    "  popl %edi\n"
    "  popl %esi\n"
    "  popl %ebx\n"
    "  popl %ebp\n"
    "  ret\n");

HOST_TEST(EveryRoutineRemovesExactlyItsStackWords) {
  Setup s = NewSetup();
  const Word self = Word(Address(s.driver.object));
  double real = 1.5;
  Word lo, hi;
  std::memcpy(&lo, &real, 4);
  std::memcpy(&hi, reinterpret_cast<char*>(&real) + 4, 4);
  std::uint8_t buffer[40] = {};
  double volume = 0;
  double money = 0;
  std::int32_t value = 0;
  const Word buf = Word(Address(buffer));
  const Word vol = Word(Address(&volume));
  const Word mon = Word(Address(&money));

  struct Row {
    int slot;
    std::vector<Word> words;
  };
  const std::vector<Row> rows = {
      {0, {self}},
      {1, {buf, self}},
      {2, {self, 1, 1}},
      {3, {self, 1}},
      {4, {self, 1, 1, 0}},
      {5, {self, 0}},
      {6, {self, 1, 1, vol, mon}},
      {7, {self, 1, 1, 1, vol, mon, 0, 0}},
      {8, {self, 0, 0, 0, 0, 0, 0, 0}},
      {9, {self, 1, 1, mon}},
      {10, {self, 1, 1}},
      {11, {self, 1, 1, 0, 0, 0, lo, hi}},
      {12, {self, 0, 0, 0}},
      {13, {self, 1, 1, 0, 0, lo, hi}},
      {14, {self, 1, 1, 0, 0, lo, hi}},
      {15, {self, 1, 1, 1}},
      {16, {self, 1}},
      {17, {self, 1, 1, 1}},
      {18, {self, 1, 1, 1, 1}},
      {19, {self, 1, 1, 1, 0}},
      {20, {self, 3, Word(Address(&value))}},
      {21, {buf, self, 1, 1, 0}},
      {22, {self, 1, 1, 0, 0}},
      {23, {self, 1, 1, 0, 0}},
  };
  for (const Row& row : rows) {
    const std::int32_t moved = host_call_with_words(s.driver.Table()[row.slot], row.words.data(),
                                                    Word(row.words.size()), row.slot == 9);
    if (moved != 0) {
      std::string message = "slot ";
      message.append(std::to_string(row.slot)).append(" moved the stack by ");
      Fail(__FILE__, __LINE__, message.append(std::to_string(moved)));
    }
  }
  const Word link = Word(Address(&s.link));
  const std::vector<Word> di30 = {0, 0, link};
  const std::vector<Word> driver25 = {0, 0, link, 0, 0, 0, 0, 0};
  EXPECT_EQ(host_call_with_words(reinterpret_cast<Code>(TheLibrary().getDI30), di30.data(), 3, 0),
            0);
  EXPECT_EQ(
      host_call_with_words(reinterpret_cast<Code>(TheLibrary().getDriver25), driver25.data(), 8, 0),
      0);

  // The two handlers, as the line service calls them.
  const LinkCall check = s.link.Of(FakeLink::kSetReplyCheck).at(0);
  const LinkCall init = s.link.Of(FakeLink::kSetLineInit).at(0);
  const std::uint8_t ack[1] = {0x06};
  const std::uint8_t one = 1;
  const std::vector<Word> checkWords = {
      Word(check.words[2]), 1, Word(Address(ack)), 0, Word(Address(&one)), Word(Address(&one))};
  EXPECT_EQ(host_call_with_words(reinterpret_cast<Code>(check.words[1]), checkWords.data(), 6, 0),
            0);
  const std::vector<Word> initWords = {Word(init.words[2]), 1};
  EXPECT_EQ(host_call_with_words(reinterpret_cast<Code>(init.words[1]), initWords.data(), 2, 0), 0);
  // Only Abstract0 failed.
  EXPECT_EQ(Observations(),
            std::vector<Observed>({{.code = kAbstract, .message = "Abstract error"}}));
}

const char* messageSeen = nullptr;

LONG CALLBACK KeepMessageAddress(EXCEPTION_POINTERS* pointers) {
  if (pointers->ExceptionRecord->ExceptionCode == kSerialIO) {
    messageSeen = reinterpret_cast<const char*>(pointers->ExceptionRecord->ExceptionInformation[0]);
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

HOST_TEST(TheMessageStaysValidAfterTheRoutineReturns) {
  Setup s = NewSetup();
  PVOID handler = AddVectoredExceptionHandler(1, &KeepMessageAddress);
  s.link.Queue({.reply = kReadyReply, .result = 1});
  s.driver.StopPump(1, 1, 0);
  RemoveVectoredExceptionHandler(handler);
  EXPECT(messageSeen != nullptr && std::string(messageSeen) == "Can't STOP POMP");
}

#endif

}  // namespace
}  // namespace host
