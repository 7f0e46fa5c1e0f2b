#include "forecourt/line_worker.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

#include "forecourt/amounts.hpp"
#include "forecourt/json.hpp"
#include "forecourt/sale.hpp"
#include "forecourt/thread_name.hpp"
#include "trace/text.hpp"

namespace tarvenix::forecourt {
namespace {

constexpr std::uint64_t kUsPerMs = 1000;
constexpr std::uint64_t kIdleWaitUs = 1'000'000;
constexpr int kTotalsAttempts = 3;
constexpr std::uint64_t kQuietLineUs = 200'000;
// Retries of a journal that takes no writes: 100 ms doubling to 5 s.
constexpr std::uint64_t kJournalRetryMinUs = 100'000;
constexpr std::uint64_t kJournalRetryMaxUs = 5'000'000;
// How long an authorisation waits for a pump that has not answered since
// the service started; well inside the HTTP interface's command timeout.
constexpr std::uint64_t kFirstAnswerWaitUs = 10'000'000;
// How far commands may run ahead of the pumps' turns in the line's time.
constexpr std::int64_t kCommandLeadUs = 300'000;
// What a command counts for in that lead at the least.
constexpr std::uint64_t kLeastCommandUs = 10'000;
// How often a line looks for due prices while one waits for a busy pump.
constexpr std::uint64_t kPriceCheckUs = 200'000;
// A fallback authorisation refused (too many unpaid, a journal error) is
// tried again after this.
constexpr std::uint64_t kFallbackRetryUs = 5'000'000;

std::string Figure(double value) {
  return fmt::format("{:.3f}", value);
}

}  // namespace

bool Deadline::Claim(std::uint64_t nowUs) {
  if (!ticket_) {
    return true;
  }
  int waiting = kWaiting;
  if (nowUs >= atUs_) {
    ticket_->compare_exchange_strong(waiting, kWithdrawn);
    return false;
  }
  return ticket_->compare_exchange_strong(waiting, kClaimed);
}

bool Deadline::Withdraw() {
  if (!ticket_) {
    return false;
  }
  int waiting = kWaiting;
  return ticket_->compare_exchange_strong(waiting, kWithdrawn) || waiting == kWithdrawn;
}

struct LineWorker::Pump {
  PumpConfig config;
  std::optional<double> price;
  std::optional<std::int64_t> priceSetId;  // the set `price` came from
  std::uint64_t nextFallbackUs = 0;        // the next fallback authorisation may be tried
  std::uint8_t raw = dispenser_state::kUnknown;
  bool online = false;
  bool announcedOffline = false;
  std::uint32_t failures = 0;
  std::uint64_t backoffMs = 0;
  std::uint64_t nextPollUs = 0;
  std::uint64_t nextLiveUs = 0;
  std::uint64_t nextTotalsUs = 0;
  std::uint64_t lastContactUs = 0;
  bool contacted = false;
  double liveVolume = 0;
  double liveMoney = 0;
  std::uint64_t lastJournalLiveUs = 0;
  std::uint64_t lastLiveEventUs = 0;
  bool livePending = false;  // a live value not yet published
  // The transaction the pump is busy with, and a finished sale whose
  // counters are still to be read.
  std::optional<Transaction> active;
  std::optional<Transaction> reconcile;
  bool settlePending = false;  // `active` came from an earlier run or an outage
  bool settleSawIdle = false;  // one poll said the delivery is over; a second must agree
  // What was last published.
  PumpState published = PumpState::kConnecting;
  std::uint8_t publishedRaw = 0;
  bool publishedOnce = false;

  // Not heard from since the service started, and not yet given up on.
  bool Connecting() const { return !contacted && !announcedOffline; }

  PumpState State() const {
    if (!online) {
      return Connecting() ? PumpState::kConnecting : PumpState::kOffline;
    }
    if (active) {
      if (active->state == TxnState::kFuelling || liveVolume > 0) {
        return PumpState::kFuelling;
      }
      return active->state == TxnState::kAuthorising ? PumpState::kIdle : PumpState::kAuthorised;
    }
    switch (raw) {
      case dispenser_state::kDelivering:
        return PumpState::kFuelling;
      case dispenser_state::kCalling:
        return PumpState::kCalling;
      default:
        return PumpState::kIdle;
    }
  }
};

LineWorker::LineWorker(std::uint32_t lineNo, TComLink& link, lines::Clock& clock,
                       const std::vector<PumpConfig>& pumps, const Settings& settings,
                       Journal& journal, EventRing& events, Log& log)
    : lineNo_(lineNo),
      clock_(clock),
      settings_(settings),
      journal_(journal),
      events_(events),
      log_(log),
      driver_(std::make_unique<TVM30>(link, 0, lines::SleeperOn(clock))) {
  for (const PumpConfig& config : pumps) {
    auto pump = std::make_unique<Pump>();
    pump->config = config;
    pump->price = journal_.PumpPrice(config.id);
    if (!pump->price) {
      pump->price = config.price;
    }
    pump->priceSetId = journal_.PumpPriceSet(config.id);
    pumps_.push_back(std::move(pump));
  }
  Refresh();
}

LineWorker::~LineWorker() {
  Stop();
}

void LineWorker::Adopt(const Transaction& txn) {
  Pump* pump = Find(txn.pumpId);
  if (pump == nullptr) {
    log_.Info("transaction {} belongs to pump '{}', which is no longer configured", txn.id,
              txn.pumpId);
    return;
  }
  if (IsOpen(txn.state)) {
    pump->active = txn;
    pump->settlePending = true;
  } else {
    pump->reconcile = txn;
  }
}

bool LineWorker::Serves(const std::string& pumpId) const {
  return std::ranges::any_of(pumps_, [&](const auto& p) { return p->config.id == pumpId; });
}

LineWorker::Pump* LineWorker::Find(const std::string& pumpId) {
  for (auto& pump : pumps_) {
    if (pump->config.id == pumpId) {
      return pump.get();
    }
  }
  return nullptr;
}

bool LineWorker::Opened() const {
  std::lock_guard lock(mutex_);
  return opened_;
}

void LineWorker::Start() {
  {
    std::lock_guard lock(mutex_);
    threaded_ = true;
    stopping_ = false;
    finished_ = false;
  }
  thread_ = std::thread([this] {
    NameThisThread("tvx-line-" + std::to_string(lineNo_));
    Run();
    RefuseLeftovers();
    {
      std::lock_guard lock(mutex_);
      finished_ = true;
    }
    finishedChanged_.notify_all();
  });
}

void LineWorker::Stop() {
  RequestStop();
  JoinBefore(std::chrono::steady_clock::time_point::max());
  RefuseLeftovers();  // a worker stepped by its caller has no thread to do it
}

void LineWorker::RequestStop() {
  std::deque<Queued> refused;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    refused.swap(queue_);
  }
  wake_.notify_all();
  for (Queued& q : refused) {
    q.done(Outcome::Refused("stopping", "the service is stopping"));
  }
}

bool LineWorker::JoinBefore(std::chrono::steady_clock::time_point deadline) {
  if (!thread_.joinable()) {
    return true;
  }
  {
    std::unique_lock lock(mutex_);
    const auto finished = [this] { return finished_; };
    if (deadline == std::chrono::steady_clock::time_point::max()) {
      finishedChanged_.wait(lock, finished);
    } else if (!finishedChanged_.wait_until(lock, deadline, finished)) {
      return false;
    }
  }
  thread_.join();
  return true;
}

