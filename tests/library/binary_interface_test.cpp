// The binary interface, driven slot by slot from a host's side.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <thread>

#include "host.hpp"

#if WINDOWS_HOST
#include <windows.h>
#endif

namespace host {
namespace {

constexpr Word kJunk = 0xDEADBEEF;  // a word the driver must not read
const Bytes kAck = {0x06};
const Bytes kNak = {0x15};
const std::string kCommandFailed =
    "\xCD\xE5\xE2\xEE\xE7\xEC\xEE\xE6\xED\xEE \xE2\xFB\xEF\xEE\xEB\xED\xE8\xF2\xFC "
    "\xEA\xEE\xEC\xE0\xED\xE4\xF3";
const Observed kAbstractError = {.code = kAbstract, .message = "Abstract error"};

// Replies, built from their layouts: A (state 225); S with the state byte at
// index 6 ('1': 225); D with volume 12.34 and money 56.78 in hundredths,
// lowest digit first; T with two nine-digit counters; p with a value at 6..7.
const Bytes kReadyReply = Reply("A0");
const Bytes kStateReply = Reply("S0001000000");
const Bytes kLiveReply = Reply("D0432108765000");
const Bytes kParamReply = Reply("p00042");
Bytes TotalsReply(const std::string& first, const std::string& second) {
  std::string body = "T0";
  return Reply(body.append(first).append(second).append("0"));
}
Bytes Corrupt(Bytes reply) {
  reply.back() ^= 0x01;  // the check byte
  return reply;
}

std::uintptr_t Address(const void* pointer) {
  return reinterpret_cast<std::uintptr_t>(pointer);
}

LinkCall ExchangeCall(Word line, const Bytes& sent, Word expectedLen, Word mode) {
  return {TComLink_SLOT_Exchange, {line, line, Word(sent.size()), expectedLen, mode}, sent};
}

std::vector<Observed> Seen(std::initializer_list<Observed> observed) {
  return observed;
}

// --- Factories and the operations that talk to no dispenser.

HOST_TEST(FactoriesMakeIndependentObjectsWithOneTable) {
  Setup s = NewSetup();
  const Driver other =
      Keep(TheLibrary().getDriver25(0xFF, 0x1234, &s.link, kJunk, kJunk, kJunk, kJunk, kJunk));
  EXPECT(other.object != s.driver.object);
  EXPECT(other.Table() == s.driver.Table());
  for (Word line = 1; line <= 32; ++line) {
    EXPECT_EQ(other.Call(SLOT(GetLinkState), line), 1);
  }
  other.Call(SLOT(SetLinkState), 0x105u, 0x203u);  // line 5, state 3: low bytes
  EXPECT_EQ(other.Call(SLOT(GetLinkState), 0x305u), 3);
  EXPECT_EQ(s.driver.Call(SLOT(GetLinkState), 5u), 1);
  other.Call(SLOT(SetLinkState), 0x100u, 1u);  // line 0
  other.Call(SLOT(GetLinkState), 33u);
  EXPECT_EQ(Observations(), Seen({Range(), Range()}));
  EXPECT(s.link.calls.empty());
}

HOST_TEST(DriverInfoCapabilitiesNopsAndAbstract0) {
  Setup s = NewSetup();
  std::uint8_t info[40];
  std::memset(info, 0xAA, sizeof info);
  s.driver.CallFor(SLOT(GetDriverInfo), info);
  EXPECT_EQ(info[0], 25);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(info + 1), 25),
            std::string("v2.50#\xCF\xF0\xEE\xF2\xEE\xEA\xEE\xEB \xEA Tarvenix"));
  EXPECT_EQ(Bytes(info + 26, info + 40), Bytes(14, 0xAA));

  for (Word kind : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 0x103u}) {
    std::int32_t value = 77;
    const bool known = kind >= 1 && kind <= 5;
    EXPECT_EQ(s.driver.Call(SLOT(QueryCapability), kind, &value), known ? 1 : 0);
    EXPECT_EQ(value, !known ? 77 : kind == 3 ? 1 : 0);
  }

  s.driver.Call(SLOT(Nop5), kJunk);
  s.driver.Call(SLOT(Nop8), kJunk, kJunk, kJunk, kJunk, kJunk, kJunk, kJunk);
  s.driver.Call(SLOT(Nop12), kJunk, kJunk, kJunk);
  EXPECT(Observations().empty());
  s.driver.Call(SLOT(Abstract0));
  EXPECT_EQ(Observations(), Seen({kAbstractError}));
  EXPECT(s.link.calls.empty());
}

