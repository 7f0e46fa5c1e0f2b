// TVM30: the Tarvenix driver object.
//
// A host makes one TVM30 per line service and calls its operations; each
// operation that talks to a dispenser sends one command through the host's
// TComLink, acknowledges and decodes the reply, and answers from the driver's
// per-line tables. Line and Addr are 1..32 everywhere; a value outside that
// range raises ERangeError before anything is sent or stored. A failed
// exchange raises ESerialIO with the operation's fixed message.
//
// Threads: the host may call operations from several threads. PollState,
// ReadTotals and ReadParam hold the line's lock for their whole exchange
// (re-entrant, so ReadTotals and ReadParam poll under it); every other
// operation takes no line lock and may run beside them on the same line.
// Table entries are read and written under a short lock of their own that
// is never held across an exchange, so no value is ever read torn. Which
// conversation reaches which dispenser is the line service's affair: ours
// keep a line for a thread from a reply to its acknowledgement.
//
// Operations that call other operations (StartPump2, StopPump2/3,
// GetStateRecord, ReadLiveRepeated, the polls of ReadTotals and ReadParam) do
// so through virtual calls, so a subclass that overrides an operation sees
// those calls too.
//
// Nothing is allocated on the heap after construction, except an exception
// object on failure.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "tarvenix/com_link.hpp"
#include "tarvenix/errors.hpp"

namespace tarvenix {

// The driver information: a length byte (25) and the Windows-1251 text
// "v2.50#Протокол к Tarvenix", version before '#', description after it.
inline constexpr std::size_t kDriverInfoSize = 26;
inline constexpr std::array<std::uint8_t, kDriverInfoSize> kDriverInfo = {
    25,   'v',  '2', '.',  '5', '0', '#', 0xCF, 0xF0, 0xEE, 0xF2, 0xEE, 0xEA,
    0xEE, 0xEB, ' ', 0xEA, ' ', 'T', 'a', 'r',  'v',  'e',  'n',  'i',  'x'};

// The host's 16-byte state record, filled by GetStateRecord:
//   byte 0   state code (192, 209, 217, 225, ... as PollState reports it)
//   byte 1   0 when the state was refreshed by the poll, 1 when the reply was
//            refused and byte 0 is the state the driver already had
//   byte 14  byte 0 AND 7
//   byte 15  0
// Bytes 2 to 13 are left as the host left them.
struct TStateRecord {
  std::array<std::uint8_t, 16> bytes;
};

// The pauses between the polls of ReadLiveRepeated (100 ms) and before the
// follow-up polls of ReadTotals and ReadParam (10 ms). The default blocks
// the calling thread; tests and benchmarks put in their own.
struct Sleeper {
  using Routine = void (*)(void* context, std::uint32_t milliseconds);

  Routine routine = nullptr;
  void* context = nullptr;

  void operator()(std::uint32_t milliseconds) const { routine(context, milliseconds); }
  static Sleeper Real();
};

class TVM30 {
 public:
  // The driver's tables, defined in the driver's private header; tests and
  // diagnostics read them through Inspect().
  struct State;

  // Holds `link` by reference for the object's life; never frees it.
  // `appHandle` is the host application's window handle, kept but unused:
  // the driver opens no window. Contacts no dispenser.
  TVM30(TComLink& link, std::uintptr_t appHandle, Sleeper sleeper = Sleeper::Real());
  virtual ~TVM30();
  TVM30(const TVM30&) = delete;
  TVM30& operator=(const TVM30&) = delete;

  TComLink& Link() const { return link_; }
  std::uintptr_t AppHandle() const { return appHandle_; }
  const State& Inspect() const { return *state_; }

  // --- Operations, in the order of the binary operation table.

  // Writes kDriverInfo to the start of `buffer`.
  virtual void GetDriverInfo(std::span<std::uint8_t, kDriverInfoSize> buffer);

  // Plain accessors of the line state that every exchange records (1 when
  // the last reply on the line was accepted); they contact no dispenser.
  virtual void SetLinkState(std::uint8_t line, std::uint8_t value);
  virtual std::uint8_t GetLinkState(std::uint8_t line);

  // Sends the stop command "T". `hostByte` is carried for hosts that wrap
  // the operation and is not read. Raises ESerialIO "Can't STOP POMP".
  virtual void StopPump(std::int32_t line, std::int32_t addr, std::uint8_t hostByte = 0);

  // ReadLive, a state poll, ReadLive, a poll, ReadLive, a poll, with 100 ms
  // pauses between them; then the live volume and money.
  virtual void ReadLiveRepeated(std::int32_t line, std::int32_t addr, double& volume,
                                double& money);