void LineWorker::Run() {
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) {
        return;
      }
    }
    Step();
  }
}

void LineWorker::Submit(Command command, Completion done) {
  {
    std::unique_lock lock(mutex_);
    if (stopping_) {
      lock.unlock();
      done(Outcome::Refused("stopping", "the service is stopping"));
      return;
    }
    if (queue_.size() >= kMaxQueuedCommands) {
      lock.unlock();
      done(Outcome::Refused(
          "line-busy", fmt::format("line {} has {} commands waiting: the command was not taken",
                                   lineNo_, kMaxQueuedCommands)));
      return;
    }
    queue_.push_back({std::move(command), std::move(done)});
  }
  wake_.notify_all();
}

std::optional<LineWorker::Queued> LineWorker::NextCommand() {
  // A stop overtakes every other command. An authorisation of the same pump
  // that it overtakes must not start the pump after it: it is refused.
  std::optional<Queued> stop;
  std::vector<Queued> overtaken;
  {
    std::lock_guard lock(mutex_);
    const auto it = std::ranges::find_if(
        queue_, [](const Queued& q) { return q.command.kind == Command::Kind::kStop; });
    if (it != queue_.end()) {
      const std::string pumpId = it->command.pumpId;
      stop = std::move(*it);
      const auto end = queue_.erase(it);
      for (auto before = queue_.begin(); before != end;) {
        if (before->command.kind == Command::Kind::kAuthorise &&
            before->command.authorise.pumpId == pumpId) {
          overtaken.push_back(std::move(*before));
          before = queue_.erase(before);
        } else {
          ++before;
        }
      }
    }
  }
  if (stop) {
    const std::string& pumpId = stop->command.pumpId;
    if (deferred_ && deferred_->command.kind == Command::Kind::kAuthorise &&
        deferred_->command.authorise.pumpId == pumpId) {
      overtaken.push_back(std::move(*deferred_));
      deferred_.reset();
    }
    for (auto it = waiting_.begin(); it != waiting_.end();) {
      if (it->queued.command.authorise.pumpId == pumpId) {
        overtaken.push_back(std::move(it->queued));
        it = waiting_.erase(it);
      } else {
        ++it;
      }
    }
    for (Queued& q : overtaken) {
      q.done(Outcome::Refused(
          "pump-busy", "a stop of pump " + pumpId + " came before the authorisation was sent"));
    }
    return stop;
  }
  if (deferred_) {
    std::optional<Queued> q = std::move(deferred_);
    deferred_.reset();
    return q;
  }
  const std::uint64_t now = clock_.NowUs();
  // An authorisation that waited for its pump's first answer goes once the
  // pump has answered, has been given up on, or the wait ran out.
  for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
    const Pump* pump = Find(it->queued.command.authorise.pumpId);
    if (pump == nullptr || !pump->Connecting() || now >= it->deadlineUs) {
      Queued q = std::move(it->queued);
      waiting_.erase(it);
      return q;
    }
  }
  for (;;) {
    std::optional<Queued> q;
    {
      std::lock_guard lock(mutex_);
      if (queue_.empty()) {
        return std::nullopt;
      }
      q = std::move(queue_.front());
      queue_.pop_front();
    }
    const Command& command = q->command;
    const Pump* pump =
        command.kind == Command::Kind::kAuthorise ? Find(command.authorise.pumpId) : nullptr;
    if (pump == nullptr || !pump->Connecting()) {
      return q;
    }
    waiting_.push_back({.queued = std::move(*q), .deadlineUs = now + kFirstAnswerWaitUs});
  }
}

void LineWorker::RunCommand(Queued queued) {
  Outcome outcome;
  audit_ = std::move(queued.command.audit);
  try {
    outcome = queued.command.deadline.Claim(clock_.NowUs())
                  ? Execute(queued.command)
                  : Outcome::Refused("expired",
                                     "the client stopped waiting before the line could send "
                                     "the command: it was not sent");
  } catch (const DatabaseError& e) {
    JournalFailed(e);
    outcome =
        Outcome::Refused("journal-error", std::string("the journal takes no writes: ") + e.what());
  } catch (const StateConflict& e) {
    log_.Info("line {}: INTERNAL ERROR: {}", lineNo_, e.what());
    outcome = Outcome::Refused("state-conflict", e.what());
  }
  AuditOutcome(outcome);
  Refresh();
  queued.done(std::move(outcome));
}

void LineWorker::AuditOutcome(const Outcome& outcome) {
  if (!audit_) {
    return;
  }
  AuditRecord record = std::move(*audit_);
  audit_.reset();
  if (outcome.Ok()) {
    record.outcome = {{"result", "ok"}};
    if (record.kind == "stop") {
      record.outcome["delivering"] = outcome.delivering;
    }
  } else {
    record.outcome = {{"error", outcome.reason}, {"message", outcome.message}};
  }
  if (outcome.transaction) {
    record.outcome["transaction"] = outcome.transaction->id;
  }
  try {
    journal_.Audit(record);
  } catch (const DatabaseError& e) {
    // The command's outcome stands; the journal's fault is told by health.
    log_.Info("line {}: audit record of {} not written: {}", lineNo_, record.kind, e.what());
  }
}

bool LineWorker::CommandWaiting() const {
  std::lock_guard lock(mutex_);
  return !queue_.empty();
}

void LineWorker::RefuseLeftovers() {
  std::vector<Queued> refused;
  for (Waiting& w : waiting_) {
    refused.push_back(std::move(w.queued));
  }
  waiting_.clear();
  if (deferred_) {
    refused.push_back(std::move(*deferred_));
    deferred_.reset();
  }
  for (Queued& q : refused) {
    q.done(Outcome::Refused("stopping", "the service is stopping"));
  }
}

void LineWorker::OpenIfDue() {
  if (opened_) {
    return;
  }
  // A reply to a host that went before (killed mid-exchange) may still be on
  // its way: let the line fall quiet first.
  clock_.Wait(kQuietLineUs);
  try {
    driver_->InitLine(lineNo_);
    log_.Info("line {}: opened", lineNo_);
  } catch (const ESerialIO& e) {
    // The line is configured; address 1 did not answer its reset. The
    // pumps' own polls tell whether anything is there.
    log_.Info("line {}: opened, but the reset of address 1 failed: {}", lineNo_,
              trace::Cp1251ToUtf8(e.what()));
  }
  std::lock_guard lock(mutex_);
  opened_ = true;
}

void LineWorker::Step() {
  // A command's record goes with that command's change only: one whose
  // command ended in an exception is not carried over to another change.
  audit_.reset();
  FlushHeld();
  try {
    Schedule();
  } catch (const DatabaseError& e) {
    JournalFailed(e);
    Refresh();
    // Whatever failed is tried again at its turn; meanwhile the disk is
    // given a moment rather than a busy loop.
    IdleUntil(clock_.NowUs() + std::min(heldBackoffUs_, kIdleWaitUs));
  } catch (const std::exception& e) {
    // A broken rule of the sale is a fault of the program: said loudly,
    // and the line goes on serving its other pumps.
    log_.Info("line {}: INTERNAL ERROR: {}", lineNo_, e.what());
    Refresh();
  }
}