// --- State polling.

HOST_TEST(PollStateReadsByteArgumentsAndAcknowledges) {
  Setup s = NewSetup();
  s.link.Queue({.reply = kReadyReply});
  EXPECT_EQ(s.driver.Call(SLOT(PollState), 0x101u, 0x302u), 225);  // line 1, address 2
  EXPECT_EQ(s.link.calls, std::vector<LinkCall>({
                              {TComLink_SLOT_SetReplyCheck,
                               {1, s.link.calls.at(0).words.at(1), Address(s.driver.object)}},
                              ExchangeCall(1, Frame(2, 1, "P"), 25, 2),
                              {TComLink_SLOT_SetLineState, {1, 1}},
                              {TComLink_SLOT_SetLineError, {1, 0}},
                              {TComLink_SLOT_GetLineState, {1}},
                              ExchangeCall(1, kAck, 0, 0),
                          }));

  // A refused reply is not decoded: NAK, and the state the driver had, with
  // the high byte marking it as not refreshed.
  s.link.calls.clear();
  s.link.Queue({.reply = Corrupt(kStateReply)});
  EXPECT_EQ(s.driver.Call(SLOT(PollState), 1u, 2u), 0x100 | 225);
  EXPECT_EQ(s.link.Of(TComLink_SLOT_SetLineError).at(0).words,
            std::vector<std::uintptr_t>({1, 222}));
  EXPECT_EQ(s.link.Sent(), std::vector<Bytes>({Frame(2, 2, "P"), kNak}));

  // A failed exchange sends no acknowledgement; line 0 sends nothing.
  s.link.calls.clear();
  s.link.Queue({.reply = kReadyReply, .result = 5});
  s.driver.Call(SLOT(PollState), 1u, 2u);
  s.driver.Call(SLOT(PollState), 256u, 1u);
  EXPECT_EQ(s.link.Sent(), std::vector<Bytes>({Frame(2, 3, "P")}));
  EXPECT_EQ(Observations(), Seen({Serial("Can't GetSost"), Range()}));
}

Bytes BytesOf(const TStateRecord& record) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&record);
  return Bytes(bytes, bytes + sizeof record);
}

HOST_TEST(GetStateRecordWritesFourBytesOfTheHostsRecord) {
  Setup s = NewSetup();
  TStateRecord record;
  std::memset(&record, 0xAA, sizeof record);
  s.driver.CallFor(SLOT(GetStateRecord), &record, 0x101u, 0x201u, kJunk);
  Bytes expected(16, 0xAA);
  expected[0] = 225;
  expected[1] = 0;
  expected[14] = 225 & 7;
  expected[15] = 0;
  EXPECT_EQ(BytesOf(record), expected);

  s.link.Queue({.reply = Corrupt(kReadyReply)});
  s.driver.CallFor(SLOT(GetStateRecord), &record, 1u, 1u, kJunk);
  EXPECT_EQ(record.notRefreshed, 1);
}

// A failure of an operation that another calls through the table is raised
// once, by the routine the host called, which then writes nothing more
// (under Windows: also when the host's handler continues it).
HOST_TEST(InnerFailuresAreRaisedOnceByTheOuterRoutine) {
  Setup s = NewSetup();
  TStateRecord record;
  std::memset(&record, 0xAA, sizeof record);
  s.link.Queue({.reply = kReadyReply, .result = 5});
  s.driver.CallFor(SLOT(GetStateRecord), &record, 1u, 1u, kJunk);
  EXPECT_EQ(BytesOf(record), Bytes(16, 0xAA));

  // The follow-up poll of ReadTotals fails: the counters are not returned.
  double volume = -1;
  double money = -1;
  s.link.Queue({.reply = TotalsReply("000012345", "000067890")});
  s.link.Queue({.reply = kReadyReply, .result = 5});
  s.driver.Call(SLOT(ReadTotals), 1, 2, 1, &volume, &money, kJunk, kJunk);
  EXPECT_EQ(volume, 0.0);
  EXPECT_EQ(money, 0.0);

  s.link.Queue({.reply = kReadyReply, .result = 5});
  s.driver.Call(SLOT(StopPump3), 1, 2, kJunk, 0u);
  EXPECT_EQ(Observations(),
            Seen({Serial("Can't GetSost"), Serial("Can't GetSost"), Serial("Can't STOP POMP")}));
}

