// The forecourt service: the journal, the event stream and one worker per
// line, built from a configuration. What a client (the HTTP interface, the
// demo attendant, a test) calls; every method is safe from any thread.
//
// Commands that need a dispenser go to the pump's line worker, changes of
// the buffer of sales (lock, unlock, clear) to the journal's thread; both
// answer through a completion. The queries read the journal at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tarvenix/lines/clock.hpp>
#include <tarvenix/lines/instrumented_link.hpp>
#include <thread>
#include <vector>

#include "forecourt/config.hpp"
#include "forecourt/events.hpp"
#include "forecourt/journal.hpp"
#include "forecourt/line_worker.hpp"
#include "forecourt/log.hpp"

namespace tarvenix::forecourt {

// Makes the line service of a simulated line (`simulate` > 0 in its
// configuration) for the driver's line `lineNo`, the line at `lineIndex`
// in configuration order. The service never links the simulator: whoever
// assembles a simulated forecourt (the daemon's main, a test) supplies it.
using SimulatedLinkFactory = std::function<std::unique_ptr<lines::InstrumentedLink>(
    std::uint32_t lineNo, std::size_t lineIndex, const LineConfig& line, lines::Clock& clock)>;

struct LineInfo {
  std::uint32_t number = 0;
  std::string port;  // the device, or "simulated"
  // Open: the line was opened, its transport can exchange, and something
  // has answered on it since it was (re)opened. Else `reason` says why not.
  bool open = false;
  std::string reason;
  lines::LinkStats stats;
};

class Forecourt {
 public:
  // Opens the journal, records the pumps and takes over the transactions an
  // earlier run left unfinished. `clock` drives the lines: a ManualClock
  // for tests (then Step() runs the lines), else the wall clock. Raises
  // DatabaseError when the journal cannot be opened, and
  // std::invalid_argument for a simulated line without `simulated`.
  Forecourt(const Config& config, Log& log, lines::Clock* clock = nullptr,
            Journal::NowMs nowMs = {}, SimulatedLinkFactory simulated = {});
  ~Forecourt();
  Forecourt(const Forecourt&) = delete;
  Forecourt& operator=(const Forecourt&) = delete;

  // One thread per line, until Stop (the exchange in flight finishes).
  void Start();
  void Stop();
  // Stops every line at once: queued commands are refused with "stopping"
  // at once, each line finishes its step in flight (the exchange and its
  // commit). Returns the lines still running at `deadline`.
  std::vector<std::uint32_t> StopBefore(std::chrono::steady_clock::time_point deadline);
  // One scheduling step of every line, on the caller's thread.
  void Step();

  // A client that stops waiting gives a deadline (DeadlineIn) and
  // withdraws the command when its wait ends; past it a command is never
  // sent (outcome "expired"). A line holds at most kMaxQueuedCommands.
  Deadline DeadlineIn(std::chrono::microseconds wait) const {
    return Deadline(clock_->NowUs() + static_cast<std::uint64_t>(wait.count()));
  }
  // Queues a command on its pump's line; `done` receives its outcome once,
  // from the line's thread or at once from the caller's.
  void Submit(Command command, Completion done);
  // The same, for a caller that waits (tests, the demo attendant).
  std::future<Outcome> Submit(Command command);
  std::future<Outcome> Authorise(AuthoriseRequest request, Deadline deadline = {});
  std::future<Outcome> StopPump(const std::string& pumpId, Deadline deadline = {});
  std::vector<std::future<Outcome>> StopAll();
  std::future<Outcome> SetPrice(const std::string& pumpId, double price, Deadline deadline = {});
  std::future<Outcome> ReadTotals(const std::string& pumpId, Deadline deadline = {});
  std::future<Outcome> ReadParam(const std::string& pumpId, std::int32_t param,
                                 Deadline deadline = {});
  std::future<Outcome> WriteParam(const std::string& pumpId, std::int32_t param, std::int32_t value,
                                  Deadline deadline = {});

  // Runs a change of the journal (a lock, an acknowledgement...) on the
  // journal's own thread, in order, so that no caller waits on the disk;
  // `done` receives its outcome there. Past `deadline` it is not made
  // ("expired").
  void Change(std::function<Outcome()> change, Deadline deadline, Completion done);

  // The changes themselves, on the caller's thread.
  Outcome Lock(std::int64_t txnId, const std::string& client) {
    return journal_->Lock(txnId, client);
  }
  Outcome Unlock(std::int64_t txnId, const std::string& client) {
    return journal_->Unlock(txnId, client);
  }
  Outcome Clear(std::int64_t txnId, const std::string& client) {
    return journal_->Clear(txnId, client);
  }

  std::vector<PumpSnapshot> Pumps() const;
  std::optional<PumpSnapshot> Pump(const std::string& pumpId) const;
  std::vector<LineInfo> Lines() const;
  Journal& GetJournal() { return *journal_; }
  EventRing& Events() { return events_; }
  // The point of sale's heartbeat (fallback.hpp).
  FallbackWatch& Fallback() { return *fallback_; }
  const Config& GetConfig() const { return config_; }
  lines::Clock& Clock() { return *clock_; }

  // Receives every event of every line besides the log, for a live trace;
  // nullptr for none. Settable at any time; a listener must stay alive
  // until it is unset or the lines have stopped.
  void SetLineListener(lines::LineMonitor* listener);

 private:
  struct Line;
  class Tap;

  LineWorker* WorkerOf(const std::string& pumpId) const;
  void AuditStart();
  void RunChanges();
  void StopChanges();

  // The journal's thread for changes asked by clients.
  struct Writer {
    struct Change {
      std::function<Outcome()> change;
      Deadline deadline;
      Completion done;
    };
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Change> queue;
    bool stopping = false;
    std::thread thread;
  };

  Config config_;
  Log& log_;
  std::unique_ptr<lines::Clock> ownClock_;
  lines::Clock* clock_;
  EventRing events_;
  std::unique_ptr<Journal> journal_;
  std::unique_ptr<FallbackWatch> fallback_;
  std::unique_ptr<ExchangeLog> exchangeLog_;
  std::unique_ptr<Tap> tap_;
  std::vector<std::unique_ptr<Line>> lines_;
  bool started_ = false;
  Writer writer_;  // last: its thread stops before the rest goes
};

}  // namespace tarvenix::forecourt