void LineWorker::Schedule() {
  OpenIfDue();
  ApplyDuePrices();
  AuthoriseFallback();
  std::optional<Queued> command = NextCommand();
  if (command && command->command.kind == Command::Kind::kStop) {
    RunCommand(std::move(*command));
    return;
  }
  const std::uint64_t now = clock_.NowUs();
  // Held-back live values go out as soon as the event rate lets them.
  for (auto& pump : pumps_) {
    if (pump->livePending) {
      PublishLive(*pump);
    }
  }
  std::uint64_t due = now + kIdleWaitUs;
  for (const Waiting& w : waiting_) {
    due = std::min(due, w.deadlineUs);
  }
  // A finished sale whose counters are still to be read.
  Pump* reconcile = nullptr;
  for (auto& pump : pumps_) {
    if (pump->reconcile && pump->online && pump->nextPollUs <= now) {
      reconcile = pump.get();
      break;
    }
  }
  // The most overdue live reading.
  Pump* live = nullptr;
  for (auto& pump : pumps_) {
    if (Following(*pump)) {
      if (pump->nextLiveUs <= now && (live == nullptr || pump->nextLiveUs < live->nextLiveUs)) {
        live = pump.get();
      }
      due = std::min(due, pump->nextLiveUs);
    }
  }
  // The idle pump whose counters are the longest due.
  Pump* counters = nullptr;
  for (auto& pump : pumps_) {
    if (CountersDue(*pump, now) &&
        (counters == nullptr || pump->nextTotalsUs < counters->nextTotalsUs)) {
      counters = pump.get();
    }
  }
  // The next pump in turn whose state is due.
  Pump* turn = nullptr;
  std::size_t turnIndex = 0;
  for (std::size_t i = 0; i < pumps_.size(); ++i) {
    turnIndex = (nextTurn_ + i) % pumps_.size();
    Pump& pump = *pumps_[turnIndex];
    if (pump.nextPollUs <= now) {
      turn = &pump;
      break;
    }
    due = std::min(due, pump.nextPollUs);
  }
  // Commands, counters and live readings on one side, the pumps' turns (one
  // exchange each) on the other, share the line's time equally while both
  // have something due; either takes all of it while the other has
  // nothing. With N pumps every state is thus at most about 2N exchanges
  // old, however many commands come and pumps deliver.
  // A command may run ahead of that share by a little, so that a lone
  // command never waits for the turns.
  // Within the rest, commands and the other work alternate while both are
  // due, so that commands repeated until a sale's counters are read cannot
  // hold that reading back.
  const bool background = reconcile != nullptr || live != nullptr || counters != nullptr;
  const bool urgent = command || background;
  const bool commandNow = command && !(background && lastWasCommand_);
  const bool ahead = balanceUs_ > (commandNow ? kCommandLeadUs : 0);
  if (urgent && (turn == nullptr || !ahead)) {
    lastWasCommand_ = commandNow;
    if (commandNow) {
      RunCommand(std::move(*command));
      // Even a command refused at once counts for a little, so that a
      // client repeating one cannot keep the turns off the line.
      if (turn != nullptr && clock_.NowUs() - now < kLeastCommandUs) {
        balanceUs_ += static_cast<std::int64_t>(kLeastCommandUs - (clock_.NowUs() - now));
      }
      Spent(now, turn != nullptr, 1);
      return;
    }
    deferred_ = std::move(command);
    if (reconcile != nullptr) {
      Reconcile(*reconcile);
      Refresh();
    } else if (live != nullptr) {
      Follow(*live);
      Refresh();
    } else {
      ReadIdleCounters(*counters);
      Refresh();
    }
    Spent(now, turn != nullptr, 1);
    return;
  }
  deferred_ = std::move(command);
  if (turn != nullptr) {
    nextTurn_ = (turnIndex + 1) % pumps_.size();
    TakeTurn(*turn);
    Refresh();
    Spent(now, urgent, -1);
    return;
  }
  IdleUntil(due);
}

void LineWorker::Spent(std::uint64_t sinceUs, bool otherDue, int sign) {
  balanceUs_ += sign * static_cast<std::int64_t>(clock_.NowUs() - sinceUs);
  // The side with nothing due earns no credit for later; what the other
  // side owes it is paid all the same.
  if (!otherDue) {
    balanceUs_ =
        sign > 0 ? std::min<std::int64_t>(balanceUs_, 0) : std::max<std::int64_t>(balanceUs_, 0);
  }
}

// A pump's turn: the one exchange that tells the most about it.
void LineWorker::TakeTurn(Pump& pump) {
  // A live reading's reply confirms the state as well as a poll does.
  if (Following(pump)) {
    Follow(pump);
  } else {
    Poll(pump);
  }
}

bool LineWorker::CountersDue(const Pump& pump, std::uint64_t now) const {
  return pump.online && !pump.active && !pump.reconcile && !pump.settlePending &&
         pump.raw != dispenser_state::kDelivering && pump.nextTotalsUs <= now;
}

// The counters of idle pumps, now and then (and first thing after a
// start): fuel drawn while no sale of ours ran shows without waiting for
// the pump's next sale.
void LineWorker::ReadIdleCounters(Pump& pump) {
  pump.nextTotalsUs = clock_.NowUs() + settings_.totalsIntervalMs * kUsPerMs;
  try {
    CheckUnattended(pump, ReadTotals(pump));
  } catch (const ESerialIO&) {
    Failure(pump);
    return;
  }
  // The counters end with a state poll: an accepted one is as fresh as the
  // pump's own turn.
  if (driver_->GetLinkState(static_cast<std::uint8_t>(lineNo_)) == 1) {
    Contact(pump, driver_->PumpStateOf(static_cast<std::int32_t>(lineNo_), pump.config.addr));
  }
}

void LineWorker::IdleUntil(std::uint64_t dueUs) {
  const std::uint64_t now = clock_.NowUs();
  if (dueUs <= now) {
    return;
  }
  std::unique_lock lock(mutex_);
  // Simulated time passes only when someone lets it: here, at once.
  if (!threaded_ || dynamic_cast<lines::ManualClock*>(&clock_) != nullptr) {
    lock.unlock();
    clock_.Wait(dueUs - now);
    return;
  }
  wake_.wait_for(lock, std::chrono::microseconds(dueUs - now),
                 [this] { return stopping_ || !queue_.empty(); });
}

bool LineWorker::Following(const Pump& pump) const {
  return pump.online && !pump.settlePending &&
         driver_->PumpStateOf(static_cast<std::int32_t>(lineNo_), pump.config.addr) ==
             dispenser_state::kDelivering;
}

// --- The journal's faults

void LineWorker::JournalFailed(const std::exception& e) {
  heldBackoffUs_ = std::clamp(heldBackoffUs_ * 2, kJournalRetryMinUs, kJournalRetryMaxUs);
  heldRetryUs_ = clock_.NowUs() + heldBackoffUs_;
  log_.Info("line {}: journal error ({} sale change(s) held, retry in {} ms): {}", lineNo_,
            held_.size(), heldBackoffUs_ / kUsPerMs, e.what());
}