HOST_TEST(NullAddressesAreRangeErrorsThatWriteNothing) {
  Setup s = NewSetup();
  s.driver.Call(SLOT(StartPump), 1, 1, 1);  // so that a live read would poll
  s.link.calls.clear();
  double volume = -1;
  s.driver.CallFor(SLOT(GetDriverInfo), nullptr);
  s.driver.CallFor(SLOT(GetStateRecord), nullptr, 1u, 1u, kJunk);
  s.driver.Call(SLOT(ReadLive), 1, 1, nullptr);
  s.driver.Call(SLOT(ReadLiveRepeated), 1, 1, &volume, nullptr);
  s.driver.Call(SLOT(ReadTotals), 1, 1, 1, &volume, nullptr, kJunk, kJunk);
  s.driver.Call(SLOT(QueryCapability), 3u, nullptr);
  EXPECT_EQ(s.driver.Call(SLOT(QueryCapability), 0u, nullptr),
            0);  // an unknown kind writes nothing
  EXPECT(Guard([] { return TheLibrary().getDI30(0, 0, nullptr); }) == nullptr);
  EXPECT_EQ(volume, -1.0);
  EXPECT(s.link.calls.empty());
  EXPECT_EQ(Observations(), std::vector<Observed>(7, Range()));
}

// --- Prices, doses, start and stop.

HOST_TEST(StartAndStopSendTheStoredPriceAndDose) {
  Setup s = NewSetup();
  s.driver.Call(SLOT(SetUnitPrice), 1, 3, kJunk, kJunk, kJunk, 45.30);
  s.driver.Call(SLOT(SetDoseVolume), 1, 3, kJunk, kJunk, 20.0);
  s.driver.Call(SLOT(StartPump), 1, 3, 1);
  s.driver.Call(SLOT(SetDoseMoney), 1, 3, kJunk, kJunk, 500.0);
  s.driver.Call(SLOT(StartPump), 1, 3, 10);
  s.driver.Call(SLOT(StopPump), 1, 2, kJunk);
  EXPECT_EQ(s.link.Of(TComLink_SLOT_Exchange),
            std::vector<LinkCall>({ExchangeCall(1, Frame(3, 1, "E00000453002001A"), 1, 6),
                                   ExchangeCall(1, Frame(3, 2, "E0050045300000:A"), 1, 6),
                                   ExchangeCall(1, Frame(2, 1, "T"), 1, 6)}));
  EXPECT(Observations().empty());

  s.link.Queue({.reply = kReadyReply, .result = 1});
  s.driver.Call(SLOT(StartPump), 1, 3, 1);
  s.link.Queue({.reply = kReadyReply, .result = -1});
  s.driver.Call(SLOT(StopPump), 1, 2, 0u);
  s.driver.Call(SLOT(SetUnitPrice), 33, 3, kJunk, kJunk, kJunk, 1.0);
  s.driver.Call(SLOT(SetDoseVolume), 1, 0, kJunk, kJunk, 1.0);
  s.driver.Call(SLOT(StartPump), 1, 3, 208);
  s.driver.Call(SLOT(StopPump), 257, 2, 0u);  // a 32-bit line is read whole
  EXPECT_EQ(Observations(), Seen({Serial("Can't START POMP"), Serial("Can't STOP POMP"), Range(),
                                  Range(), Range(), Range()}));
}

// --- Live readout, totals and parameters.

HOST_TEST(ReadLiveReturnsTheVolumeAndWritesTheMoney) {
  Setup s = NewSetup();
  double money = -1;
  EXPECT_EQ(s.driver.Call(SLOT(ReadLive), 1, 1, &money), 0.0);  // not started: no poll
  EXPECT_EQ(money, 0.0);
  EXPECT(s.link.calls.empty());

  s.driver.Call(SLOT(StartPump), 1, 1, 1);
  s.link.calls.clear();
  s.link.Queue({.reply = kLiveReply});
  EXPECT_EQ(s.driver.Call(SLOT(ReadLive), 1, 1, &money), 12.34);
  EXPECT_EQ(money, 56.78);
  EXPECT_EQ(s.link.Of(TComLink_SLOT_Exchange),
            std::vector<LinkCall>(
                {ExchangeCall(1, Frame(1, 2, "C"), 22, 2), ExchangeCall(1, kAck, 0, 0)}));

  // A failure leaves the host's double as it was.
  money = -1;
  s.link.Queue({.reply = kLiveReply, .result = 9});
  const double volume = s.driver.Call(SLOT(ReadLive), 1, 1, &money);
  s.driver.Call(SLOT(ReadLive), 257, 1, &money);
  EXPECT_EQ(money, -1.0);
  EXPECT_EQ(Observations(), Seen({Serial("Can't GetSost"), Range()}));
  if (WINDOWS_HOST) {
    EXPECT_EQ(volume, 0.0);  // the continued routine returned no result
  }
}

