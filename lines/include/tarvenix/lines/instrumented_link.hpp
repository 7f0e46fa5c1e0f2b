// What our line services share: the link statistics they keep per line, the
// events they report for traces and recordings, their results, and the
// retry policy they follow, so that a line behaves and reads the same on the
// in-process simulator and on a real serial port.
//
// Retries. Mode is the number of times a service may repeat a command whose
// attempt ended without an accepted reply, at most kMaxRepeats: the driver
// passes 6 for start and stop, which must get through, 2 for polls, which
// the host repeats anyway, and 0 for parameter commands. A repetition sends
// the same frame with the same sequence digit, so the controller recognises
// it and answers again without carrying the command out twice. An attempt
// ends without an accepted reply when nothing arrives within the timeout or
// the check rejects what arrived. A reply that is the single byte NAK is the
// controller refusing the command; it is final and not repeated.
//
// Results. Exchange returns 0 when a reply was received and judged: the
// line state tells whether the last attempt's reply was accepted (the
// driver then acknowledges and decodes it) or rejected after all
// repetitions (the driver sends NAK and decodes nothing). Any other result
// fails the driver's operation.
//
// Re-initialisation. After kFailuresBeforeReinit command exchanges in a row
// on a line end without an accepted reply, the line is re-initialised before
// its next command exchange: the service calls the line's LineInitHandler
// (the driver's OpenLine, which configures the line again and resets
// address 1), then carries on with the exchange it was asked for. Doing it
// at the start of the next exchange, never inside a failing one, keeps the
// handler's own exchanges from overwriting the line state the caller is
// about to read.
//
// Late replies. A reply that comes after its request was given up on must
// not be taken for the reply of the next exchange: the check cannot tell
// them apart, and every later reply on the line would be shifted by one.
// So before it sends a frame a service discards whatever is waiting on the
// line, and after an exchange that timed out or repeated its request it
// sends nothing until the line has been quiet for as long as the longest
// reply (kLongestReply bytes) takes on the wire plus twice the reply
// timeout, or until every request given up on has had its answer. A
// line whose dispensers are known to
// echo the request's sequence digit in byte 1 of their replies may also be
// set to drop a reply whose echo differs (MatchEcho); nothing else may rely
// on byte 1. Every byte so discarded, and every reply so dropped, counts as
// stale.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <tarvenix/com_link.hpp>
#include <tarvenix/protocol.hpp>

namespace tarvenix::lines {

inline constexpr std::int32_t kResultOk = 0;
inline constexpr std::int32_t kResultNoReply = 1;     // the last attempt received nothing
inline constexpr std::int32_t kResultRefused = 2;     // the controller answered NAK
inline constexpr std::int32_t kResultNotOpen = 3;     // the line is not configured
inline constexpr std::int32_t kResultNoLine = 4;      // no such line
inline constexpr std::int32_t kResultFault = 5;       // FailResult: the exchange raised
inline constexpr std::int32_t kResultBadSetting = 6;  // ConfigureLine's values unusable
inline constexpr std::int32_t kResultPortFailed = 7;  // the port failed and was closed

inline constexpr std::uint32_t kMaxRepeats = 6;
inline constexpr std::uint32_t kFailuresBeforeReinit = 3;
// The longest reply on the wire, in bytes: a totals reply.
inline constexpr std::uint32_t kLongestReply = 25;

// Tries of a command exchange in `mode`.
constexpr std::uint32_t Attempts(std::uint8_t mode) {
  return 1 + std::min<std::uint32_t>(mode, kMaxRepeats);
}

// A controller's refusal: the single byte NAK.
constexpr bool IsRefusal(std::span<const std::uint8_t> received) {
  return received.size() == 1 && received[0] == protocol::kNak;
}

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
  std::uint64_t expiredHolds = 0;  // holds that ran out while another thread waited
  std::uint64_t acks = 0;          // acknowledgements the host sent
  std::uint64_t naks = 0;
  std::uint64_t notReady = 0;    // command exchanges the transport could not carry
  std::uint64_t stale = 0;       // runs of stale bytes and replies dropped
  std::uint64_t staleBytes = 0;  // ... and their bytes
  std::uint64_t settles = 0;     // waits for a quiet line after a timeout or repeat
  std::uint64_t settleUs = 0;    // ... and the time they took

  std::uint64_t Rejected() const { return rejected209 + rejected219 + rejected222 + rejected223; }

  void CountRejection(std::uint32_t code) {
    switch (code) {
      case protocol::kErrorNoEtx:
        ++rejected209;
        break;
      case protocol::kErrorLength:
        ++rejected219;
        break;
      case protocol::kErrorCheckByte:
        ++rejected222;
        break;
      default:
        ++rejected223;
        break;
    }
  }
  void CountAcknowledgement(std::span<const std::uint8_t> sent) {
    if (sent.size() == 1 && sent[0] == protocol::kAck) {
      ++acks;
    } else if (sent.size() == 1 && sent[0] == protocol::kNak) {
      ++naks;
    }
  }
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
    kStale,       // bytes dropped as stale: `bytes` (as far as kept), `dropped`
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
  std::uint32_t dropped = 0;     // kStale: bytes dropped, kept or not
};

// Whether a line can carry exchanges, as far as its service knows.
struct LineHealth {
  bool ready = false;                   // the transport was open at its last use
  bool answered = false;                // a reply came since the line was (re)opened
  std::int32_t lastResult = kResultOk;  // of the last command exchange
  int osError = 0;                      // the transport's last system error (errno), 0 for none
};

class LineMonitor {
 public:
  virtual ~LineMonitor() = default;
  virtual void OnLineEvent(const LineEvent& event) = 0;
};

// A line service that counts and reports what happens on its lines.
class InstrumentedLink : public TComLink {
 public:
  virtual LinkStats Stats(std::uint32_t line) const = 0;
  virtual LineHealth Health(std::uint32_t line) const = 0;
  // Receives every line event; nullptr for none. Set before exchanges run.
  virtual void SetMonitor(LineMonitor* monitor) = 0;
};

}  // namespace tarvenix::lines