bool LineWorker::Held(std::int64_t txnId) const {
  return std::ranges::any_of(held_, [&](const HeldWrite& w) { return w.txn.id == txnId; });
}

void LineWorker::Commit(Transaction& txn, const std::optional<Totals>& counters, Sync sync) {
  // The running command's record goes with the change that carries it out.
  std::optional<AuditRecord> audit = std::move(audit_);
  audit_.reset();
  if (held_.empty()) {
    try {
      journal_.Save(txn, counters, sync, audit ? &*audit : nullptr);
      return;
    } catch (const DatabaseError& e) {
      held_.push_back({txn, counters, std::move(audit)});
      JournalFailed(e);
      return;
    } catch (const StateConflict& e) {
      log_.Info("line {}: INTERNAL ERROR, change not written: {}", lineNo_, e.what());
      return;
    }
  }
  // Behind what is held already: a sale's later change replaces its
  // earlier one, in its place, so that changes land in the order made.
  for (HeldWrite& w : held_) {
    if (w.txn.id == txn.id) {
      w.txn = txn;
      if (counters) {
        w.counters = counters;
      }
      if (audit) {
        w.audit = std::move(audit);
      }
      return;
    }
  }
  held_.push_back({txn, counters, std::move(audit)});
}

void LineWorker::FlushHeld() {
  if (held_.empty() && !journal_.Failing()) {
    heldBackoffUs_ = 0;
    return;
  }
  if (clock_.NowUs() < heldRetryUs_) {
    return;
  }
  try {
    if (held_.empty()) {
      // Nothing of ours is held: a small write tells whether the journal
      // is back, so that new sales are taken again.
      if (!journal_.Probe()) {
        throw DatabaseError(journal_.Failure().value_or("the journal takes no writes"));
      }
    }
    while (!held_.empty()) {
      HeldWrite& w = held_.front();
      try {
        journal_.Save(w.txn, w.counters, Sync::kNow, w.audit ? &*w.audit : nullptr);
        log_.Info("line {}: transaction {} committed as {} after a journal error", lineNo_,
                  w.txn.id, Name(w.txn.state));
      } catch (const StateConflict& e) {
        log_.Info("line {}: INTERNAL ERROR, held change dropped: {}", lineNo_, e.what());
      }
      held_.pop_front();
    }
    heldBackoffUs_ = 0;
  } catch (const DatabaseError& e) {
    JournalFailed(e);
  }
}

// --- Contact with a pump

void LineWorker::Contact(Pump& pump, std::uint8_t code) {
  const std::uint64_t now = clock_.NowUs();
  pump.failures = 0;
  pump.backoffMs = 0;
  pump.raw = code;
  pump.lastContactUs = now;
  pump.contacted = true;
  pump.nextPollUs = now + settings_.pollIntervalMs * kUsPerMs;
  if (!pump.online) {
    pump.online = true;
    pump.announcedOffline = false;
    log_.Info("pump {}: online (line {}, address {})", pump.config.id, lineNo_, pump.config.addr);
  }
}

void LineWorker::Failure(Pump& pump) {
  const std::uint64_t now = clock_.NowUs();
  ++pump.failures;
  if (pump.failures < settings_.offlineAfter) {
    pump.nextPollUs = now;
    pump.nextLiveUs = now;
    return;
  }
  if (!pump.announcedOffline) {
    pump.announcedOffline = true;
    log_.Info("pump {}: offline after {} failed exchanges", pump.config.id, pump.failures);
    if (pump.online) {
      journal_.Raise({.kind = "pump-offline",
                      .pumpId = pump.config.id,
                      .transactionId = pump.active ? std::optional(pump.active->id) : std::nullopt,
                      .message = "pump " + pump.config.id + " stopped answering",
                      .details = nlohmann::json{{"failures", pump.failures}}.dump()});
    }
  }
  if (pump.online && pump.active) {
    // What happened meanwhile is learnt when it answers again.
    pump.settlePending = true;
  }
  pump.online = false;
  pump.backoffMs = pump.backoffMs == 0
                       ? settings_.backoffFirstMs
                       : std::min<std::uint64_t>(pump.backoffMs * 2, settings_.backoffMaxMs);
  pump.nextPollUs = now + pump.backoffMs * kUsPerMs;
}

void LineWorker::Poll(Pump& pump) {
  std::uint16_t result = 0;
  try {
    result = driver_->PollState(static_cast<std::uint8_t>(lineNo_), pump.config.addr);
  } catch (const ESerialIO&) {
    Failure(pump);
    return;
  }
  if ((result >> 8) != 0) {
    Failure(pump);  // the reply was refused: the state is not fresh
    return;
  }
  Contact(pump, static_cast<std::uint8_t>(result & 0xFF));
  if (pump.settlePending) {
    Settle(pump);
  }
  if (!pump.active && !pump.reconcile && pump.raw == dispenser_state::kDelivering) {
    log_.Info("pump {}: delivering without an authorisation of ours", pump.config.id);
  }
}

Totals LineWorker::ReadTotals(Pump& pump, bool expectMovement, std::optional<std::int64_t> saleId) {
  // ReadTotals starts from zero counters and returns them as they are when
  // the T reply was refused: a zero reading is only believed where zero is
  // possible, and then only when a second reading confirms it.
  //
  // Counters below the last reading mean a register was reset or replaced
  // (or a reply was refused): believed when the next reading agrees, and
  // zeros only when every attempt agrees. The pump is then re-based on
  // them, so that it stays usable, and a person is told.
  const auto known = journal_.LastTotals(pump.config.id);
  const bool zeroPossible =
      !expectMovement && (!known || (known->volume == 0 && known->money == 0));
  int zeros = 0;
  std::optional<Totals> back;
  int agreeing = 0;
  for (int attempt = 0; attempt < kTotalsAttempts; ++attempt) {
    double volume = 0;
    double money = 0;
    driver_->ReadTotals(static_cast<std::int32_t>(lineNo_), pump.config.addr,
                        pump.config.totalsSelector, volume, money);
    Totals now{.volume = std::llround(volume),
               .money = std::llround(money),
               .scale = pump.config.totalsScale};
    const bool zero = now.volume == 0 && now.money == 0;
    if (zero && zeroPossible) {
      if (++zeros == 2) {
        return now;
      }
      continue;
    }
    const bool wentBack = known && (now.volume < known->volume || now.money < known->money);
    if (!wentBack) {
      if (!zero) {
        return now;
      }
      continue;
    }
    agreeing = back && back->volume == now.volume && back->money == now.money ? agreeing + 1 : 1;
    back = now;
    if (agreeing >= (zero ? kTotalsAttempts : 2)) {
      Rebase(pump, *known, now, saleId);
      now.reset = true;
      return now;
    }
  }
  throw ESerialIO(kMessageCantGetState);
}

