#include "forecourt/line_worker.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

#include "forecourt/json.hpp"
#include "forecourt/thread_name.hpp"

namespace tarvenix::forecourt {
namespace {

constexpr std::uint64_t kUsPerMs = 1000;
constexpr std::uint64_t kIdleWaitUs = 1'000'000;
constexpr int kTotalsAttempts = 3;
constexpr std::uint64_t kQuietLineUs = 200'000;
// How long an authorisation waits for a pump that has not answered since
// the service started; well inside the HTTP interface's command timeout.
constexpr std::uint64_t kFirstAnswerWaitUs = 10'000'000;
// How far commands may run ahead of the pumps' turns in the line's time.
constexpr std::int64_t kCommandLeadUs = 300'000;
constexpr std::uint64_t kLeastCommandUs = 10'000;
// The start command carries four digits of each figure: the price in
// hundredths, the volume dose in tenths, the money dose in whole units.
// A larger value would lose its upper digits on the way.
constexpr double kMaxStartField = 9999;

std::string Figure(double value) {
  return fmt::format("{:.3f}", value);
}

}  // namespace

struct LineWorker::Pump {
  PumpConfig config;
  std::optional<double> price;
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

LineWorker::LineWorker(std::uint32_t lineNo, TComLink& link, sim::Clock& clock,
                       const std::vector<PumpConfig>& pumps, const Settings& settings,
                       Journal& journal, EventRing& events, Log& log)
    : lineNo_(lineNo),
      clock_(clock),
      settings_(settings),
      journal_(journal),
      events_(events),
      log_(log),
      driver_(std::make_unique<TVM30>(link, 0, sim::SleeperOn(clock))) {
  for (const PumpConfig& config : pumps) {
    auto pump = std::make_unique<Pump>();
    pump->config = config;
    pump->price = journal_.PumpPrice(config.id);
    if (!pump->price) {
      pump->price = config.price;
    }
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
  }
  thread_ = std::thread([this] {
    NameThisThread("tvx-line-" + std::to_string(lineNo_));
    Run();
  });
}

void LineWorker::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) {
    thread_.join();
  }
  std::deque<Queued> refused;
  {
    std::lock_guard lock(mutex_);
    refused.swap(queue_);
  }
  for (Waiting& w : waiting_) {
    refused.push_back(std::move(w.queued));
  }
  waiting_.clear();
  if (held_) {
    refused.push_back(std::move(*held_));
    held_.reset();
  }
  for (Queued& q : refused) {
    q.promise.set_value(Outcome::Refused("stopping", "the service is stopping"));
  }
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

std::future<Outcome> LineWorker::Submit(Command command) {
  std::promise<Outcome> promise;
  std::future<Outcome> future = promise.get_future();
  {
    std::lock_guard lock(mutex_);
    if (stopping_ && threaded_) {
      promise.set_value(Outcome::Refused("stopping", "the service is stopping"));
      return future;
    }
    queue_.push_back({std::move(command), std::move(promise)});
  }
  wake_.notify_all();
  return future;
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
    if (held_ && held_->command.kind == Command::Kind::kAuthorise &&
        held_->command.authorise.pumpId == pumpId) {
      overtaken.push_back(std::move(*held_));
      held_.reset();
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
      q.promise.set_value(Outcome::Refused(
          "pump-busy", "a stop of pump " + pumpId + " came before the authorisation was sent"));
    }
    return stop;
  }
  if (held_) {
    std::optional<Queued> q = std::move(held_);
    held_.reset();
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
  try {
    outcome = Execute(queued.command);
  } catch (const DatabaseError& e) {
    log_.Info("line {}: journal error: {}", lineNo_, e.what());
    outcome = Outcome::Refused("journal-error", e.what());
  }
  Refresh();
  queued.promise.set_value(std::move(outcome));
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
              FromWindows1251(e.what()));
  }
  std::lock_guard lock(mutex_);
  opened_ = true;
}

