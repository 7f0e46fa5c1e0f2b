// PolicyLink: the part of a line service that does not depend on how bytes
// reach the dispensers: the retry policy, the line states and error codes
// the reply check reports, re-initialisation, statistics and events (see
// instrumented_link.hpp for the policy). A service derives from it and
// supplies the transport: whether a line is ready, one attempt of a command
// (send the request, collect the reply), and sending an acknowledgement.
//
// Threads: each line has a lock of its own, held for a whole exchange and
// while the transport's hooks run, so lines run in parallel; the
// re-initialisation handler runs without it, since it exchanges on the same
// line. The exchange path allocates nothing.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>

#include "service/instrumented_link.hpp"

namespace tarvenix::service {

class PolicyLink : public InstrumentedLink {
 public:
  LinkStats Stats(std::uint32_t line) const final;
  void SetMonitor(LineMonitor* monitor) final { monitor_ = monitor; }
  // The error code of the line's last reply (0, 209, 219, 222, 223).
  std::uint32_t LineError(std::uint32_t line) const;

  std::int32_t FailResult(std::uint32_t line) final;
  void SetLineError(std::uint32_t line, std::uint32_t code) final;
  void SetLineState(std::uint32_t line, std::uint32_t state) final;
  // 0 after an exchange whose last attempt received nothing.
  std::uint8_t GetLineState(std::uint32_t line) final;
  std::int32_t Exchange(std::uint32_t line, std::uint32_t port,
                        std::span<const std::uint8_t> request, std::span<std::uint8_t> reply,
                        std::uint8_t expectedLen, std::uint8_t mode) final;
  void SetReplyCheck(std::uint32_t line, ReplyCheckHandler handler) final;
  void SetLineInit(std::uint32_t line, LineInitHandler handler) final;

 protected:
  // What one attempt brought back: `received` bytes at the start of the
  // caller's buffer (0: nothing came in time), or a transport that failed.
  struct Collected {
    std::size_t received = 0;
    bool failed = false;
  };

  static bool IsLine(std::uint32_t line) { return line >= 1 && line <= kLines; }
  // The lock of a valid line, for the service's own per-line data.
  std::mutex& LineLock(std::uint32_t line) const { return lines_[line - 1].mutex; }
  void Notify(const LineEvent& event) const;

  // The transport, called with the line's lock held.
  // kResultOk when the line can exchange, or the result that says why not.
  virtual std::int32_t Ready(std::uint32_t line) = 0;
  // Puts `request` on the line and collects the reply into `reply`, never
  // beyond it.
  virtual Collected Attempt(std::uint32_t line, std::span<const std::uint8_t> request,
                            std::span<std::uint8_t> reply, std::uint8_t expectedLen) = 0;
  // Puts an acknowledgement on the line; false when the transport failed.
  virtual bool Send(std::uint32_t line, std::span<const std::uint8_t> bytes) = 0;
  // The transport failed; the exchange returns kResultPortFailed and the
  // line is re-initialised before its next command.
  virtual void OnFailure(std::uint32_t /*line*/) {}
  // Before a re-initialisation; false while the line cannot carry one.
  virtual bool PrepareReinit(std::uint32_t /*line*/) { return true; }
  // Time for the events, in microseconds.
  virtual std::uint64_t NowUs() const = 0;

 private:
  static constexpr std::uint32_t kLines = 32;

  struct alignas(64) Line {
    mutable std::mutex mutex;
    ReplyCheckHandler check{};
    LineInitHandler init{};
    std::uint32_t failureRun = 0;
    bool reinitPending = false;
    LinkStats stats;
    // Written by the reply check while the exchange holds `mutex`.
    std::atomic<std::uint8_t> lineState{protocol::kLineAccepted};
    std::atomic<std::uint32_t> lineError{0};
  };

  Line* Find(std::uint32_t line) const { return IsLine(line) ? &lines_[line - 1] : nullptr; }
  void ReinitialiseIfDue(std::uint32_t lineNo, Line& line);
  std::int32_t Fail(std::uint32_t lineNo, Line& line);
  std::int32_t Acknowledge(std::uint32_t lineNo, Line& line, std::span<const std::uint8_t> request);
  std::int32_t Command(std::uint32_t lineNo, Line& line, std::span<const std::uint8_t> request,
                       std::span<std::uint8_t> reply, std::uint8_t expectedLen, std::uint8_t mode);

  mutable std::array<Line, kLines> lines_;
  LineMonitor* monitor_ = nullptr;
};

}  // namespace tarvenix::service