void LineWorker::Rebase(Pump& pump, const Totals& last, const Totals& now,
                        std::optional<std::int64_t> saleId) {
  journal_.SetLastTotals(pump.config.id, now);
  journal_.Raise(
      {.kind = "totals-reset",
       .pumpId = pump.config.id,
       .transactionId = saleId,
       .message = fmt::format("the counters of pump {} went back from {} volume and {} money "
                              "to {} and {}: the pump now counts from there",
                              pump.config.id, last.volume, last.money, now.volume, now.money),
       .details = nlohmann::json{{"volume_before", last.volume},
                                 {"money_before", last.money},
                                 {"volume_after", now.volume},
                                 {"money_after", now.money}}
                      .dump()});
  log_.Info("pump {}: ALERT totals reset, re-based on {} volume and {} money", pump.config.id,
            now.volume, now.money);
}

void LineWorker::CheckUnattended(Pump& pump, const Totals& now) {
  // A sale of this pump still held has moved the counters by its own fuel,
  // which the journal's last reading does not show yet.
  if (std::ranges::any_of(held_,
                          [&](const HeldWrite& w) { return w.txn.pumpId == pump.config.id; })) {
    return;
  }
  const auto last = journal_.LastTotals(pump.config.id);
  if (last && (last->volume != now.volume || last->money != now.money)) {
    const double volume = static_cast<double>(now.volume - last->volume) / now.scale;
    const double money = static_cast<double>(now.money - last->money) / now.scale;
    journal_.Raise({.kind = "unattended-delivery",
                    .pumpId = pump.config.id,
                    .message = "the counters of pump " + pump.config.id + " moved by " +
                               Figure(volume) + " volume and " + Figure(money) +
                               " money while no sale of ours ran",
                    .details = nlohmann::json{{"volume_before", last->volume},
                                              {"money_before", last->money},
                                              {"volume_after", now.volume},
                                              {"money_after", now.money}}
                                   .dump()});
    log_.Info("pump {}: ALERT unattended delivery of {} volume", pump.config.id, Figure(volume));
  }
  if (!last || last->volume != now.volume || last->money != now.money) {
    journal_.SetLastTotals(pump.config.id, now);
  }
}

// A transaction that an earlier run or an outage left open meets its pump
// again: the state poll tells whether the delivery still runs.
void LineWorker::Settle(Pump& pump) {
  Transaction& txn = *pump.active;
  const auto line = static_cast<std::int32_t>(lineNo_);
  // A fresh driver object knows no price; an F reply's thousands come from it.
  driver_->SetUnitPrice(line, pump.config.addr, txn.price);
  if (pump.raw == dispenser_state::kDelivering) {
    pump.settlePending = false;
    pump.settleSawIdle = false;
    pump.nextLiveUs = clock_.NowUs();
    if (txn.state == TxnState::kAuthorising) {
      Move(txn, TxnState::kAuthorised);
      txn.message = "start confirmed by the dispenser's state";
      Commit(txn);
    }
    log_.Info("pump {}: following transaction {} on", pump.config.id, txn.id);
    return;
  }
  // The delivery seems over. A reply that belonged to an earlier request
  // (a host killed with a reply on its way) could say so wrongly, and what
  // follows cannot be undone: a second poll must agree.
  if (!pump.settleSawIdle) {
    pump.settleSawIdle = true;
    return;
  }
  // The delivery is over and its final reading is gone: the counters tell
  // what it was.
  Totals after;
  try {
    after = ReadTotals(pump, false, txn.id);
  } catch (const ESerialIO&) {
    Failure(pump);
    return;
  }
  pump.settlePending = false;
  pump.settleSawIdle = false;
  // The pump lets go of the sale before anyone can see it settled.
  Transaction settled = std::move(*pump.active);
  pump.active.reset();
  pump.liveVolume = 0;
  pump.liveMoney = 0;
  Refresh();
  const std::optional<CounterDelta> moved = CountersMoved(settled, after);
  if (after.reset || !moved || moved->wentBack()) {
    // Neither a final reading nor counters to take it from: the sale keeps
    // the last live reading the journal holds.
    settled.totalsVolumeAfter = after.volume;
    settled.totalsMoneyAfter = after.money;
    Move(settled, settled.volume > 0 ? TxnState::kPayable : TxnState::kCancelled);
    settled.recovered = true;
    settled.reconciliation = Reconciliation::kNotReconcilable;
    settled.message =
        "final reading lost and the counters were reset: the last live reading stands";
    Commit(settled, after);
    return;
  }
  const std::int64_t volumeCounts = moved->volume;
  const std::int64_t moneyCounts = moved->money;
  settled.totalsVolumeAfter = after.volume;
  settled.totalsMoneyAfter = after.money;
  if (settled.state == TxnState::kAuthorising && volumeCounts == 0 && moneyCounts == 0) {
    Move(settled, TxnState::kFailed);
    settled.message = "the start was not confirmed before the service stopped, and nothing flowed";
    settled.reconciliation = Reconciliation::kOk;
  } else {
    settled.volume = RoundVolume(static_cast<double>(volumeCounts) / after.scale);
    settled.money = RoundMoney(static_cast<double>(moneyCounts) / after.scale);
    Move(settled, volumeCounts > 0 ? TxnState::kPayable : TxnState::kCancelled);
    settled.recovered = true;
    settled.reconciliation = Reconciliation::kRecovered;
    settled.message = "final reading lost; completed from the totaliser counters";
  }
  Commit(settled, after);
  log_.Info("pump {}: transaction {} recovered as {}: {} volume, {} money", pump.config.id,
            settled.id, Name(settled.state), Figure(settled.volume), Figure(settled.money));
}

void LineWorker::Follow(Pump& pump) {
  const auto line = static_cast<std::int32_t>(lineNo_);
  const std::uint64_t now = clock_.NowUs();
  pump.nextLiveUs = now + settings_.liveIntervalMs * kUsPerMs;
  double money = 0;
  double volume = 0;
  try {
    volume = driver_->ReadLive(line, pump.config.addr, money);
  } catch (const ESerialIO&) {
    Failure(pump);
    return;
  }
  if (driver_->GetLinkState(static_cast<std::uint8_t>(lineNo_)) != 1) {
    Failure(pump);  // refused reply: nothing new
    return;
  }
  const std::uint8_t code = driver_->PumpStateOf(line, pump.config.addr);
  Contact(pump, code);
  if (code != dispenser_state::kDelivering) {
    Finish(pump, volume, money);
    return;
  }
  const bool moved = volume != pump.liveVolume || money != pump.liveMoney;
  pump.liveVolume = volume;
  pump.liveMoney = money;
  if (pump.active) {
    Transaction& txn = *pump.active;
    if (txn.state == TxnState::kAuthorised && volume > 0) {
      Move(txn, TxnState::kFuelling);
      txn.volume = RoundVolume(volume);
      txn.money = RoundMoney(money);
      // The first fuel is a live reading with a state: a power cut that
      // takes it back leaves the sale authorised, which the restart
      // follows on or settles from the counters just the same.
      Commit(txn, std::nullopt, Sync::kWithNext);
      pump.lastJournalLiveUs = now;
    } else if (moved &&
               now - pump.lastJournalLiveUs >= settings_.journalLiveIntervalMs * kUsPerMs) {
      txn.volume = RoundVolume(volume);
      txn.money = RoundMoney(money);
      try {
        journal_.SaveLive(txn.id, txn.volume, txn.money);
      } catch (const DatabaseError&) {
        // A live value is only a guide; the final reading is what counts.
      }
      pump.lastJournalLiveUs = now;
    }
  }
  if (moved) {
    pump.livePending = true;
    PublishLive(pump);
  }
}

