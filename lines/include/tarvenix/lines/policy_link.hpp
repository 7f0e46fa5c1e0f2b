// PolicyLink: the part of a line service that does not depend on how bytes
// reach the dispensers: the retry policy, the line states and error codes
// the reply check reports, re-initialisation, statistics and events (see
// instrumented_link.hpp for the policy). A service derives from it and
// supplies the transport: whether a line is ready, one attempt of a command
// (send the request, collect the reply), and sending an acknowledgement,
// and the means to keep a late reply out of the next exchange.
//
// Threads: each line has a lock of its own, held for a whole exchange and
// while the transport's hooks run, so lines run in parallel; the
// re-initialisation handler runs without it, since it exchanges on the same
// line. Stats and Health read a copy published at the end of each
// exchange, never the line's lock: a reader does not wait for an exchange.
// The exchange path allocates nothing.
//
// One conversation at a time. ACK and NAK carry no address: a controller
// takes them for the dispenser that replied last. So after a command
// exchange that returned kResultOk and expects a reply the driver
// acknowledges (expected length above 1: polls, totals, parameters, the
// line reset), the line stays held for the calling thread until that
// thread's acknowledgement, its next command exchange on the line, or
// kHoldLimitUs on the hold clock, whichever comes first. Start and stop
// (expected length 1) and exchanges that did not return kResultOk are
// followed by no acknowledgement and hold nothing. Other threads'
// exchanges, and ConfigureLine, wait for the hold to end; they never come
// between a reply and its acknowledgement. The limit keeps a thread that
// never acknowledges (an operation that raised before it did) from blocking
// the line for good. The hold clock is the wall clock unless a service puts
// in its own: a hold guards against a thread that stops making progress,
// which a simulated clock, moved by the traffic of every line, does not
// measure.
//
// GetLineState reports the verdict of the calling thread's own last command
// exchange on the line, whatever other threads exchanged since; to a thread
// that has not exchanged on the line it reports the line's last verdict.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <tarvenix/lines/instrumented_link.hpp>
#include <thread>

namespace tarvenix::lines {

class PolicyLink : public InstrumentedLink {
 public:
  static constexpr std::uint64_t kHoldLimitUs = 1'000'000;

  PolicyLink();

  LinkStats Stats(std::uint32_t line) const final;
  LineHealth Health(std::uint32_t line) const final;
  // Drops replies whose byte 1 is not the request's sequence digit. Only for
  // dispensers known to echo it there (the simulator does); others put
  // what they like in byte 1. Off by default.
  void MatchEcho(std::uint32_t line, bool on);
  void SetMonitor(LineMonitor* monitor) final { monitor_ = monitor; }
  // The error code of the line's last reply (0, 209, 219, 222, 223).
  std::uint32_t LineError(std::uint32_t line) const;

  std::int32_t FailResult(std::uint32_t line) final;
  void SetLineError(std::uint32_t line, std::uint32_t code) final;
  void SetLineState(std::uint32_t line, std::uint32_t state) final;
  // The calling thread's own last verdict on the line (see above); 0 after
  // an exchange whose last attempt received nothing.
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
  // The lock of a valid line once no other thread holds the line: for
  // what must not come between a reply and its acknowledgement.
  std::unique_lock<std::mutex> LineTurn(std::uint32_t line);
  void Notify(const LineEvent& event) const;

  // The transport, called with the line's lock held. Times are NowUs().
  // kResultOk when the line can exchange, or the result that says why not.
  virtual std::int32_t Ready(std::uint32_t line) = 0;
  // Puts `bytes` on the line; false when the transport failed.
  virtual bool Put(std::uint32_t line, std::span<const std::uint8_t> bytes) = 0;
  // Collects the reply to what was just put on the line into `reply`,
  // never beyond it, waiting up to the reply timeout for its first byte.
  virtual Collected Collect(std::uint32_t line, std::span<std::uint8_t> reply,
                            std::uint8_t expectedLen) = 0;
  // Takes whatever has come in and not been collected, without waiting for
  // more: as much as fits into `into`, the rest is counted and dropped.
  virtual Collected Drain(std::uint32_t line, std::span<std::uint8_t> into) = 0;
  // Waits until bytes come in or `untilUs` passes, then takes what came
  // as Drain does.
  virtual Collected Listen(std::uint32_t line, std::uint64_t untilUs,
                           std::span<std::uint8_t> into) = 0;
  // The time of one byte on the wire and the reply timeout, in
  // microseconds, as the line is configured.
  struct Timing {
    std::uint64_t byteUs = 0;
    std::uint64_t replyTimeoutUs = 0;
  };
  virtual Timing LineTiming(std::uint32_t line) const = 0;
  // The transport's last system error on the line (errno), 0 for none.
  virtual int OsError(std::uint32_t /*line*/) const { return 0; }
  // The transport (re)opened the line: nothing has answered on it yet. With
  // the line's lock held.
  void Opened(std::uint32_t line);
  // The transport failed; the exchange returns kResultPortFailed and the
  // line is re-initialised before its next command.
  virtual void OnFailure(std::uint32_t /*line*/) {}
  // Before a re-initialisation; false while the line cannot carry one.
  virtual bool PrepareReinit(std::uint32_t /*line*/) { return true; }
  // Time for the events, in microseconds.
  virtual std::uint64_t NowUs() const = 0;
  // Time that bounds a hold, in microseconds: the wall clock.
  virtual std::uint64_t HoldClockUs() const;

