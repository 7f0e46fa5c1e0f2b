// One line of the forecourt: the thread that owns every driver call for the
// line, its command queue, its poll scheduler and the state of its pumps.
//
// Scheduling, one driver operation at a time:
// - a stop, ahead of every other command;
// - each pump's turn, round robin: one exchange, ReadLive while it
//   delivers (its reply confirms the state too), else PollState;
// - the rest: other commands first, then the counters of a finished sale,
//   then the most overdue live reading (every live interval at most), then
//   the counters of idle pumps now and then; commands and the others take
//   turns while both are due.
// The turns and the rest share the line's time equally while both have
// something due (a command may lead by 0.3 s and counts for at least
// 10 ms); either takes all of it
// while the other has nothing, and the line is idle only when nothing is
// due. With N pumps every state is thus at most about 2N exchanges old.
//
// A pump is connecting until it first answers; an authorisation for it
// waits for that answer (at most 10 s). A pump whose exchanges fail
// `offline_after` times in a row is offline and re-probed with a backoff
// (1 s doubling to 30 s); one good reply brings it back.
//
// Other threads never call the driver: they Submit a command with the
// completion that receives its outcome. Tests run the worker on their own thread with Step() on a
// simulated clock.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tarvenix/lines/clock.hpp>
#include <tarvenix/tvm30.hpp>
#include <thread>
#include <vector>

#include "forecourt/config.hpp"
#include "forecourt/events.hpp"
#include "forecourt/fallback.hpp"
#include "forecourt/journal.hpp"
#include "forecourt/log.hpp"
#include "forecourt/model.hpp"

namespace tarvenix::forecourt {

struct AuthoriseRequest {
  std::string pumpId;
  PresetKind kind = PresetKind::kVolume;
  double preset = 0;
  std::optional<double> price;  // else the pump's current price
  std::string client;
  std::optional<std::string> reference;  // makes a retried authorisation harmless
  bool fallback = false;                 // the service's own, while no point of sale is heard
};

// The answer to an authorisation whose client reference names `existing`:
// the same request again gets its sale; another one under the same
// reference is a client's mistake (reference-conflict), not a retry.
Outcome ByReference(Transaction existing, const AuthoriseRequest& request);

// When a command's client stops waiting. The worker claims the command as
// it takes it from the queue, the client withdraws it when its wait ends:
// whichever comes first wins, so a command whose client gave up is never
// sent, and one that was sent is always finished and recorded.
class Deadline {
 public:
  Deadline() = default;  // the client waits as long as it takes
  explicit Deadline(std::uint64_t atUs)
      : atUs_(atUs), ticket_(std::make_shared<std::atomic<int>>(kWaiting)) {}
  // The worker's: false when the deadline has passed on the line's clock
  // or the client withdrew the command.
  bool Claim(std::uint64_t nowUs);
  // The client's: true when the command will never be sent.
  bool Withdraw();

 private:
  static constexpr int kWaiting = 0;
  static constexpr int kClaimed = 1;
  static constexpr int kWithdrawn = 2;
  std::uint64_t atUs_ = std::numeric_limits<std::uint64_t>::max();
  std::shared_ptr<std::atomic<int>> ticket_;
};

struct Command {
  enum class Kind { kAuthorise, kStop, kSetPrice, kReadTotals, kReadParam, kWriteParam };
  Kind kind = Kind::kStop;
  std::string pumpId;
  AuthoriseRequest authorise;
  double price = 0;
  std::int32_t param = 0;
  std::int32_t value = 0;
  Deadline deadline;
  std::string actor = "local";  // who asked: the price log names them
  // The command's audit record, committed with the change that carries out
  // the command, or alone with its outcome when nothing else is written.
  std::optional<AuditRecord> audit;
};

// Receives a command's outcome, once.
using Completion = std::function<void(Outcome)>;

// Commands a line holds at most; beyond, line-busy.
inline constexpr std::size_t kMaxQueuedCommands = 64;

class LineWorker {
 public:
  // `lineNo` is the driver's line on `link`; the worker makes its own
  // driver object over it.
  LineWorker(std::uint32_t lineNo, TComLink& link, lines::Clock& clock,
             const std::vector<PumpConfig>& pumps, const Settings& settings, Journal& journal,
             EventRing& events, Log& log);
  ~LineWorker();
  LineWorker(const LineWorker&) = delete;
  LineWorker& operator=(const LineWorker&) = delete;

  // Takes over what a previous run left unfinished on this line's pumps;
  // each is settled when its pump first answers. Before Start or Step.
  void Adopt(const Transaction& txn);

  void Start();
  // Ends the thread after the exchange in flight; queued commands are
  // refused with "stopping". Stop is RequestStop and then Join.
  void Stop();
  // Refuses queued and later commands with "stopping" at once and asks the
  // thread to end after the step in flight (its exchange and commit).
  void RequestStop();
  // Waits for the thread until `deadline`; false when it is still running.
  bool JoinBefore(std::chrono::steady_clock::time_point deadline);
  // One scheduling step on the caller's thread.
  void Step();

  // Fallback (fallback.hpp): pumps set to auto authorise a lifted nozzle
  // while it is active. Before Start or Step.
  void SetFallback(FallbackWatch* watch) { fallback_ = watch; }