void LineWorker::PublishLive(Pump& pump) {
  const std::uint64_t now = clock_.NowUs();
  if (pump.lastLiveEventUs != 0 &&
      now - pump.lastLiveEventUs < settings_.liveEventIntervalMs * kUsPerMs) {
    return;
  }
  pump.lastLiveEventUs = now;
  pump.livePending = false;
  nlohmann::json data = {{"pump", pump.config.id},
                         {"volume", RoundVolume(pump.liveVolume)},
                         {"money", RoundMoney(pump.liveMoney)}};
  if (pump.active) {
    data["transaction"] = pump.active->id;
  }
  events_.Publish(EventKind::kLive, data.dump(), journal_.NowMsValue());
}

void LineWorker::Finish(Pump& pump, double volume, double money) {
  pump.liveVolume = volume;
  pump.liveMoney = money;
  pump.livePending = false;
  if (!pump.active) {
    journal_.Raise(
        {.kind = "unattended-delivery",
         .pumpId = pump.config.id,
         .message = "pump " + pump.config.id + " delivered " + Figure(volume) +
                    " volume that no sale of ours authorised",
         .details =
             nlohmann::json{{"volume", RoundVolume(volume)}, {"money", RoundMoney(money)}}.dump()});
    log_.Info("pump {}: ALERT unattended delivery of {} volume", pump.config.id, Figure(volume));
    // The counters have moved by it: take them as the pump's new reading,
    // so that the next sale does not report the same fuel again.
    try {
      journal_.SetLastTotals(pump.config.id, ReadTotals(pump, volume > 0));
    } catch (const ESerialIO&) {
      Failure(pump);
    }
    return;
  }
  // The pump is done with it whether or not the journal takes it now: the
  // reading is held until it does, and reconciled after.
  pump.reconcile = std::move(*pump.active);
  pump.active.reset();
  Transaction& txn = *pump.reconcile;
  txn.volume = RoundVolume(volume);
  txn.money = RoundMoney(money);
  Move(txn, volume > 0 ? TxnState::kPayable : TxnState::kCancelled);
  txn.reconciliation = Reconciliation::kPending;
  // The final reading and the counters after it go in one commit, one
  // sync, when the counters answer at once; else the reading goes alone
  // and is reconciled later. (Should the service die before the commit,
  // the restart completes the sale from the counters.) A command waiting
  // goes first: a stop must not wait for the counters.
  std::optional<Totals> after;
  if (held_.empty() && !CommandWaiting()) {
    try {
      after = ReadTotals(pump, txn.volume > 0, txn.id);
    } catch (const ESerialIO&) {
      Failure(pump);
    } catch (const DatabaseError& e) {
      JournalFailed(e);  // a re-basing not written: the reading goes first
    }
  }
  std::optional<Alert> mismatch;
  if (after) {
    mismatch = Judge(pump, txn, *after);
    pump.nextPollUs = clock_.NowUs();
  }
  if (settings_.beforeFinalCommit) {
    settings_.beforeFinalCommit(pump.config.id);
  }
  // The pump lets go of the sale before anyone can see it payable.
  Refresh();
  Commit(txn, after);
  log_.Info("pump {}: transaction {} {}: {} volume, {} money", pump.config.id, txn.id,
            Name(txn.state), Figure(txn.volume), Figure(txn.money));
  if (after) {
    pump.reconcile.reset();
    if (mismatch) {
      journal_.Raise(std::move(*mismatch));
    }
  }
}

void LineWorker::Reconcile(Pump& pump) {
  Transaction& txn = *pump.reconcile;
  if (Held(txn.id)) {
    // Its final reading first; the pump is polled meanwhile.
    pump.nextPollUs = std::max(pump.nextPollUs, heldRetryUs_);
    return;
  }
  Totals after;
  try {
    after = ReadTotals(pump, txn.volume > 0, txn.id);
  } catch (const ESerialIO&) {
    Failure(pump);
    return;
  }
  pump.nextPollUs = clock_.NowUs();
  const std::optional<Alert> mismatch = Judge(pump, txn, after);
  // The sale's state is left to the clients that may be paying it by now.
  journal_.SaveReconciliation(txn);
  if (mismatch) {
    journal_.Raise(*mismatch);
  }
  pump.reconcile.reset();
}

std::optional<Alert> LineWorker::Judge(Pump& pump, Transaction& txn, const Totals& after) {
  txn.totalsVolumeAfter = after.volume;
  txn.totalsMoneyAfter = after.money;
  const std::optional<CounterDelta> moved = CountersMoved(txn, after);
  if (after.reset || (moved && moved->wentBack())) {
    // The counters went back across the sale: the final reading stands
    // alone (the totals-reset alert tells a person).
    txn.reconciliation = Reconciliation::kNotReconcilable;
    return std::nullopt;
  }
  // The counters agree when they differ from the final reading by less
  // than one of their own units. Without a reading before the sale they
  // tell nothing, and cannot agree.
  const double volumeByCounters = moved ? static_cast<double>(moved->volume) / after.scale : 0;
  const double moneyByCounters = moved ? static_cast<double>(moved->money) / after.scale : 0;
  const double tolerance = (1.0 - 1e-6) / after.scale;
  const bool agree = moved && std::abs(volumeByCounters - txn.volume) < tolerance &&
                     std::abs(moneyByCounters - txn.money) < tolerance;
  txn.reconciliation = agree ? Reconciliation::kOk : Reconciliation::kMismatch;
  if (agree) {
    return std::nullopt;
  }
  log_.Info("pump {}: ALERT totals mismatch on transaction {}", pump.config.id, txn.id);
  return Alert{.kind = "totals-mismatch",
               .pumpId = pump.config.id,
               .transactionId = txn.id,
               .message = "pump " + pump.config.id + " sale " + std::to_string(txn.id) +
                          ": the counters moved by " + Figure(volumeByCounters) + " volume and " +
                          Figure(moneyByCounters) + " money, the sale is " + Figure(txn.volume) +
                          " and " + Figure(txn.money),
               .details = nlohmann::json{{"sale_volume", txn.volume},
                                         {"sale_money", txn.money},
                                         {"counters_volume", volumeByCounters},
                                         {"counters_money", moneyByCounters}}
                              .dump()};
}

// --- Commands

Outcome LineWorker::Execute(const Command& command) {
  if (command.kind == Command::Kind::kAuthorise) {
    return Authorise(command.authorise);
  }
  Pump* pump = Find(command.pumpId);
  if (pump == nullptr) {
    return Outcome::Refused("unknown-pump", "no pump '" + command.pumpId + "'");
  }
  if (command.kind == Command::Kind::kSetPrice) {
    return SetPrice(*pump, command.price, command.actor);
  }
  // A stop is always tried: a pump marked offline may be delivering still.
  if (command.kind == Command::Kind::kStop) {
    return StopPump(*pump);
  }
  if (!pump->online) {
    return Outcome::Refused("pump-offline", "pump " + pump->config.id + " is offline");
  }
  switch (command.kind) {
    case Command::Kind::kReadTotals:
      return ReadTotalsNow(*pump);
    case Command::Kind::kReadParam:
    case Command::Kind::kWriteParam:
      return Parameter(*pump, command);
    default:
      return Outcome::Refused("bad-command", "unknown command");
  }
}