HOST_TEST(ReadTotalsAcknowledgesThenPolls) {
  Setup s = NewSetup();
  double volume = -1;
  double money = -1;
  s.link.Queue({.reply = TotalsReply("000012345", "000067890")});
  s.driver.Call(SLOT(ReadTotals), 1, 2, 1, &volume, &money, kJunk, kJunk);
  EXPECT_EQ(volume, 12345.0);
  EXPECT_EQ(money, 67890.0);
  EXPECT_EQ(s.link.Of(TComLink_SLOT_Exchange),
            std::vector<LinkCall>(
                {ExchangeCall(1, Frame(2, 1, "V1"), 25, 2), ExchangeCall(1, kAck, 0, 0),
                 ExchangeCall(1, Frame(2, 2, "P"), 25, 2), ExchangeCall(1, kAck, 0, 0)}));

  // A zero first counter makes a second poll.
  s.link.calls.clear();
  s.link.Queue({.reply = TotalsReply("000000000", "000000005")});
  s.driver.Call(SLOT(ReadTotals), 1, 2, 10, &volume, &money, kJunk, kJunk);
  EXPECT_EQ(s.link.Sent(), std::vector<Bytes>({Frame(2, 3, "V:"), kAck, Frame(2, 4, "P"), kAck,
                                               Frame(2, 5, "P"), kAck}));
  EXPECT_EQ(money, 5.0);

  // The results are cleared before the selector is refused.
  s.driver.Call(SLOT(ReadTotals), 1, 2, 208, &volume, &money, kJunk, kJunk);
  EXPECT_EQ(volume, 0.0);
  EXPECT_EQ(money, 0.0);
  EXPECT_EQ(Observations(), Seen({Range()}));
}

HOST_TEST(ReadParamAndWriteParam) {
  Setup s = NewSetup();
  s.link.Queue({.reply = kParamReply});
  EXPECT_EQ(s.driver.Call(SLOT(ReadParam), 1, 1, 107), 42);
  EXPECT_EQ(s.link.Of(TComLink_SLOT_Exchange),
            std::vector<LinkCall>(
                {ExchangeCall(1, Frame(1, 1, "r07"), 25, 0), ExchangeCall(1, kAck, 0, 0),
                 ExchangeCall(1, Frame(1, 2, "P"), 25, 2), ExchangeCall(1, kAck, 0, 0),
                 ExchangeCall(1, Frame(1, 3, "P"), 25, 2), ExchangeCall(1, kAck, 0, 0)}));

  s.link.calls.clear();
  s.link.Queue({.reply = Corrupt(kParamReply)});
  EXPECT_EQ(s.driver.Call(SLOT(ReadParam), 1, 1, 7), 0);
  s.driver.Call(SLOT(WriteParam), 1, 1, 12, 3);
  EXPECT_EQ(s.link.Sent().at(1), kNak);
  EXPECT_EQ(s.link.Of(TComLink_SLOT_Exchange).at(6), ExchangeCall(1, Frame(1, 7, "w1233"), 25, 0));
  EXPECT_EQ(s.link.Sent().at(7), kAck);

  s.link.Queue({.reply = kReadyReply, .result = 2});
  EXPECT_EQ(s.driver.Call(SLOT(ReadParam), 1, 1, 7), 0);
  s.link.Queue({.reply = kReadyReply, .result = 2});
  s.driver.Call(SLOT(WriteParam), 1, 1, 7, 1);
  EXPECT_EQ(Observations(), Seen({Serial(kCommandFailed), Serial(kCommandFailed)}));
}

// --- Line initialisation and the handlers.

