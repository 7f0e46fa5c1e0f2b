// LineService: an in-process TComLink that connects the driver to simulated
// lines instead of serial ports.
//
// Configuration. ConfigureLine(line, setting, baud) opens the line: `baud`
// is the bit rate (the driver's 4800), from which each byte takes 10 bit
// times on the wire (8 data bits, start and stop: 2.083 ms at 4800), and
// `setting` is the reply timeout in tens of milliseconds (the driver's 14:
// 140 ms of silence after the request before the service gives up on a
// reply). A line must be configured before it exchanges anything.
//
// An exchange. A command (ExpectedLen > 0) is sent, the bytes' time passes
// on the clock, and the reply is collected into the caller's buffer: a
// reply is complete when ExpectedLen bytes have come or the line falls
// silent; the simulated controller sends each reply in one piece, so the
// reply is whatever it sent, cut at the end of the caller's buffer. The
// installed reply check then judges it with the received length and
// ExpectedLen and reports a line state (1 accepted, 3 rejected) and an error
// code (0, 209, 219, 222, 223), which the service records per line. An
// acknowledgement (ExpectedLen 0: the driver's single ACK or NAK byte) is
// only sent; nothing is received and the buffer is left as it was.
//
// Retries. Mode is the number of times the service may repeat a command
// whose attempt ended without an accepted reply: the driver passes 6 for
// start and stop, which must get through, 2 for polls, which the host
// repeats anyway, and 0 for parameter commands. A repetition sends the same
// frame with the same sequence digit, so the controller recognises it and
// answers again without carrying the command out twice. An attempt ends
// without an accepted reply when nothing arrives within the timeout or the
// check rejects what arrived. A reply that is the single byte NAK is the
// controller refusing the command; it is final and not repeated.
//
// Results. Exchange returns 0 when a reply was received and judged: the
// line state tells whether the last attempt's reply was accepted (the
// driver then acknowledges and decodes it) or rejected after all
// repetitions (the driver sends NAK and decodes nothing). Non-zero results
// fail the driver's operation: kResultNoReply (the last attempt timed out),
// kResultRefused (NAK), kResultNotOpen, kResultNoLine, kResultBadSetting;
// FailResult is kResultFault. GetLineState is 0 after an exchange whose last
// attempt received nothing.
//
// Re-initialisation. After three command exchanges in a row on a line end
// without an accepted reply (timeouts or rejections after their retries; a
// refusal shows that the line is sound and ends the run), the line is
// re-initialised before its next command exchange: the service calls the
// line's LineInitHandler (the driver's OpenLine, which configures the line
// again and resets address 1), then carries on with the exchange it was
// asked for. Doing it at the start of the next exchange, never inside a
// failing one, keeps the handler's own exchanges from overwriting the line
// state the caller is about to read. An exception from the handler is
// swallowed (its exchanges are counted like any others); the failure run
// starts over.
//
// Statistics per line are kept by the service and read with Stats().
// Threads: each line has its own lock, held for the whole of an exchange;
// different lines run in parallel. The exchange path allocates nothing.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>

#include "clock.hpp"
#include "link/protocol.hpp"
#include "simulated_line.hpp"
#include "tarvenix/com_link.hpp"

namespace tarvenix::sim {

inline constexpr std::int32_t kResultOk = 0;
inline constexpr std::int32_t kResultNoReply = 1;
inline constexpr std::int32_t kResultRefused = 2;
inline constexpr std::int32_t kResultNotOpen = 3;
inline constexpr std::int32_t kResultNoLine = 4;
inline constexpr std::int32_t kResultFault = 5;
inline constexpr std::int32_t kResultBadSetting = 6;

struct LinkStats {
  std::uint64_t exchanges = 0;    // command exchanges asked for
  std::uint64_t accepted = 0;     // ... that ended with an accepted reply
  std::uint64_t rejected209 = 0;  // attempts whose reply the check rejected, by code
  std::uint64_t rejected219 = 0;
  std::uint64_t rejected222 = 0;
  std::uint64_t rejected223 = 0;
  std::uint64_t timeouts = 0;  // attempts that received nothing in time
  std::uint64_t refused = 0;   // commands the controller answered with NAK
  std::uint64_t retries = 0;   // repeated attempts
  std::uint64_t reinitialisations = 0;
  std::uint64_t acks = 0;  // acknowledgements the host sent
  std::uint64_t naks = 0;