Outcome ByReference(Transaction existing, const AuthoriseRequest& request) {
  const Limit& limit = PresetLimit(existing.presetKind);
  if (existing.pumpId != request.pumpId || existing.presetKind != request.kind ||
      OnStep(request.preset, limit).steps != OnStep(existing.preset, limit).steps) {
    return Outcome::Refused(
        "reference-conflict",
        fmt::format("reference '{}' of client '{}' belongs to sale {}: pump {}, {} preset {}",
                    request.reference.value_or(""), request.client, existing.id, existing.pumpId,
                    Name(existing.presetKind), existing.preset));
  }
  Outcome outcome;
  outcome.transaction = std::move(existing);
  outcome.existing = true;
  return outcome;
}

Outcome LineWorker::Authorise(const AuthoriseRequest& request) {
  // A retry is answered before anything is asked of the dispenser.
  if (request.reference) {
    if (auto existing = journal_.FindByReference(request.client, *request.reference)) {
      return ByReference(std::move(*existing), request);
    }
  }
  Pump* found = Find(request.pumpId);
  if (found == nullptr) {
    return Outcome::Refused("unknown-pump", "no pump '" + request.pumpId + "'");
  }
  Pump& pump = *found;
  const auto line = static_cast<std::int32_t>(lineNo_);
  const std::string& id = pump.config.id;
  if (!pump.online) {
    return Outcome::Refused("pump-offline", pump.Connecting()
                                                ? "pump " + id + " has not answered yet"
                                                : "pump " + id + " is offline");
  }
  if (pump.active || pump.settlePending ||
      driver_->PumpStateOf(line, pump.config.addr) == dispenser_state::kDelivering) {
    return Outcome::Refused("pump-busy", "pump " + id + " is already authorised or delivering");
  }
  if (pump.reconcile) {
    return Outcome::Refused("pump-busy", "pump " + id + " is still settling its last sale");
  }
  // No sale starts that the journal could not record.
  if (journal_.Failing() || !held_.empty()) {
    return Outcome::Refused("journal-error",
                            "the journal takes no writes: " +
                                journal_.Failure().value_or("earlier changes are still held"));
  }
  if (journal_.UnpaidCount(id) >= settings_.maxUnpaid) {
    return Outcome::Refused(
        "too-many-unpaid",
        "pump " + id + " has " + std::to_string(settings_.maxUnpaid) + " sales not yet paid");
  }
  // The dispenser gets exactly the values recorded: off its steps, refused.
  const Limit& presetLimit = PresetLimit(request.kind);
  const Checked presetSteps = OnStep(request.preset, presetLimit);
  if (!presetSteps.steps) {
    return Outcome::Refused("bad-preset", presetSteps.message);
  }
  const double preset = ValueOf(*presetSteps.steps, presetLimit);
  const std::optional<double> asked = request.price ? request.price : pump.price;
  if (!asked) {
    return Outcome::Refused("no-price", "pump " + id + " has no unit price; give one");
  }
  const Checked priceSteps = OnStep(*asked, kPriceLimit);
  if (!priceSteps.steps) {
    return Outcome::Refused("bad-price", priceSteps.message);
  }
  const double price = ValueOf(*priceSteps.steps, kPriceLimit);
  try {
    driver_->SetUnitPrice(line, pump.config.addr, price);
    if (request.kind == PresetKind::kVolume) {
      driver_->SetDoseVolume(line, pump.config.addr, preset);
    } else {
      driver_->SetDoseMoney(line, pump.config.addr, preset);
    }
  } catch (const ERangeError& e) {
    // Not reached with amounts on the steps above; kept so that no range
    // error of the driver ends the worker.
    return Outcome::Refused("bad-preset", "the driver refused the preset or the price",
                            trace::Cp1251ToUtf8(e.what()));
  }
  Totals before;
  try {
    before = ReadTotals(pump);
  } catch (const ESerialIO& e) {
    Failure(pump);
    return Outcome::Refused("dispenser-unreachable",
                            "pump " + id + " did not give its counters before the start",
                            trace::Cp1251ToUtf8(e.what()));
  }
  CheckUnattended(pump, before);

  Transaction txn;
  txn.pumpId = id;
  txn.client = request.client;
  txn.reference = request.reference;
  txn.presetKind = request.kind;
  txn.preset = preset;
  txn.price = price;
  // A price given with the request belongs to no set, whatever its value.
  txn.priceSetId = request.price ? std::nullopt : pump.priceSetId;
  txn.fallback = request.fallback;
  txn.state = TxnState::kAuthorising;
  txn.totalsVolumeBefore = before.volume;
  txn.totalsMoneyBefore = before.money;
  // Another line may have taken the same reference a moment ago.
  if (auto existing = journal_.InsertOrGet(txn)) {
    return ByReference(std::move(*existing), request);
  }
  bool started = false;
  std::string failure;
  try {
    driver_->StartPump(line, pump.config.addr, pump.config.startMode);
    started = true;
  } catch (const ESerialIO& e) {
    failure = trace::Cp1251ToUtf8(e.what());
    // The start may have been carried out with its answer lost: ask.
    try {
      const std::uint16_t state =
          driver_->PollState(static_cast<std::uint8_t>(lineNo_), pump.config.addr);
      started = state == dispenser_state::kDelivering;
    } catch (const ESerialIO&) {
      // Unknown: the transaction settles when the pump answers again.
      pump.active = txn;
      Failure(pump);
      pump.settlePending = true;
      Outcome outcome = Outcome::Refused("dispenser-unreachable",
                                         "pump " + id + " did not answer the start", failure);
      outcome.transaction = txn;
      return outcome;
    }
  }
  if (!started) {
    Move(txn, TxnState::kFailed);
    txn.message = "the dispenser refused the start: " + failure;
    Commit(txn);
    log_.Info("pump {}: transaction {} failed: {}", id, txn.id, failure);
    Outcome outcome =
        Outcome::Refused("dispenser-refused", "pump " + id + " refused the start", failure);
    outcome.transaction = txn;
    return outcome;
  }
  // The pump is ours before anything else can fail: a write that fails now
  // leaves the sale held, never a started pump that nobody follows.
  Move(txn, TxnState::kAuthorised);
  pump.active = txn;
  pump.liveVolume = 0;
  pump.liveMoney = 0;
  pump.raw = dispenser_state::kDelivering;
  pump.nextLiveUs = clock_.NowUs();
  pump.lastJournalLiveUs = clock_.NowUs();
  Commit(*pump.active);
  txn = *pump.active;
  log_.Info("pump {}: transaction {} authorised for {} {} at {}", id, txn.id, Figure(preset),
            Name(request.kind), Figure(price));
  Outcome outcome;
  outcome.transaction = std::move(txn);
  return outcome;
}