HOST_TEST(InitLinePassesItsWholeWordAndInstallsTheLineInit) {
  Setup s = NewSetup();
  s.link.Queue({.reply = kStateReply});
  s.driver.Call(SLOT(InitLine), 0x103u);
  const std::vector<LinkCall>& calls = s.link.calls;
  EXPECT_EQ(s.link.Slots(), std::vector<int>({21, 17, 19, 18, 3, 2, 4, 18}));
  EXPECT_EQ(calls.at(0).words.at(0), 0x103u);
  EXPECT_EQ(calls.at(0).words.at(2), Address(s.driver.object));
  EXPECT_EQ(calls.at(1).words, std::vector<std::uintptr_t>({0x103, 14, 4800}));
  EXPECT_EQ(calls.at(3), ExchangeCall(3, Frame(1, 1, "S0"), 15, 2));
  EXPECT_EQ(calls.at(7), ExchangeCall(0x103, kAck, 0, 0));

  // The line init, called through its two words, does it all again; the
  // reset made the next frame to address 1 carry the digit 0. A failed
  // reset reaches whoever called it.
  s.link.calls.clear();
  s.link.Queue({.reply = kStateReply});
  s.link.initRoutine[3](s.link.initObject[3], 3);
  EXPECT_EQ(s.link.Slots(), std::vector<int>({17, 19, 18, 3, 2, 4, 18}));
  EXPECT_EQ(s.link.Sent().at(0), Frame(1, 0, "S0"));
  s.link.Queue({.reply = kStateReply, .result = 1});
  Guard([&] { s.link.initRoutine[3](s.link.initObject[3], 3); });
  EXPECT_EQ(Observations(), Seen({Serial("Can't GetSost")}));
}

HOST_TEST(ReplyCheckIsCalledThroughItsTwoWords) {
  Setup s = NewSetup();
  s.driver.Call(SLOT(PollState), 1u, 1u);
  const LinkCall install = s.link.Of(TComLink_SLOT_SetReplyCheck).at(0);
  EXPECT_EQ(install.words.at(2), Address(s.driver.object));
  EXPECT_EQ(s.link.verdicts, std::vector<std::uint8_t>({1}));

  // Called by the host directly: a lone ACK byte when one byte was expected.
  s.link.calls.clear();
  const std::uint8_t buffer[1] = {0x06};
  const std::uint8_t one = 1;
  const auto check = reinterpret_cast<TVM30_ReplyCheckHandler>(install.words.at(1));
  EXPECT_EQ(check(reinterpret_cast<void*>(install.words.at(2)), 0x107, buffer, 0, &one, &one), 1);
  EXPECT_EQ(s.link.calls, std::vector<LinkCall>({{TComLink_SLOT_SetLineState, {7, 1}},
                                                 {TComLink_SLOT_SetLineError, {7, 0}}}));
  // Null counts are refused before anything is reported.
  s.link.calls.clear();
  Guard([&] {
    return check(reinterpret_cast<void*>(install.words.at(2)), 7, buffer, 0, nullptr, &one);
  });
  EXPECT(s.link.calls.empty());
  EXPECT_EQ(Observations(), Seen({Range()}));

  // The check reads no byte beyond the highest index it is given.
  s.link.calls.clear();
  s.link.Queue({.reply = kReadyReply, .highIndex = 3});
  EXPECT_EQ(s.driver.Call(SLOT(PollState), 1u, 1u), 0x100 | 225);
  EXPECT_EQ(s.link.Of(TComLink_SLOT_SetLineError).at(0).words,
            std::vector<std::uintptr_t>({1, 219}));
}

// --- Calls between operations go through the object's current table.

const Code* originalTable = nullptr;
std::vector<LinkCall> tableCalls;  // slot and words after the object

template <typename Routine>
Routine Original(TypedSlot<Routine> slot) {
  return reinterpret_cast<Routine>(originalTable[slot.index]);
}