 private:
  static constexpr std::uint32_t kLines = 32;

  struct alignas(64) Line {
    mutable std::mutex mutex;
    ReplyCheckHandler check{};
    LineInitHandler init{};
    std::uint32_t failureRun = 0;
    bool reinitPending = false;
    bool matchEcho = false;
    // A request may still be answered: the next frame waits for a quiet
    // line, counted from `quietFromUs`.
    bool unsettled = false;
    std::uint64_t quietFromUs = 0;
    // Requests given up on whose answers have not come: once the last has
    // come and been dropped, the line need not wait longer.
    std::uint32_t owed = 0;
    bool ready = false;
    bool answered = false;
    std::int32_t lastResult = kResultOk;
    std::array<std::uint8_t, 64> stale{};  // what the trace shows of dropped bytes
    LinkStats stats;
    // Written by the reply check while the exchange holds `mutex`.
    std::atomic<std::uint8_t> lineState{protocol::kLineAccepted};
    std::atomic<std::uint32_t> lineError{0};
    // The thread the line is held for (none: not held), until when on the
    // hold clock, and where waiting threads learn that it ended.
    std::thread::id holder;
    std::uint64_t holdEndUs = 0;
    std::condition_variable holdEnded;
    // What Stats and Health read: a copy published after each exchange,
    // under a lock of its own, so that a reader never waits on the line.
    mutable std::mutex publishedMutex;
    mutable LinkStats publishedStats;
    mutable LineHealth publishedHealth;
  };

  Line* Find(std::uint32_t line) const { return IsLine(line) ? &lines_[line - 1] : nullptr; }
  // With `line`'s mutex locked: waits while another thread holds the line.
  void AwaitTurn(Line& line, std::unique_lock<std::mutex>& lock);
  // With `line`'s mutex locked: ends the calling thread's hold, if any.
  static void EndOwnHold(Line& line);
  // Ends the calling thread's hold (a new command ends it) and runs a
  // re-initialisation that is due.
  void BeginCommand(std::uint32_t lineNo, Line& line);
  std::int32_t Fail(std::uint32_t lineNo, Line& line);
  std::int32_t Acknowledge(std::uint32_t lineNo, Line& line, std::span<const std::uint8_t> request);
  std::int32_t Command(std::uint32_t lineNo, Line& line, std::span<const std::uint8_t> request,
                       std::span<std::uint8_t> reply, std::uint8_t expectedLen, std::uint8_t mode);
  // The attempts of one command, with the line's mutex locked.
  std::int32_t Converse(std::uint32_t lineNo, Line& line, std::span<const std::uint8_t> request,
                        std::span<std::uint8_t> reply, std::uint8_t expectedLen, std::uint8_t mode);
  void RecordVerdict(std::uint32_t lineNo, std::uint8_t state) const;
  // With the line's mutex locked: publishes its statistics and health.
  void Publish(std::uint32_t lineNo, const Line& line) const;
  // With the line's mutex locked: how long the line must be quiet before a
  // frame after a timeout or a repetition, the longest reply's time on the
  // wire plus twice the reply timeout.
  std::uint64_t QuietUs(std::uint32_t lineNo) const;
  // With the line's mutex locked: counts and reports dropped bytes, taken
  // for the answer to a request given up on; true when that was the last
  // one owed.
  bool DropStale(std::uint32_t lineNo, Line& line, std::size_t bytes);
  // With the line's mutex locked, before a frame: drops what is waiting and,
  // when `wait` and after a timeout or repetition, waits for a quiet line.
  // False when the transport failed.
  bool Settle(std::uint32_t lineNo, Line& line, bool wait);
  // One attempt: the request out, its reply in, stale replies dropped.
  Collected Attempt(std::uint32_t lineNo, Line& line, std::span<const std::uint8_t> request,
                    std::span<std::uint8_t> reply, std::uint8_t expectedLen, bool repeat);

  mutable std::array<Line, kLines> lines_;
  LineMonitor* monitor_ = nullptr;
  const std::uint64_t id_;  // tells this service's verdicts from another's
};

}  // namespace tarvenix::lines