Outcome LineWorker::StopPump(Pump& pump) {
  try {
    driver_->StopPump(static_cast<std::int32_t>(lineNo_), pump.config.addr);
  } catch (const ESerialIO& e) {
    // No answer to the stop: the line could not carry it.
    return Outcome::Refused("dispenser-unreachable",
                            "pump " + pump.config.id + " did not answer the stop",
                            trace::Cp1251ToUtf8(e.what()));
  }
  log_.Info("pump {}: stopped", pump.config.id);
  pump.nextLiveUs = clock_.NowUs();
  Outcome outcome;
  outcome.transaction = pump.active;
  outcome.delivering = pump.active.has_value() ||
                       driver_->PumpStateOf(static_cast<std::int32_t>(lineNo_), pump.config.addr) ==
                           dispenser_state::kDelivering;
  return outcome;
}

Outcome LineWorker::SetPrice(Pump& pump, double asked, const std::string& actor) {
  const Checked steps = OnStep(asked, kPriceLimit);
  if (!steps.steps) {
    return Outcome::Refused("bad-price", steps.message);
  }
  const double price = ValueOf(*steps.steps, kPriceLimit);
  std::optional<AuditRecord> audit = std::move(audit_);
  audit_.reset();
  journal_.SetPumpPrice(pump.config.id, price, actor, audit ? &*audit : nullptr);
  pump.price = price;
  pump.priceSetId.reset();
  pump.publishedOnce = false;  // the price is part of the pump's event
  return {};
}

void LineWorker::AuthoriseFallback() {
  if (fallback_ == nullptr || !fallback_->Active()) {
    return;
  }
  const std::uint64_t now = clock_.NowUs();
  for (auto& p : pumps_) {
    Pump& pump = *p;
    if (pump.config.fallback != FallbackMode::kAuto || !pump.online ||
        pump.raw != dispenser_state::kCalling || pump.active || pump.reconcile ||
        pump.settlePending || now < pump.nextFallbackUs) {
      continue;
    }
    pump.nextFallbackUs = now + kFallbackRetryUs;
    const std::string& id = pump.config.id;
    audit_ = AuditRecord{.actor = "fallback",
                         .kind = "authorise",
                         .method = "FALLBACK",
                         .path = "/api/v1/pumps/" + id + "/authorize",
                         .body = {{Name(pump.config.fallbackKind), pump.config.fallbackPreset}}};
    const Outcome outcome = Authorise({.pumpId = id,
                                       .kind = pump.config.fallbackKind,
                                       .preset = pump.config.fallbackPreset,
                                       .client = "fallback",
                                       .fallback = true});
    AuditOutcome(outcome);
    log_.Info("pump {}: fallback authorisation: {}", id,
              outcome.Ok() ? "sale " + std::to_string(outcome.transaction->id) : outcome.message);
    Refresh();
    return;  // one at a time: the line's other work goes on between them
  }
}

void LineWorker::ApplyDuePrices() {
  const std::uint64_t now = clock_.NowUs();
  if (now < nextPriceCheckUs_ || !journal_.PriceChangeDue(journal_.NowMsValue())) {
    return;
  }
  nextPriceCheckUs_ = now + kPriceCheckUs;
  for (const DuePrice& due : journal_.DuePrices(journal_.NowMsValue())) {
    Pump* pump = Find(due.pumpId);
    // A pump in a sale keeps the sale's price until the sale is over; an
    // offline one takes the price when it answers again.
    if (pump == nullptr || !pump->online || pump->active || pump->settlePending ||
        pump->raw == dispenser_state::kDelivering) {
      continue;
    }
    if (journal_.ApplyPrice(due, pump->price)) {
      log_.Info("pump {}: price {} from price set {}", pump->config.id, Figure(due.price),
                due.setId);
      pump->price = due.price;
      pump->priceSetId = due.setId;
      pump->publishedOnce = false;
    }
  }
}

Outcome LineWorker::ReadTotalsNow(Pump& pump) {
  try {
    Outcome outcome;
    outcome.totals = ReadTotals(pump);
    return outcome;
  } catch (const ESerialIO& e) {
    return Outcome::Refused("dispenser-refused",
                            "pump " + pump.config.id + " gave no sound counters",
                            trace::Cp1251ToUtf8(e.what()));
  }
}

Outcome LineWorker::Parameter(Pump& pump, const Command& command) {
  if (command.param < 0 || command.param > 99 ||
      (command.kind == Command::Kind::kWriteParam && (command.value < 0 || command.value > 9))) {
    return Outcome::Refused("bad-parameter", "parameters are 0..99, written values 0..9");
  }
  const auto line = static_cast<std::int32_t>(lineNo_);
  try {
    Outcome outcome;
    if (command.kind == Command::Kind::kReadParam) {
      outcome.parameter = driver_->ReadParam(line, pump.config.addr, command.param);
    } else {
      driver_->WriteParam(line, pump.config.addr, command.param, command.value);
      if (driver_->GetLinkState(static_cast<std::uint8_t>(lineNo_)) != 1) {
        return Outcome::Refused("dispenser-refused", "the dispenser did not confirm the write");
      }
    }
    return outcome;
  } catch (const ESerialIO& e) {
    return Outcome::Refused("dispenser-refused",
                            "pump " + pump.config.id + " did not carry out the parameter command",
                            trace::Cp1251ToUtf8(e.what()));
  }
}

// --- What the other threads see

void LineWorker::Changed(Pump& pump) {
  const PumpState state = pump.State();
  if (pump.publishedOnce && state == pump.published && pump.raw == pump.publishedRaw) {
    return;
  }
  pump.published = state;
  pump.publishedRaw = pump.raw;
  pump.publishedOnce = true;
  nlohmann::json data = {{"pump", pump.config.id},
                         {"state", Name(state)},
                         {"state_code", pump.raw},
                         {"online", pump.online},
                         {"price", pump.price ? nlohmann::json(*pump.price) : nullptr}};
  events_.Publish(EventKind::kPump, data.dump(), journal_.NowMsValue());
}

void LineWorker::Refresh() {
  std::vector<PumpSnapshot> snapshots;
  snapshots.reserve(pumps_.size());
  for (auto& pump : pumps_) {
    snapshots.push_back(
        {.id = pump->config.id,
         .name = pump->config.name,
         .line = lineNo_,
         .addr = pump->config.addr,
         .state = pump->State(),
         .rawState = pump->raw,
         .online = pump->online,
         .price = pump->price,
         .liveVolume = pump->liveVolume,
         .liveMoney = pump->liveMoney,
         .transactionId = pump->active ? std::optional(pump->active->id) : std::nullopt,
         .stateAgeUs = pump->contacted ? std::optional(pump->lastContactUs) : std::nullopt});
  }
  {
    std::lock_guard lock(mutex_);
    snapshots_ = std::move(snapshots);
  }
  // Events after the snapshots: a client that reads the pumps on an event
  // finds them at least as new as the event.
  for (auto& pump : pumps_) {
    Changed(*pump);
  }
}

std::vector<PumpSnapshot> LineWorker::Snapshots() const {
  std::vector<PumpSnapshot> out;
  {
    std::lock_guard lock(mutex_);
    out = snapshots_;
  }
  const std::uint64_t now = clock_.NowUs();
  for (PumpSnapshot& s : out) {
    if (s.stateAgeUs) {
      s.stateAgeUs = now - std::min(now, *s.stateAgeUs);  // stored as the time of contact
    }
    s.unpaid = journal_.UnpaidCount(s.id);
  }
  return out;
}

}  // namespace tarvenix::forecourt