void TARVENIX_CALL TraceStopPump(void* self, std::int32_t line, std::int32_t addr, Word hostByte) {
  tableCalls.push_back({4, {Word(line), Word(addr), hostByte}});
  Original(SLOT(StopPump))(self, line, addr, hostByte);
}
double TARVENIX_CALL TraceReadLive(void* self, std::int32_t line, std::int32_t addr,
                                   double* money) {
  tableCalls.push_back({9, {Word(line), Word(addr)}});
  return Original(SLOT(ReadLive))(self, line, addr, money);
}
std::uint16_t TARVENIX_CALL TracePollState(void* self, Word line, Word addr) {
  tableCalls.push_back({10, {line, addr}});
  return Original(SLOT(PollState))(self, line, addr);
}
void TARVENIX_CALL TraceStartPump(void* self, std::int32_t line, std::int32_t addr,
                                  std::int32_t mode) {
  tableCalls.push_back({15, {Word(line), Word(addr), Word(mode)}});
  Original(SLOT(StartPump))(self, line, addr, mode);
}
void TARVENIX_CALL TraceGetStateRecord(TStateRecord* record, void* self, Word line, Word addr,
                                       Word unread) {
  tableCalls.push_back({21, {line, addr}});
  Original(SLOT(GetStateRecord))(record, self, line, addr, unread);
}

// Puts `routine` at its slot of `table`, checked against the slot's type.
template <typename Routine>
void Install(Code* table, TypedSlot<Routine> slot, Routine routine) {
  table[slot.index] = reinterpret_cast<Code>(routine);
}

HOST_TEST(InternalCallsGoThroughTheTableTheHostInstalled) {
  Setup s = NewSetup();
  originalTable = s.driver.Table();
  Code traced[TVM30_SLOT_COUNT];
  std::memcpy(traced, originalTable, sizeof traced);
  Install(traced, SLOT(StopPump), &TraceStopPump);
  Install(traced, SLOT(ReadLive), &TraceReadLive);
  Install(traced, SLOT(PollState), &TracePollState);
  Install(traced, SLOT(StartPump), &TraceStartPump);
  Install(traced, SLOT(GetStateRecord), &TraceGetStateRecord);
  *static_cast<const Code**>(s.driver.object) = traced;
  tableCalls.clear();

  s.driver.Call(SLOT(StartPump2), 1, 2, 3, kJunk);
  s.driver.Call(SLOT(StopPump2), 1, 2, kJunk, 0x1FFu);
  s.driver.Call(SLOT(StopPump3), 1, 2, kJunk, 0x2FEu);
  EXPECT_EQ(tableCalls,
            std::vector<LinkCall>({{15, {1, 2, 3}}, {4, {1, 2, 0xFF}}, {4, {1, 2, 0xFE}}}));

  tableCalls.clear();
  double volume = -1;
  double money = -1;
  s.driver.Call(SLOT(ReadLiveRepeated), 1, 2, &volume, &money);
  const std::vector<LinkCall> round = {{9, {1, 2}}, {21, {1, 2}}, {10, {1, 2}}};
  std::vector<LinkCall> rounds = round;
  rounds.insert(rounds.end(), round.begin(), round.end());
  rounds.insert(rounds.end(), round.begin(), round.end());
  EXPECT_EQ(tableCalls, rounds);
  EXPECT_EQ(volume, 0.0);

  tableCalls.clear();
  s.driver.Call(SLOT(ReadTotals), 1, 2, 1, &volume, &money, kJunk, kJunk);  // counters 0: two polls
  s.driver.Call(SLOT(ReadParam), 1, 2, 1);
  EXPECT_EQ(tableCalls, std::vector<LinkCall>(4, {10, {1, 2}}));

  *static_cast<const Code**>(s.driver.object) = originalTable;
  EXPECT(Observations().empty());
}

// --- Exceptions of the host's line service.

HOST_TEST(HostExceptionsInExchangeOrGetLineStateEndInTheDriver) {
  Setup s = NewSetup();
  s.driver.Call(SLOT(SetLinkState), 1u, 7u);
  s.link.Queue({.reply = kReadyReply, .inExchange = Raise::kHostException});
  s.driver.Call(SLOT(PollState), 1u, 1u);
  s.link.Queue({.reply = kReadyReply, .inGetLineState = Raise::kHostException});
  s.driver.Call(SLOT(StopPump), 1, 1, 0u);
  EXPECT_EQ(s.link.Of(TComLink_SLOT_FailResult).size(), 2u);
  EXPECT_EQ(s.driver.Call(SLOT(GetLinkState), 1u), 7);
  EXPECT_EQ(Observations(), Seen({Serial("Can't GetSost"), Serial("Can't STOP POMP")}));

  // FailResult decides: 0 lets the operation go on with the old line state.
  s.link.calls.clear();
  s.link.failResult = 0;
  s.link.Queue({.reply = kReadyReply, .inExchange = Raise::kHostException});
  EXPECT_EQ(s.driver.Call(SLOT(PollState), 1u, 1u), 0x100);
  EXPECT_EQ(s.link.Sent().back(), kNak);
  EXPECT_EQ(Observations().size(), 2u);
}

