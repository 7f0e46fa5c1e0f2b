#include "host.hpp"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#if WINDOWS_HOST
#include <windows.h>
#else
#include <dlfcn.h>

#include <stdexcept>
#include <tarvenix/errors.hpp>
#endif

namespace host {
namespace {

int failuresInCase = 0;
Library library;

#if WINDOWS_HOST

// Set right before the line service raises: the driver is to end that
// exception or carry it to the host, so the vectored handler lets it pass.
bool hostRaising = false;
// Set while the line service runs the driver's reply check: an exception
// leaving the check is the host's to see, and then goes on through Exchange.
bool insideReplyCheck = false;

bool Known(DWORD code) {
  return code == kRangeError || code == kSerialIO || code == kAbstract || code == kOtherError ||
         code == kHostCode || code == EXCEPTION_ACCESS_VIOLATION;
}

LONG CALLBACK ObserveException(EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
  if (hostRaising) {
    hostRaising = false;
    return EXCEPTION_CONTINUE_SEARCH;
  }
  if (!Known(record.ExceptionCode)) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  Observed observed{.code = record.ExceptionCode};
  const bool driverCode = record.ExceptionCode == kSerialIO || record.ExceptionCode == kAbstract ||
                          record.ExceptionCode == kOtherError;
  if (driverCode) {
    EXPECT_EQ(record.NumberParameters, 1u);
    observed.message = reinterpret_cast<const char*>(record.ExceptionInformation[0]);
  } else if (record.ExceptionCode == kRangeError) {
    EXPECT_EQ(record.NumberParameters, 0u);
  } else {
    observed.parameters.assign(record.ExceptionInformation,
                               record.ExceptionInformation + record.NumberParameters);
  }
  EXPECT_EQ(record.ExceptionFlags, 0u);
  Observations().push_back(observed);
  if (insideReplyCheck) {
    insideReplyCheck = false;
    return EXCEPTION_CONTINUE_SEARCH;
  }
  return EXCEPTION_CONTINUE_EXECUTION;
}

[[noreturn]] void HostRaise(Raise kind) {
  hostRaising = true;
  if (kind == Raise::kAccessViolation) {
    volatile std::uintptr_t bad = 16;
    *reinterpret_cast<volatile int*>(bad) = 1;
  }
  const ULONG_PTR parameters[2] = {kHostParameters[0], kHostParameters[1]};
  RaiseException(kHostCode, 0, 2, parameters);
  std::abort();  // continued: never, the driver unwinds it
}

#else

struct HostError : std::runtime_error {
  HostError() : std::runtime_error("host's line service failed") {}
};

[[noreturn]] void HostRaise(Raise /*kind*/) {
  throw HostError();
}

#endif

void RaiseIfAsked(Raise& raise) {
  const Raise kind = raise;
  raise = Raise::kNone;
  if (kind != Raise::kNone) {
    HostRaise(kind);
  }
}

FakeLink& Fake(TarvenixObject* self) {
  return *static_cast<FakeLink*>(self);
}

void Record(TarvenixObject* self, int slot, std::vector<std::uintptr_t> words, Bytes sent = {}) {
  Fake(self).calls.push_back({slot, std::move(words), std::move(sent)});
}

// The line service's routines. Nothing with a destructor is alive where
// they raise: a structured exception unwinds their frames without running
// destructors.

std::int32_t TARVENIX_CALL FailResult(TarvenixObject* self, Word line) {
  Record(self, TComLink_SLOT_FailResult, {line});
  return Fake(self).failResult;
}

void TARVENIX_CALL SetLineError(TarvenixObject* self, Word line, Word code) {
  Record(self, TComLink_SLOT_SetLineError, {line, code});
}

void TARVENIX_CALL SetLineState(TarvenixObject* self, Word line, Word state) {
  Record(self, TComLink_SLOT_SetLineState, {line, state});
  RaiseIfAsked(Fake(self).current.inSetLineState);
  Fake(self).lineState[line & 0xFF] = state;
}

std::uint8_t TARVENIX_CALL GetLineState(TarvenixObject* self, Word line) {
  Record(self, TComLink_SLOT_GetLineState, {line});
  RaiseIfAsked(Fake(self).current.inGetLineState);
  return static_cast<std::uint8_t>(Fake(self).lineState[line & 0xFF]);
}

std::int32_t TARVENIX_CALL ConfigureLine(TarvenixObject* self, Word line, Word setting, Word baud) {
  Record(self, TComLink_SLOT_ConfigureLine, {line, setting, baud});
  return 0x55;  // ignored by the driver
}

std::uint8_t RunReplyCheck(FakeLink& fake, Word line, std::uint8_t* buffer, std::uint8_t rxLen,
                           std::uint8_t expectedLen) {
  const Word key = line & 0xFF;
#if WINDOWS_HOST
  insideReplyCheck = true;
  const std::uint8_t verdict = fake.checkRoutine[key](fake.checkObject[key], line, buffer,
                                                      fake.current.highIndex, &rxLen, &expectedLen);
  insideReplyCheck = false;
  return verdict;
#else
  try {
    return fake.checkRoutine[key](fake.checkObject[key], line, buffer, fake.current.highIndex,
                                  &rxLen, &expectedLen);
  } catch (...) {
    RecordCurrentException();
    throw;
  }
#endif
}

void NextScript(FakeLink& fake) {
  if (fake.scripts.empty()) {
    fake.current = Script{.reply = fake.defaultReply};
  } else {
    fake.current = std::move(fake.scripts.front());
    fake.scripts.pop_front();
  }
}

std::int32_t TARVENIX_CALL Exchange(TarvenixObject* self, Word line, Word port,
                                    const std::uint8_t* request, Word requestLen,
                                    std::uint8_t* reply, Word expectedLen, Word mode) {
  Record(self, TComLink_SLOT_Exchange, {line, port, requestLen, expectedLen, mode},
         Bytes(request, request + requestLen));
  FakeLink& fake = Fake(self);
  if (expectedLen == 0) {  // the ACK or NAK: nothing comes back
    EXPECT(request == reply);
    RaiseIfAsked(fake.onAcknowledge);
    return 0;
  }
  NextScript(fake);
  RaiseIfAsked(fake.current.inExchange);
  std::memcpy(reply, fake.current.reply.data(), fake.current.reply.size());
  const auto rxLen = static_cast<std::uint8_t>(
      fake.current.rxLen < 0 ? fake.current.reply.size() : std::size_t(fake.current.rxLen));
  fake.verdicts.push_back(
      RunReplyCheck(fake, line, reply, rxLen, static_cast<std::uint8_t>(expectedLen)));
  return fake.current.result;
}

void TARVENIX_CALL SetReplyCheck(TarvenixObject* self, Word line, TVM30_ReplyCheckHandler routine,
                                 void* object) {
  Record(
      self, TComLink_SLOT_SetReplyCheck,
      {line, reinterpret_cast<std::uintptr_t>(routine), reinterpret_cast<std::uintptr_t>(object)});
  Fake(self).checkRoutine[line & 0xFF] = routine;
  Fake(self).checkObject[line & 0xFF] = object;
}

void TARVENIX_CALL SetLineInit(TarvenixObject* self, Word line, TVM30_LineInitHandler routine,
                               void* object) {
  Record(
      self, TComLink_SLOT_SetLineInit,
      {line, reinterpret_cast<std::uintptr_t>(routine), reinterpret_cast<std::uintptr_t>(object)});
  Fake(self).initRoutine[line & 0xFF] = routine;
  Fake(self).initObject[line & 0xFF] = object;
}

// Any other slot: the driver must not call it.
void TARVENIX_CALL Unexpected() {
  std::fprintf(stderr, "the driver called a slot of the line service it must not call\n");
  std::abort();
}

// Each routine enters the table as its slot's type, so a signature that
// differs from the header's does not compile.
template <typename Routine>
Code Entry(Routine routine) {
  return reinterpret_cast<Code>(routine);
}

const Code* LinkTable() {
  static Code table[TComLink_SLOT_COUNT];
  for (Code& entry : table) {
    entry = Entry(&Unexpected);
  }
  table[TComLink_SLOT_FailResult] = Entry<TComLink_FailResult>(&FailResult);
  table[TComLink_SLOT_SetLineError] = Entry<TComLink_SetLineError>(&SetLineError);
  table[TComLink_SLOT_SetLineState] = Entry<TComLink_SetLineState>(&SetLineState);
  table[TComLink_SLOT_GetLineState] = Entry<TComLink_GetLineState>(&GetLineState);
  table[TComLink_SLOT_ConfigureLine] = Entry<TComLink_ConfigureLine>(&ConfigureLine);
  table[TComLink_SLOT_Exchange] = Entry<TComLink_Exchange>(&Exchange);
  table[TComLink_SLOT_SetReplyCheck] = Entry<TComLink_SetReplyCheck>(&SetReplyCheck);
  table[TComLink_SLOT_SetLineInit] = Entry<TComLink_SetLineInit>(&SetLineInit);
  return table;
}

std::string Hex(std::uint64_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%" PRIX64, value);
  return text;
}

}  // namespace

// --- Runner

std::vector<Case>& Cases() {
  static std::vector<Case> cases;
  return cases;
}

void Fail(const char* file, int line, const std::string& message) {
  ++failuresInCase;
  std::fprintf(stderr, "  %s:%d: %s\n", file, line, message.c_str());
}

// Text is built by appending: GCC 12 at -O3 warns falsely about chains of
// std::string operator+.
std::string ShowInteger(std::int64_t value) {
  std::string text = std::to_string(value);
  if (value > 9 || value < 0) {
    text.append(" (").append(Hex(std::uint64_t(value))).append(")");
  }
  return text;
}

std::string Show(const std::string& value) {
  std::string text = "\"";
  for (unsigned char c : value) {
    if (c >= 32 && c < 127) {
      text.push_back(char(c));
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      text.append(escaped);
    }
  }
  return text.append("\"");
}

std::string Show(const Bytes& value) {
  std::string text = "{";
  for (std::uint8_t byte : value) {
    char hex[4];
    std::snprintf(hex, sizeof hex, text.size() > 1 ? " %02X" : "%02X", byte);
    text.append(hex);
  }
  return text.append("}");
}

std::string Show(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

std::string Show(const Observed& observed) {
  std::string text = Hex(observed.code);
  if (!observed.message.empty()) {
    text.append(" ").append(Show(observed.message));
  }
  if (!observed.parameters.empty()) {
    text.append(" ").append(Show(observed.parameters));
  }
  return text;
}

std::string Show(const LinkCall& call) {
  std::string text = "slot ";
  text.append(std::to_string(call.slot)).append(" ").append(Show(call.words));
  if (!call.sent.empty()) {
    text.append(" ").append(Show(call.sent));
  }
  return text;
}

Observed Range() {
  return {.code = kRangeError};
}

Observed Serial(const std::string& message) {
  return {.code = kSerialIO, .message = message};
}

Observed FromHost() {
  return {.code = kHostCode, .parameters = {kHostParameters[0], kHostParameters[1]}};
}

std::vector<Observed>& Observations() {
  static std::vector<Observed> observations;
  return observations;
}

void RecordCurrentException() {
#if !WINDOWS_HOST
  try {
    throw;
  } catch (const HostError&) {
    Observations().push_back(FromHost());
  } catch (const tarvenix::ERangeError&) {
    Observations().push_back(Range());
  } catch (const tarvenix::ESerialIO& e) {
    Observations().push_back(Serial(e.what()));
  } catch (const std::logic_error& e) {
    Observations().push_back({.code = kAbstract, .message = e.what()});
  } catch (const std::exception& e) {
    Observations().push_back({.code = kOtherError, .message = e.what()});
  }
#endif
}

// --- Library

const Library& TheLibrary() {
  return library;
}

bool LoadLibraryAt(const char* path) {
#if WINDOWS_HOST
  HMODULE module = LoadLibraryA(path);
  if (module == nullptr) {
    std::fprintf(stderr, "LoadLibraryA(%s) failed: %lu\n", path, GetLastError());
    return false;
  }
  library.getDI30 =
      reinterpret_cast<Tarvenix_GetDI30>(reinterpret_cast<Code>(GetProcAddress(module, "GetDI30")));
  library.getDriver25 = reinterpret_cast<Tarvenix_GetDriver25>(
      reinterpret_cast<Code>(GetProcAddress(module, "GetDriver25")));
  AddVectoredExceptionHandler(1, &ObserveException);
#else
  void* module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    std::fprintf(stderr, "dlopen(%s) failed: %s\n", path, dlerror());
    return false;
  }
  library.getDI30 = reinterpret_cast<Tarvenix_GetDI30>(dlsym(module, "GetDI30"));
  library.getDriver25 = reinterpret_cast<Tarvenix_GetDriver25>(dlsym(module, "GetDriver25"));
#endif
  return library.getDI30 != nullptr && library.getDriver25 != nullptr;
}

// --- Line service

FakeLink::FakeLink() : TarvenixObject{LinkTable()}, defaultReply(Reply("A0")) {}

std::vector<LinkCall> FakeLink::Of(int slot) const {
  std::vector<LinkCall> of;
  for (const LinkCall& call : calls) {
    if (call.slot == slot) {
      of.push_back(call);
    }
  }
  return of;
}

std::vector<int> FakeLink::Slots() const {
  std::vector<int> slots;
  for (const LinkCall& call : calls) {
    slots.push_back(call.slot);
  }
  return slots;
}

std::vector<Bytes> FakeLink::Sent() const {
  std::vector<Bytes> sent;
  for (const LinkCall& call : Of(TComLink_SLOT_Exchange)) {
    sent.push_back(call.sent);
  }
  return sent;
}

Bytes Reply(const std::string& body, std::uint8_t start) {
  Bytes reply{start, '0'};
  for (char c : body) {
    reply.push_back(static_cast<std::uint8_t>(c));
  }
  reply.push_back(0x03);
  std::uint8_t bcc = 0;
  for (std::uint8_t byte : reply) {
    bcc ^= byte;
  }
  reply.push_back(bcc);
  return reply;
}

Bytes Frame(int addr, int digit, const std::string& text) {
  const int wire = addr - 1;
  Bytes frame{0x04, std::uint8_t(0x30 + wire / 16), std::uint8_t(0x30 + wire % 16), 0x02,
              std::uint8_t(0x30 + digit)};
  for (char c : text) {
    frame.push_back(static_cast<std::uint8_t>(c));
  }
  frame.push_back(0x03);
  std::uint8_t bcc = 0;
  for (std::size_t i = 1; i < frame.size(); ++i) {
    bcc ^= frame[i];
  }
  frame.push_back(bcc);
  return frame;
}

Driver Keep(void* object) {
  // Never destroyed, so that the objects are still held at exit.
  static auto* const drivers = new std::vector<void*>;
  drivers->push_back(object);
  return Driver{object};
}

Setup NewSetup() {
  static std::deque<std::unique_ptr<FakeLink>> links;
  links.push_back(std::make_unique<FakeLink>());
  FakeLink& link = *links.back();
  return {link, Keep(library.getDI30(0, 0, &link))};
}

// --- x87

std::uint16_t ControlWord() {
  std::uint16_t word;
  asm volatile("fnstcw %0" : "=m"(word));
  return word;
}

void LoadControlWord(std::uint16_t word) {
  asm volatile("fldcw %0" ::"m"(word));
}

std::uint16_t ExceptionFlags() {
  std::uint16_t status;
  asm volatile("fnstsw %0" : "=m"(status));
  return status & 0x3F;
}

void ClearExceptionFlags() {
  asm volatile("fnclex");
}

}  // namespace host

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s LIBRARY [CASE]\n", argv[0]);
    return 2;
  }
  if (!host::LoadLibraryAt(argv[1])) {
    return 2;
  }
  int passed = 0;
  int failed = 0;
  for (const host::Case& testCase : host::Cases()) {
    if (argc > 2 && std::strcmp(argv[2], testCase.name) != 0) {
      continue;
    }
    host::failuresInCase = 0;
    host::Observations().clear();
    testCase.run();
    const bool ok = host::failuresInCase == 0;
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", testCase.name);
    std::fflush(stdout);
    (ok ? passed : failed) += 1;
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 && passed > 0 ? 0 : 1;
}
