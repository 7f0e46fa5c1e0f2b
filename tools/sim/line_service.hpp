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
// Retries, results and re-initialisation follow the policy every line
// service of ours shares (service/instrumented_link.hpp). GetLineState is 0
// after an exchange whose last attempt received nothing. An exception from
// the re-initialisation handler is swallowed (its exchanges are counted like
// any others); the failure run starts over.
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
#include "service/instrumented_link.hpp"
#include "simulated_line.hpp"
#include "tarvenix/com_link.hpp"

namespace tarvenix::sim {

class LineService final : public service::InstrumentedLink {
 public:
  explicit LineService(Clock& clock) : clock_(clock) {}

  // Connects `line` (1..32) to a simulated line; an unconnected line hears
  // nothing back. The peer must outlive the service's use of the line.
  void Attach(std::uint32_t line, SimulatedLine& peer);
  void SetMonitor(service::LineMonitor* monitor) override { monitor_ = monitor; }
  service::LinkStats Stats(std::uint32_t line) const override;
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
  // A cache line of its own per line, so threads serving different lines do
  // not share one.
  struct alignas(64) Line {
    mutable std::mutex mutex;
    SimulatedLine* peer = nullptr;
    bool open = false;
    std::uint64_t timeoutUs = 0;
    std::uint64_t byteUs = 0;
    ReplyCheckHandler check{};
    LineInitHandler init{};
    std::uint32_t failureRun = 0;
    bool reinitPending = false;
    service::LinkStats stats;
    // Written by the reply check while the exchange holds `mutex`.
    std::atomic<std::uint8_t> lineState{protocol::kLineAccepted};
    std::atomic<std::uint32_t> lineError{0};
  };

  Line* Find(std::uint32_t line);
  const Line* Find(std::uint32_t line) const;
  void Notify(const service::LineEvent& event) const;
  void ReinitialiseIfDue(std::uint32_t lineNo, Line& line);
  std::int32_t Acknowledge(std::uint32_t lineNo, Line& line, std::span<const std::uint8_t> request);
  std::int32_t Command(std::uint32_t lineNo, Line& line, std::span<const std::uint8_t> request,
                       std::span<std::uint8_t> reply, std::uint8_t expectedLen, std::uint8_t mode);
  // Puts `bytes` on the line and returns what the peer sends back.
  Transmission Transmit(std::uint32_t lineNo, Line& line, std::span<const std::uint8_t> bytes,
                        std::uint8_t attempt, std::uint8_t expectedLen);

  Clock& clock_;
  service::LineMonitor* monitor_ = nullptr;
  std::array<Line, protocol::kLineCount> lines_;
};

}  // namespace tarvenix::sim