HOST_TEST(HostExceptionInTheReplyCheckReachesItsCaller) {
  Setup s = NewSetup();
  s.link.Queue({.reply = kReadyReply, .inSetLineState = Raise::kHostException});
  s.driver.Call(SLOT(PollState), 1u, 1u);
  // Seen by the line service's Exchange, which let it go on; then ended in
  // the driver like any exception of the exchange.
  EXPECT_EQ(Observations(), Seen({FromHost(), Serial("Can't GetSost")}));
  EXPECT_EQ(s.link.Of(TComLink_SLOT_FailResult).size(), 1u);
}

HOST_TEST(HostExceptionDuringTheAcknowledgementReachesTheHostUnlocked) {
  Setup s = NewSetup();
  s.link.onAcknowledge = Raise::kHostException;
  EXPECT_EQ(s.driver.Call(SLOT(PollState), 1u, 1u), 0);
  s.link.onAcknowledge = Raise::kHostException;
  s.link.Queue({.reply = TotalsReply("000000001", "000000001")});
  double volume = -1;
  double money = -1;
  s.driver.Call(SLOT(ReadTotals), 1, 1, 1, &volume, &money, kJunk, kJunk);
  EXPECT_EQ(Observations(), Seen({FromHost(), FromHost()}));

  // Another thread gets the line's lock: the driver left it.
  std::atomic<bool> done{false};
  std::thread other([&] {
    s.driver.Call(SLOT(PollState), 1u, 1u);
    done = true;
  });
  for (int wait = 0; wait < 500 && !done; ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!done) {
    std::fprintf(stderr, "a line lock was left held\n");
    std::_Exit(1);
  }
  other.join();
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
    const std::uint16_t wordBefore = ControlWord();                 // as the processor keeps it
    s.driver.Call(SLOT(SetDoseVolume), 1, 3, kJunk, kJunk, 20.05);  // 200.5000000000000071: 201
    s.driver.Call(SLOT(SetUnitPrice), 1, 3, kJunk, kJunk, kJunk, 0.125);  // 12.5: to the even 12
    s.driver.Call(SLOT(SetUnitPrice), 1, 4, kJunk, kJunk, kJunk,
                  std::numeric_limits<double>::quiet_NaN());
    s.driver.Call(SLOT(SetUnitPrice), 1, 4, kJunk, kJunk, kJunk,
                  std::numeric_limits<double>::infinity());
    s.driver.Call(SLOT(SetDoseMoney), 1, 4, kJunk, kJunk, 3e9);
    const std::uint16_t wordAfter = ControlWord();
    const std::uint16_t flagsAfter = ExceptionFlags();
    LoadControlWord(original);
    ClearExceptionFlags();

    EXPECT_EQ(wordAfter, wordBefore);
    EXPECT_EQ(flagsAfter, 0);
    EXPECT_EQ(Observations(), Seen({Range(), Range(), Range()}));
    s.driver.Call(SLOT(StartPump), 1, 3, 1);
    // Money dose 0000, price 0012, volume dose 0201, mode 1.
    EXPECT_EQ(s.link.Sent().at(0), Frame(3, 1, "E00000001202011A"));
  }
}

#if WINDOWS_HOST

HOST_TEST(AnyStructuredExceptionOfExchangeEndsInTheDriver) {
  Setup s = NewSetup();
  s.link.Queue({.reply = kReadyReply, .inExchange = Raise::kAccessViolation});
  s.driver.Call(SLOT(PollState), 1u, 1u);
  EXPECT_EQ(s.link.Of(TComLink_SLOT_FailResult).size(), 1u);
  EXPECT_EQ(Observations(), Seen({Serial("Can't GetSost")}));
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
  s.driver.Call(SLOT(StopPump), 1, 1, 0u);
  RemoveVectoredExceptionHandler(handler);
  EXPECT(messageSeen != nullptr && std::string(messageSeen) == "Can't STOP POMP");
}

// Calls `routine` with `count` stack words (the first at the lowest
// address) and returns by how much the stack pointer moved across the call:
// 0 when the routine removed exactly its words. A real result, left on the
// x87 stack, is popped.
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