  bool Serves(const std::string& pumpId) const;
  // Queues a command; `done` is called once with its outcome, on the
  // worker's thread or the caller's (a command refused at once). It must
  // not block: it hands the outcome to whoever waits.
  void Submit(Command command, Completion done);
  std::vector<PumpSnapshot> Snapshots() const;
  std::uint32_t LineNo() const { return lineNo_; }
  bool Opened() const;

 private:
  struct Pump;
  struct Queued {
    Command command;
    Completion done;
  };
  // An authorisation for a pump that has not answered yet.
  struct Waiting {
    Queued queued;
    std::uint64_t deadlineUs = 0;
  };

  // A step of the schedule, guarded: a journal error never ends the worker.
  void Schedule();
  void Run();
  void OpenIfDue();
  // The next command to carry out: a stop before anything else.
  std::optional<Queued> NextCommand();
  void RunCommand(Queued queued);
  // Whether a client's command is queued (read from the worker's thread).
  bool CommandWaiting() const;
  // Refuses the commands the worker had taken but not run ("stopping").
  void RefuseLeftovers();
  // Accounts the time since `sinceUs` to one side of the line's share.
  void Spent(std::uint64_t sinceUs, bool otherDue, int sign);
  void TakeTurn(Pump& pump);
  bool CountersDue(const Pump& pump, std::uint64_t now) const;
  void ReadIdleCounters(Pump& pump);
  Outcome Execute(const Command& command);
  Outcome Authorise(const AuthoriseRequest& request);
  Outcome StopPump(Pump& pump);
  Outcome SetPrice(Pump& pump, double price, const std::string& actor);
  // Gives each free pump of the line the price sets that are due for it.
  void ApplyDuePrices();
  // While fallback is active, authorises one lifted nozzle of a pump set
  // to auto for its fallback preset.
  void AuthoriseFallback();
  // Commits the running command's audit record alone, when no change took it.
  void AuditOutcome(const Outcome& outcome);
  Outcome ReadTotalsNow(Pump& pump);
  Outcome Parameter(Pump& pump, const Command& command);

  bool Following(const Pump& pump) const;
  void Follow(Pump& pump);
  void Finish(Pump& pump, double volume, double money);
  void Reconcile(Pump& pump);
  // Sets the sale's counters after and its reconciliation; the alert to
  // raise when they disagree with its final reading.
  std::optional<Alert> Judge(Pump& pump, Transaction& txn, const Totals& after);
  void Poll(Pump& pump);
  void Settle(Pump& pump);
  void CheckUnattended(Pump& pump, const Totals& now);
  void Rebase(Pump& pump, const Totals& last, const Totals& now,
              std::optional<std::int64_t> saleId);
  // Raises ESerialIO when no sound reading came: `expectMovement` says the
  // counters cannot read zero. Counters that went back re-base the pump,
  // with an alert naming `saleId`.
  Totals ReadTotals(Pump& pump, bool expectMovement = false,
                    std::optional<std::int64_t> saleId = std::nullopt);

  // The journal's faults, one policy. A sale's change goes to Commit, which
  // never fails: what the journal does not take is held here, in order,
  // and written by FlushHeld with a backoff until it goes through.
  void Commit(Transaction& txn, const std::optional<Totals>& counters = std::nullopt,
              Sync sync = Sync::kNow);
  bool Held(std::int64_t txnId) const;
  void FlushHeld();
  void JournalFailed(const std::exception& e);

  void Contact(Pump& pump, std::uint8_t code);
  void Failure(Pump& pump);
  void Changed(Pump& pump);
  void PublishLive(Pump& pump);
  void Refresh();
  void IdleUntil(std::uint64_t dueUs);
  Pump* Find(const std::string& pumpId);

  std::uint32_t lineNo_;
  lines::Clock& clock_;
  Settings settings_;
  Journal& journal_;
  EventRing& events_;
  Log& log_;
  std::unique_ptr<TVM30> driver_;
  std::vector<std::unique_ptr<Pump>> pumps_;
  std::size_t nextTurn_ = 0;
  std::int64_t balanceUs_ = 0;      // commands and live readings minus turns
  std::optional<Queued> deferred_;  // a command that let other work go first
  bool lastWasCommand_ = false;
  std::vector<Waiting> waiting_;  // the worker's own
  struct HeldWrite {
    Transaction txn;
    std::optional<Totals> counters;
    std::optional<AuditRecord> audit;
  };
  std::optional<AuditRecord> audit_;  // the running command's, until committed
  std::uint64_t nextPriceCheckUs_ = 0;
  FallbackWatch* fallback_ = nullptr;
  std::deque<HeldWrite> held_;
  std::uint64_t heldRetryUs_ = 0;    // when to try the journal again
  std::uint64_t heldBackoffUs_ = 0;  // doubling while it fails
  bool opened_ = false;

  mutable std::mutex mutex_;  // the queue, the snapshots and the stop flag
  std::condition_variable wake_;
  std::deque<Queued> queue_;
  std::vector<PumpSnapshot> snapshots_;
  bool stopping_ = false;
  bool threaded_ = false;
  bool finished_ = false;  // the thread has left Run
  std::condition_variable finishedChanged_;
  std::thread thread_;
};

}  // namespace tarvenix::forecourt
