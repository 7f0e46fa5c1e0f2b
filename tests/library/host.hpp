// A host of the project's own for the binary interface: it loads the
// library by path, builds a line service object from a raw operation table
// of plain functions, and calls the driver's slots through the address in
// the driver object's first word. It knows the interface only as a host
// author does, from the public C header, and shares no code with the driver.
//
// Natively, failures arrive as C++ exceptions, caught where the host calls.
// Under 32-bit Windows they arrive as structured exceptions, observed by a
// vectored handler that records them and continues execution. Either way
// they end up in Observations(), so the same cases run on both.
#pragma once

#include <tarvenix/tarvenix.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <type_traits>
#include <vector>

#if defined(_WIN32)
#define WINDOWS_HOST 1
#else
#define WINDOWS_HOST 0
#endif

namespace host {

using Word = std::uint32_t;
using Code = TarvenixCode;
using Bytes = std::vector<std::uint8_t>;

// --- A minimal test runner: the same on both platforms, no dependencies.

struct Case {
  const char* name;
  void (*run)();
};
std::vector<Case>& Cases();
struct Registration {
  Registration(const char* name, void (*run)()) { Cases().push_back({name, run}); }
};
#define HOST_TEST(name)                                        \
  void name();                                                 \
  const ::host::Registration name##Registration(#name, &name); \
  void name()

void Fail(const char* file, int line, const std::string& message);

std::string ShowInteger(std::int64_t value);
template <typename T>
requires std::is_integral_v<T> std::string Show(T value) {
  return ShowInteger(static_cast<std::int64_t>(value));
}
std::string Show(const std::string& value);
std::string Show(const Bytes& value);
std::string Show(double value);
template <typename T>
std::string Show(const std::vector<T>& values) {
  std::string text = "[";
  for (const T& value : values) {
    text.append(text.size() > 1 ? ", " : "").append(Show(value));
  }
  return text.append("]");
}

template <typename A, typename B>
void ExpectEq(const A& actual, const B& expected, const char* text, const char* file, int line) {
  if (!(actual == expected)) {
    std::string message = text;
    message.append(": ").append(Show(actual)).append(", expected ").append(Show(expected));
    Fail(file, line, message);
  }
}
#define EXPECT(condition)                                     \
  do {                                                        \
    if (!(condition)) {                                       \
      ::host::Fail(__FILE__, __LINE__, "false: " #condition); \
    }                                                         \
  } while (0)
#define EXPECT_EQ(actual, expected) \
  ::host::ExpectEq((actual), (expected), #actual, __FILE__, __LINE__)

// --- What reached the host.

inline constexpr std::uint32_t kRangeError = TARVENIX_EXCEPTION_RANGE_ERROR;
inline constexpr std::uint32_t kSerialIO = TARVENIX_EXCEPTION_SERIAL_IO;
inline constexpr std::uint32_t kAbstract = TARVENIX_EXCEPTION_ABSTRACT;
inline constexpr std::uint32_t kOtherError = TARVENIX_EXCEPTION_OTHER;
// The code of the exceptions the host's own line service raises, and their
// parameters.
inline constexpr std::uint32_t kHostCode = 0xE0484F53;
inline constexpr std::uintptr_t kHostParameters[2] = {0x1111, 0x2222};

struct Observed {
  std::uint32_t code = 0;
  std::string message;                     // the driver's message, if it has one
  std::vector<std::uintptr_t> parameters;  // a host exception's own parameters
  friend bool operator==(const Observed&, const Observed&) = default;
};
std::string Show(const Observed& observed);
Observed Range();
Observed Serial(const std::string& message);
Observed FromHost();

std::vector<Observed>& Observations();
void RecordCurrentException();  // native: inside a catch block

// Runs `call`; a C++ exception that leaves it is recorded (natively).
template <typename Call>
auto Guard(Call&& call) {
#if WINDOWS_HOST
  return call();
#else
  using Result = decltype(call());
  try {
    return call();
  } catch (...) {
    RecordCurrentException();
  }
  if constexpr (!std::is_void_v<Result>) {
    return Result{};
  }
#endif
}

// --- The library.

struct Library {
  Tarvenix_GetDI30 getDI30 = nullptr;
  Tarvenix_GetDriver25 getDriver25 = nullptr;
};
const Library& TheLibrary();
bool LoadLibraryAt(const char* path);

// --- The line service: an object whose first word is its table.

enum class Raise { kNone, kHostException, kAccessViolation };

// How the next command exchange goes.
struct Script {
  Bytes reply;                  // received into the driver's buffer
  int rxLen = -1;               // reported to the reply check; reply.size() if negative
  std::int32_t highIndex = 30;  // the buffer's highest index, as reported to the check
  std::int32_t result = 0;      // Exchange's result
  Raise inExchange = Raise::kNone;
  Raise inGetLineState = Raise::kNone;
  Raise inSetLineState = Raise::kNone;  // while the reply check reports
};

struct LinkCall {
  int slot = 0;
  std::vector<std::uintptr_t> words;  // the words after the object
  Bytes sent;                         // Exchange: the request bytes
  friend bool operator==(const LinkCall&, const LinkCall&) = default;
};
std::string Show(const LinkCall& call);

// The object's first word, its table, is the base's.
struct FakeLink : TarvenixObject {
  FakeLink();

  std::vector<LinkCall> calls;
  std::deque<Script> scripts;
  Script current;      // the script of the last command exchange
  Bytes defaultReply;  // when no script is queued: an "A" reply
  std::int32_t failResult = -7;
  Raise onAcknowledge = Raise::kNone;
  std::vector<std::uint8_t> verdicts;  // what the reply check returned

  Word lineState[256] = {};
  TVM30_ReplyCheckHandler checkRoutine[256] = {};
  void* checkObject[256] = {};
  TVM30_LineInitHandler initRoutine[256] = {};
  void* initObject[256] = {};

  void Queue(Script script) { scripts.push_back(std::move(script)); }
  std::vector<LinkCall> Of(int slot) const;
  std::vector<int> Slots() const;   // the slot of every call, in order
  std::vector<Bytes> Sent() const;  // the bytes of every Exchange
};

// A reply: start byte, filler, body (the code and its fields), ETX, BCC.
Bytes Reply(const std::string& body, std::uint8_t start = 0x02);
// A request frame: EOT, wire address, STX, sequence digit, text, ETX, BCC.
Bytes Frame(int addr, int digit, const std::string& text);

// --- The driver object, called through its current table.

// A slot with the routine type the header gives it: SLOT(PollState).
template <typename Routine>
struct TypedSlot {
  std::size_t index;
};
#define SLOT(name)                  \
  ::host::TypedSlot<TVM30_##name> { \
    TVM30_SLOT_##name               \
  }

struct Driver {
  void* object = nullptr;

  const Code* Table() const { return *static_cast<const Code* const*>(object); }

  // The object first.
  template <typename Routine, typename... Args>
  auto Call(TypedSlot<Routine> slot, Args... args) const {
    return Guard([&] { return reinterpret_cast<Routine>(Table()[slot.index])(object, args...); });
  }
  // GetDriverInfo and GetStateRecord: the result's address, then the object.
  template <typename Routine, typename Result, typename... Args>
  void CallFor(TypedSlot<Routine> slot, Result result, Args... args) const {
    Guard([&] { reinterpret_cast<Routine>(Table()[slot.index])(result, object, args...); });
  }
};

// A fresh line service and a driver object made for it with GetDI30. Both
// live until the process ends, as a host's would: the interface has no slot
// that frees a driver object.
struct Setup {
  FakeLink& link;
  Driver driver;
};
Setup NewSetup();
// Keeps a driver object the host made itself.
Driver Keep(void* object);

// --- The x87 control word, as a host sets it.

std::uint16_t ControlWord();
void LoadControlWord(std::uint16_t word);
std::uint16_t ExceptionFlags();
void ClearExceptionFlags();

}  // namespace host