// Also fails when the routine leaves the x87 register stack other than
// empty (after its real result was popped), or popped a register it did not
// push (a stack fault).
std::int32_t StackMoved(Code routine, const std::vector<Word>& words, bool realResult = false) {
  ClearExceptionFlags();
  const std::int32_t moved =
      host_call_with_words(routine, words.data(), Word(words.size()), realResult ? 1 : 0);
  struct {
    std::uint16_t control, unused0, status, unused1, tags, unused2;
    std::uint32_t pointers[4];
  } environment;
  asm volatile("fnstenv %0\n\tfldcw %0" : "=m"(environment));
  EXPECT_EQ(environment.tags, 0xFFFF);
  EXPECT_EQ(environment.status & 0x40, 0);
  return moved;
}

HOST_TEST(EveryRoutineRemovesExactlyItsStackWords) {
  Setup s = NewSetup();
  const auto word = [](const void* pointer) { return Word(Address(pointer)); };
  const Word self = word(s.driver.object);
  const double real = 1.5;
  Word lo, hi;  // the real's two stack words
  std::memcpy(&lo, &real, 4);
  std::memcpy(&hi, reinterpret_cast<const char*>(&real) + 4, 4);
  std::uint8_t buffer[40] = {};
  double volume = 0;
  double money = 0;
  std::int32_t value = 0;
  const Word buf = word(buffer), vol = word(&volume), mon = word(&money);

  const std::vector<std::vector<Word>> words = {
      {self},                           // 0 Abstract0
      {buf, self},                      // 1 GetDriverInfo
      {self, 1, 1},                     // 2 SetLinkState
      {self, 1},                        // 3 GetLinkState
      {self, 1, 1, 0},                  // 4 StopPump
      {self, 0},                        // 5 Nop5
      {self, 1, 1, vol, mon},           // 6 ReadLiveRepeated
      {self, 1, 1, 1, vol, mon, 0, 0},  // 7 ReadTotals
      {self, 0, 0, 0, 0, 0, 0, 0},      // 8 Nop8
      {self, 1, 1, mon},                // 9 ReadLive
      {self, 1, 1},                     // 10 PollState
      {self, 1, 1, 0, 0, 0, lo, hi},    // 11 SetUnitPrice
      {self, 0, 0, 0},                  // 12 Nop12
      {self, 1, 1, 0, 0, lo, hi},       // 13 SetDoseVolume
      {self, 1, 1, 0, 0, lo, hi},       // 14 SetDoseMoney
      {self, 1, 1, 1},                  // 15 StartPump
      {self, 1},                        // 16 InitLine
      {self, 1, 1, 1},                  // 17 ReadParam
      {self, 1, 1, 1, 1},               // 18 WriteParam
      {self, 1, 1, 1, 0},               // 19 StartPump2
      {self, 3, word(&value)},          // 20 QueryCapability
      {buf, self, 1, 1, 0},             // 21 GetStateRecord
      {self, 1, 1, 0, 0},               // 22 StopPump2
      {self, 1, 1, 0, 0},               // 23 StopPump3
  };
  for (std::size_t slot = 0; slot < words.size(); ++slot) {
    EXPECT_EQ(StackMoved(s.driver.Table()[slot], words[slot], slot == TVM30_SLOT_ReadLive), 0);
  }
  const Word link = word(&s.link);
  EXPECT_EQ(StackMoved(reinterpret_cast<Code>(TheLibrary().getDI30), {0, 0, link}), 0);
  EXPECT_EQ(
      StackMoved(reinterpret_cast<Code>(TheLibrary().getDriver25), {0, 0, link, 0, 0, 0, 0, 0}), 0);

  // The two handlers, as the line service calls them.
  const LinkCall check = s.link.Of(TComLink_SLOT_SetReplyCheck).at(0);
  const LinkCall init = s.link.Of(TComLink_SLOT_SetLineInit).at(0);
  const std::uint8_t ack[1] = {0x06};
  const std::uint8_t one = 1;
  EXPECT_EQ(StackMoved(reinterpret_cast<Code>(check.words[1]),
                       {Word(check.words[2]), 1, word(ack), 0, word(&one), word(&one)}),
            0);
  EXPECT_EQ(StackMoved(reinterpret_cast<Code>(init.words[1]), {Word(init.words[2]), 1}), 0);
  EXPECT_EQ(Observations(), Seen({kAbstractError}));  // only Abstract0 failed
}

#endif

}  // namespace
}  // namespace host