  // Reads the totaliser counters with "V<selector>", then polls the state
  // once (twice while the first counter is still 0), under the line's lock.
  // Both results are 0.0 until the counters arrive. Raises ESerialIO
  // "Can't GetSost".
  virtual void ReadTotals(std::int32_t line, std::int32_t addr, std::int32_t selector,
                          double& volume, double& money);

  // The live volume (result) and money of the running or last delivery.
  // While the dispenser is delivering (state 217) it is polled with "C"
  // first; otherwise the stored values are returned without an exchange.
  // Raises ESerialIO "Can't GetSost".
  virtual double ReadLive(std::int32_t line, std::int32_t addr, double& money);

  // Polls the state with "P" under the line's lock. The low byte of the
  // result is the state code; the high byte is 0 when the reply was
  // accepted and decoded, 1 when it was refused and the code is the state
  // the driver already had. Raises ESerialIO "Can't GetSost".
  virtual std::uint16_t PollState(std::uint8_t line, std::uint8_t addr);

  // Store the unit price (in hundredths), the volume dose (in tenths) or the
  // money dose (whole units) for the next StartPump. A dose by volume clears
  // the dose by money and the other way round. Reals are scaled in extended
  // precision and rounded to nearest, halves to even; a result outside the
  // signed 32-bit range, NaN or an infinity raises ERangeError and stores
  // nothing.
  virtual void SetUnitPrice(std::int32_t line, std::int32_t addr, double price);
  virtual void SetDoseVolume(std::int32_t line, std::int32_t addr, double volume);
  virtual void SetDoseMoney(std::int32_t line, std::int32_t addr, double money);

  // Sends the start command with the stored money dose, price and volume
  // dose and the start mode (-48..207, placed as the character 48 + mode).
  // Clears the live values; after an accepted start the state is 217.
  // Raises ESerialIO "Can't START POMP".
  virtual void StartPump(std::int32_t line, std::int32_t addr, std::int32_t startMode);

  // Opens a line: registers OpenLine with the line service as the line's
  // (re)initialisation handler, then runs it. The driver reads the low byte
  // of `line`; the line service receives the whole word.
  virtual void InitLine(std::uint32_t line);

  // Reads parameter `paramNo` mod 100 with "rNN", then polls like
  // ReadTotals; the result is the value a p reply left for the line, 0 when
  // none came. Raises ESerialIO "Невозможно выполнить команду".
  virtual std::int32_t ReadParam(std::int32_t line, std::int32_t addr, std::int32_t paramNo);

  // Writes parameter `paramNo` mod 100 with "wNNVV", V being `paramValue`
  // mod 10 sent twice. No lock, no poll. Raises ESerialIO
  // "Невозможно выполнить команду".
  virtual void WriteParam(std::int32_t line, std::int32_t addr, std::int32_t paramNo,
                          std::int32_t paramValue);

  // StartPump under another slot of the host's table.
  virtual void StartPump2(std::int32_t line, std::int32_t addr, std::int32_t startMode);

  // Kinds 1..5 are answered (3 sets `value` to 1, the others to 0) and
  // return true; any other kind returns false and leaves `value` alone.
  virtual bool QueryCapability(std::uint32_t kind, std::int32_t& value);

  // PollState, packed into the host's record (see TStateRecord).
  virtual void GetStateRecord(TStateRecord& record, std::uint8_t line, std::uint8_t addr);

  // StopPump under further slots of the host's table, `hostByte` passed on.
  virtual void StopPump2(std::int32_t line, std::int32_t addr, std::uint8_t hostByte);
  virtual void StopPump3(std::int32_t line, std::int32_t addr, std::uint8_t hostByte);

  // --- Read-only views of the tables, outside the binary operation table.

  // The state code of a pair as the last decoded reply or start left it
  // (0, 192, 217, 225, ...): a host following a delivery with ReadLive
  // learns from it that an F or M reply has ended it, without a poll.
  // Contacts no dispenser; raises ERangeError outside 1..32.
  std::uint8_t PumpStateOf(std::int32_t line, std::int32_t addr) const;

  // --- Line (re)initialisation.

  // Configures the line (ConfigureLine(line, 14, 4800)) and resets address
  // 1: sends "S0", acknowledges an accepted reply, restarts address 1's
  // sequence digits and decodes the reply. This is the handler InitLine
  // registers; the line service may call it again at any time. Raises
  // ESerialIO "Can't GetSost" when the state request fails.
  void OpenLine(std::uint32_t line);

 private:
  class Exchanges;  // the exchange steps the operations share
  friend class Exchanges;

  void ResetLine(std::uint32_t line, std::uint8_t addr);
  void Pause(std::uint32_t milliseconds) const { sleeper_(milliseconds); }

  TComLink& link_;
  std::uintptr_t appHandle_;
  Sleeper sleeper_;
  std::unique_ptr<State> state_;
};

}  // namespace tarvenix
