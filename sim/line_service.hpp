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
// reply is whatever it sent, cut at the end of the caller's buffer.
//
// Late replies. What the controller sends is on its way from the moment the
// request has crossed the wire plus the reply's delay, whether or not
// anyone still waits for it: a reply later than the reply timeout arrives
// during whatever the service does next, as on a real line, and is
// collected as the next reply unless the guard of every line service of
// ours (instrumented_link.hpp) drops it first. Up to kInFlight replies may
// be on their way; beyond that the oldest is lost. The wire is modelled as
// two ways at once: a late reply and the host's next request do not
// collide. The
// installed reply check then judges it with the received length and
// ExpectedLen and reports a line state (1 accepted, 3 rejected) and an error
// code (0, 209, 219, 222, 223), which the service records per line. An
// acknowledgement (ExpectedLen 0: the driver's single ACK or NAK byte) is
// only sent; nothing is received and the buffer is left as it was.
//
// Retries, results, re-initialisation, statistics, threads and the hold of
// a line from a reply to its acknowledgement are those of every line service
// of ours (<tarvenix/lines/policy_link.hpp>). Holds are bounded on the wall clock,
// not on `clock`: simulated time moves with every line's traffic, and would
// end a hold whose thread is merely waiting for a processor. Tests put in a
// clock of their own for holds. An exception from
// the re-initialisation handler is swallowed (its exchanges are counted like
// any others); the failure run starts over.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>
#include <tarvenix/com_link.hpp>
#include <tarvenix/lines/clock.hpp>
#include <tarvenix/lines/policy_link.hpp>
#include <tarvenix/protocol.hpp>

#include "sim/simulated_line.hpp"

namespace tarvenix::sim {

class LineService final : public lines::PolicyLink {
 public:
  // `holdClock`, when given, bounds holds instead of the wall clock.
  explicit LineService(lines::Clock& clock, const lines::Clock* holdClock = nullptr)
      : clock_(clock), holdClock_(holdClock) {}

  // Connects `line` (1..32) to a simulated line; an unconnected line hears
  // nothing back. The peer must outlive the service's use of the line.
  void Attach(std::uint32_t line, SimulatedLine& peer);
  bool IsOpen(std::uint32_t line) const;

  std::int32_t ConfigureLine(std::uint32_t line, std::uint32_t setting,
                             std::uint32_t baud) override;

 private:
  static constexpr std::size_t kInFlight = 8;

  // A reply on its way: its first byte arrives at `startUs`.
  struct Arrival {
    std::uint64_t startUs = 0;
    Transmission reply;
  };
  struct Wire {
    SimulatedLine* peer = nullptr;
    bool open = false;
    std::uint64_t timeoutUs = 0;
    std::uint64_t byteUs = 0;
    std::array<Arrival, kInFlight> arrivals{};  // by arrival time
    std::size_t inFlight = 0;
  };

  std::int32_t Ready(std::uint32_t line) override;
  bool Put(std::uint32_t line, std::span<const std::uint8_t> bytes) override;
  Collected Collect(std::uint32_t line, std::span<std::uint8_t> reply,
                    std::uint8_t expectedLen) override;
  Collected Drain(std::uint32_t line, std::span<std::uint8_t> into) override;
  Collected Listen(std::uint32_t line, std::uint64_t untilUs,
                   std::span<std::uint8_t> into) override;
  Timing LineTiming(std::uint32_t line) const override {
    return {.byteUs = wires_[line - 1].byteUs, .replyTimeoutUs = wires_[line - 1].timeoutUs};
  }
  std::uint64_t NowUs() const override { return clock_.NowUs(); }
  std::uint64_t HoldClockUs() const override {
    return holdClock_ != nullptr ? holdClock_->NowUs() : PolicyLink::HoldClockUs();
  }
  // Waits for the first reply on its way to arrive whole, takes it off the
  // wire and copies what fits into `into`; its length.
  std::size_t Receive(Wire& wire, std::span<std::uint8_t> into);

  lines::Clock& clock_;
  const lines::Clock* holdClock_;
  std::array<Wire, protocol::kLineCount> wires_;  // guarded by the line's lock
};

}  // namespace tarvenix::sim