  std::uint64_t Rejected() const { return rejected209 + rejected219 + rejected222 + rejected223; }
};

// What happened on a line, for traces and recordings. Spans point into the
// service's or the caller's buffers and are valid during the call only.
struct LineEvent {
  enum class Kind {
    kConfigured,  // ConfigureLine opened the line: `setting`, `baud`
    kSent,        // bytes went to the line (a frame, or ACK/NAK)
    kReceived,    // a reply was collected and judged
    kTimeout,     // an attempt received nothing in time
    kReinit,      // the service re-initialises the line
  };
  Kind kind;
  std::uint32_t line = 0;
  std::uint64_t timeUs = 0;
  std::span<const std::uint8_t> bytes;
  std::uint8_t attempt = 0;      // 0 first attempt, then the repetitions
  std::uint8_t expectedLen = 0;  // kSent, kReceived
  std::uint8_t lineState = 0;    // kReceived: the check's verdict
  std::uint32_t lineError = 0;   // kReceived
  std::uint32_t setting = 0;     // kConfigured
  std::uint32_t baud = 0;        // kConfigured
};

class LineMonitor {
 public:
  virtual ~LineMonitor() = default;
  virtual void OnLineEvent(const LineEvent& event) = 0;
};

class LineService final : public TComLink {
 public:
  static constexpr std::uint32_t kMaxRepeats = 6;  // Mode is capped here
  static constexpr std::uint32_t kFailuresBeforeReinit = 3;

  explicit LineService(Clock& clock) : clock_(clock) {}

  // Connects `line` (1..32) to a simulated line; an unconnected line hears
  // nothing back. The peer must outlive the service's use of the line.
  void Attach(std::uint32_t line, SimulatedLine& peer);
  // Receives every line event; nullptr for none. Set before exchanges run.
  void SetMonitor(LineMonitor* monitor) { monitor_ = monitor; }

  LinkStats Stats(std::uint32_t line) const;
  std::uint32_t LineError(std::uint32_t line) const;
  bool IsOpen(std::uint32_t line) const;

  // TComLink
  std::int32_t FailResult(std::uint32_t line) override;
  void SetLineError(std::uint32_t line, std::uint32_t code) override;
  void SetLineState(std::uint32_t line, std::uint32_t state) override;
  std::uint8_t GetLineState(std::uint32_t line) override;
  std::int32_t ConfigureLine(std::uint32_t line, std::uint32_t setting,
                             std::uint32_t baud) override;
  std::int32_t Exchange(std::uint32_t line, std::uint32_t port,
                        std::span<const std::uint8_t> request, std::span<std::uint8_t> reply,
                        std::uint8_t expectedLen, std::uint8_t mode) override;
  void SetReplyCheck(std::uint32_t line, ReplyCheckHandler handler) override;
  void SetLineInit(std::uint32_t line, LineInitHandler handler) override;

 private:
  struct Line {
    mutable std::mutex mutex;
    SimulatedLine* peer = nullptr;
    bool open = false;
    std::uint64_t timeoutUs = 0;
    std::uint64_t byteUs = 0;
    ReplyCheckHandler check{};
    LineInitHandler init{};
    std::uint32_t failureRun = 0;
    bool reinitPending = false;
    LinkStats stats;
    // Written by the reply check while the exchange holds `mutex`.
    std::atomic<std::uint8_t> lineState{protocol::kLineAccepted};
    std::atomic<std::uint32_t> lineError{0};
  };

  Line* Find(std::uint32_t line);
  const Line* Find(std::uint32_t line) const;
  void Notify(const LineEvent& event) const;
  void ReinitialiseIfDue(std::uint32_t lineNo, Line& line);
  std::int32_t Acknowledge(std::uint32_t lineNo, Line& line, std::span<const std::uint8_t> request);
  std::int32_t Command(std::uint32_t lineNo, Line& line, std::span<const std::uint8_t> request,
                       std::span<std::uint8_t> reply, std::uint8_t expectedLen, std::uint8_t mode);
  // Puts `bytes` on the line and returns what the peer sends back.
  Transmission Transmit(std::uint32_t lineNo, Line& line, std::span<const std::uint8_t> bytes,
                        std::uint8_t attempt, std::uint8_t expectedLen);

  Clock& clock_;
  LineMonitor* monitor_ = nullptr;
  std::array<Line, protocol::kLineCount> lines_;
};

}  // namespace tarvenix::sim