void LineWorker::Step() {
  OpenIfDue();
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
    held_ = std::move(command);
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
  held_ = std::move(command);
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
  if (!threaded_ || dynamic_cast<sim::ManualClock*>(&clock_) != nullptr) {
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

Totals LineWorker::ReadTotals(Pump& pump, bool expectMovement) {
  // ReadTotals starts from zero counters and returns them as they are when
  // the T reply was refused: a zero reading is only believed where zero is
  // possible, and then only when a second reading confirms it.
  const auto known = journal_.LastTotals(pump.config.id);
  const bool zeroPossible =
      !expectMovement && (!known || (known->volume == 0 && known->money == 0));
  int zeros = 0;
  for (int attempt = 0; attempt < kTotalsAttempts; ++attempt) {
    double volume = 0;
    double money = 0;
    driver_->ReadTotals(static_cast<std::int32_t>(lineNo_), pump.config.addr,
                        pump.config.totalsSelector, volume, money);
    if (volume != 0 || money != 0 || (zeroPossible && ++zeros == 2)) {
      return {.volume = std::llround(volume),
              .money = std::llround(money),
              .scale = pump.config.totalsScale};
    }
  }
  throw ESerialIO(kMessageCantGetState);
}

void LineWorker::CheckUnattended(Pump& pump, const Totals& now) {
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
      txn.state = TxnState::kAuthorised;
      txn.message = "start confirmed by the dispenser's state";
      journal_.Save(txn);
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
    after = ReadTotals(pump);
  } catch (const ESerialIO&) {
    Failure(pump);
    return;
  }
  pump.settlePending = false;
  pump.settleSawIdle = false;
  Transaction settled = std::move(*pump.active);
  pump.active.reset();
  pump.liveVolume = 0;
  pump.liveMoney = 0;
  const std::int64_t volumeCounts =
      after.volume - settled.totalsVolumeBefore.value_or(after.volume);
  const std::int64_t moneyCounts = after.money - settled.totalsMoneyBefore.value_or(after.money);
  settled.totalsVolumeAfter = after.volume;
  settled.totalsMoneyAfter = after.money;
  if (settled.state == TxnState::kAuthorising && volumeCounts == 0 && moneyCounts == 0) {
    settled.state = TxnState::kFailed;
    settled.message = "the start was not confirmed before the service stopped, and nothing flowed";
    settled.reconciliation = Reconciliation::kOk;
  } else {
    settled.volume = RoundVolume(static_cast<double>(volumeCounts) / after.scale);
    settled.money = RoundMoney(static_cast<double>(moneyCounts) / after.scale);
    settled.state = volumeCounts > 0 ? TxnState::kPayable : TxnState::kCancelled;
    settled.recovered = true;
    settled.reconciliation = Reconciliation::kRecovered;
    settled.message = "final reading lost; completed from the totaliser counters";
  }
  // As in Finish: the pump lets go of the sale before it is settled.
  Refresh();
  journal_.Save(settled, after);
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
      txn.state = TxnState::kFuelling;
      txn.volume = RoundVolume(volume);
      txn.money = RoundMoney(money);
      journal_.Save(txn);
      pump.lastJournalLiveUs = now;
    } else if (moved &&
               now - pump.lastJournalLiveUs >= settings_.journalLiveIntervalMs * kUsPerMs) {
      txn.volume = RoundVolume(volume);
      txn.money = RoundMoney(money);
      journal_.SaveLive(txn.id, txn.volume, txn.money);
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
  // The final reading exists nowhere but here: commit it before anything
  // else is asked of the dispenser.
  if (settings_.beforeFinalCommit) {
    settings_.beforeFinalCommit(pump.config.id);
  }
  pump.reconcile = std::move(pump.active);
  pump.active.reset();
  Transaction& txn = *pump.reconcile;
  txn.volume = RoundVolume(volume);
  txn.money = RoundMoney(money);
  txn.state = volume > 0 ? TxnState::kPayable : TxnState::kCancelled;
  txn.reconciliation = Reconciliation::kPending;
  // The pump lets go of the sale before anyone can see it payable.
  Refresh();
  journal_.Save(txn);
  log_.Info("pump {}: transaction {} {}: {} volume, {} money", pump.config.id, txn.id,
            Name(txn.state), Figure(txn.volume), Figure(txn.money));
  // Its counters are read next, after any command that waits.
  pump.nextPollUs = clock_.NowUs();
}

void LineWorker::Reconcile(Pump& pump) {
  Transaction& txn = *pump.reconcile;
  Totals after;
  try {
    after = ReadTotals(pump, txn.volume > 0);
  } catch (const ESerialIO&) {
    Failure(pump);
    return;
  }
  pump.nextPollUs = clock_.NowUs();
  txn.totalsVolumeAfter = after.volume;
  txn.totalsMoneyAfter = after.money;
  // The counters agree when they differ from the final reading by less
  // than one of their own units.
  const double volumeByCounters =
      static_cast<double>(after.volume - txn.totalsVolumeBefore.value_or(0)) / after.scale;
  const double moneyByCounters =
      static_cast<double>(after.money - txn.totalsMoneyBefore.value_or(0)) / after.scale;
  const double tolerance = (1.0 - 1e-6) / after.scale;
  const bool agree = txn.totalsVolumeBefore && txn.totalsMoneyBefore &&
                     std::abs(volumeByCounters - txn.volume) < tolerance &&
                     std::abs(moneyByCounters - txn.money) < tolerance;
  txn.reconciliation = agree ? Reconciliation::kOk : Reconciliation::kMismatch;
  journal_.SaveReconciliation(txn);
  if (!agree) {
    journal_.Raise({.kind = "totals-mismatch",
                    .pumpId = pump.config.id,
                    .transactionId = txn.id,
                    .message = "pump " + pump.config.id + " sale " + std::to_string(txn.id) +
                               ": the counters moved by " + Figure(volumeByCounters) +
                               " volume and " + Figure(moneyByCounters) + " money, the sale is " +
                               Figure(txn.volume) + " and " + Figure(txn.money),
                    .details = nlohmann::json{{"sale_volume", txn.volume},
                                              {"sale_money", txn.money},
                                              {"counters_volume", volumeByCounters},
                                              {"counters_money", moneyByCounters}}
                                   .dump()});
    log_.Info("pump {}: ALERT totals mismatch on transaction {}", pump.config.id, txn.id);
  }
  pump.reconcile.reset();
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
    return SetPrice(*pump, command.price);
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

std::optional<Outcome> LineWorker::Retried(const AuthoriseRequest& request) {
  if (!request.reference) {
    return std::nullopt;
  }
  auto existing = journal_.FindByReference(request.client, *request.reference);
  if (!existing) {
    return std::nullopt;
  }
  Outcome outcome;
  outcome.transaction = std::move(existing);
  outcome.existing = true;
  return outcome;
}

Outcome LineWorker::Authorise(const AuthoriseRequest& request) {
  if (auto retried = Retried(request)) {
    return std::move(*retried);
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
  if (journal_.UnpaidCount(id) >= settings_.maxUnpaid) {
    return Outcome::Refused(
        "too-many-unpaid",
        "pump " + id + " has " + std::to_string(settings_.maxUnpaid) + " sales not yet paid");
  }
  const double preset = request.preset;
  const double scale = request.kind == PresetKind::kVolume ? 10.0 : 1.0;
  if (!(preset > 0) || !std::isfinite(preset)) {
    return Outcome::Refused("bad-preset", "the preset must be above 0");
  }
  // A dose that rounds to 0 would start an unlimited delivery.
  if (std::nearbyint(preset * scale) < 1) {
    return Outcome::Refused("bad-preset", "the preset is below the dispenser's smallest step");
  }
  if (std::nearbyint(preset * scale) > kMaxStartField) {
    return Outcome::Refused("bad-preset", "the preset is above what the dispenser can take (" +
                                              Figure(kMaxStartField / scale) + ")");
  }
  const std::optional<double> price = request.price ? request.price : pump.price;
  if (!price) {
    return Outcome::Refused("no-price", "pump " + id + " has no unit price; give one");
  }
  if (!(*price > 0) || !std::isfinite(*price) || std::nearbyint(*price * 100) > kMaxStartField ||
      std::nearbyint(*price * 100) < 1) {
    return Outcome::Refused("bad-price", "the unit price must lie in 0.01..99.99");
  }
  try {
    driver_->SetUnitPrice(line, pump.config.addr, *price);
    if (request.kind == PresetKind::kVolume) {
      driver_->SetDoseVolume(line, pump.config.addr, preset);
    } else {
      driver_->SetDoseMoney(line, pump.config.addr, preset);
    }
  } catch (const ERangeError& e) {
    return Outcome::Refused("bad-preset", e.what());
  }
  Totals before;
  try {
    before = ReadTotals(pump);
  } catch (const ESerialIO& e) {
    Failure(pump);
    return Outcome::Refused("dispenser-unreachable", FromWindows1251(e.what()));
  }
  CheckUnattended(pump, before);

  Transaction txn;
  txn.pumpId = id;
  txn.client = request.client;
  txn.reference = request.reference;
  txn.presetKind = request.kind;
  txn.preset = preset;
  txn.price = *price;
  txn.state = TxnState::kAuthorising;
  txn.totalsVolumeBefore = before.volume;
  txn.totalsMoneyBefore = before.money;
  try {
    journal_.Insert(txn);
  } catch (const DatabaseError&) {
    // Another line took the same reference a moment ago.
    if (auto retried = Retried(request)) {
      return std::move(*retried);
    }
    throw;
  }
  bool started = false;
  std::string failure;
  try {
    driver_->StartPump(line, pump.config.addr, pump.config.startMode);
    started = true;
  } catch (const ESerialIO& e) {
    failure = FromWindows1251(e.what());
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
      Outcome outcome = Outcome::Refused("dispenser-unreachable", failure);
      outcome.transaction = txn;
      return outcome;
    }
  }
  if (!started) {
    txn.state = TxnState::kFailed;
    txn.message = failure;
    journal_.Save(txn);
    log_.Info("pump {}: transaction {} failed: {}", id, txn.id, failure);
    Outcome outcome = Outcome::Refused("dispenser-refused", failure);
    outcome.transaction = txn;
    return outcome;
  }
  txn.state = TxnState::kAuthorised;
  journal_.Save(txn);
  log_.Info("pump {}: transaction {} authorised for {} {} at {}", id, txn.id, Figure(preset),
            Name(request.kind), Figure(*price));
  pump.active = txn;
  pump.liveVolume = 0;
  pump.liveMoney = 0;
  pump.raw = dispenser_state::kDelivering;
  pump.nextLiveUs = clock_.NowUs();
  pump.lastJournalLiveUs = clock_.NowUs();
  Outcome outcome;
  outcome.transaction = std::move(txn);
  return outcome;
}

Outcome LineWorker::StopPump(Pump& pump) {
  try {
    driver_->StopPump(static_cast<std::int32_t>(lineNo_), pump.config.addr);
  } catch (const ESerialIO& e) {
    return Outcome::Refused("dispenser-refused", FromWindows1251(e.what()));
  }
  log_.Info("pump {}: stopped", pump.config.id);
  pump.nextLiveUs = clock_.NowUs();
  Outcome outcome;
  outcome.transaction = pump.active;
  return outcome;
}

Outcome LineWorker::SetPrice(Pump& pump, double price) {
  if (!(price > 0) || !std::isfinite(price) || std::nearbyint(price * 100) > kMaxStartField) {
    return Outcome::Refused("bad-price", "the unit price must lie in 0.01..99.99");
  }
  journal_.SetPumpPrice(pump.config.id, price);
  pump.price = price;
  pump.publishedOnce = false;  // the price is part of the pump's event
  return {};
}

Outcome LineWorker::ReadTotalsNow(Pump& pump) {
  try {
    Outcome outcome;
    outcome.totals = ReadTotals(pump);
    return outcome;
  } catch (const ESerialIO& e) {
    return Outcome::Refused("dispenser-refused", FromWindows1251(e.what()));
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
    return Outcome::Refused("dispenser-refused", FromWindows1251(e.what()));
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
    Changed(*pump);
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
  std::lock_guard lock(mutex_);
  snapshots_ = std::move(snapshots);
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
