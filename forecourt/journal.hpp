// The journal: the service's SQLite database of pumps, transactions,
// alerts and shifts. WAL mode with synchronous=FULL: a change is on the disk when its
// call returns, and only then published as an event, so no client ever sees
// a state that a power cut could take back. Thread-safe: one writing
// connection behind a mutex, and a read-only one for the readers.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "forecourt/audit.hpp"
#include "forecourt/database.hpp"
#include "forecourt/events.hpp"
#include "forecourt/model.hpp"
#include "forecourt/prices.hpp"
#include "forecourt/shifts.hpp"

namespace tarvenix::forecourt {

// The newest schema this build writes; older journals are migrated.
inline constexpr std::int64_t kSchemaVersion = 6;

struct TransactionFilter {
  std::optional<TxnState> state;
  std::optional<std::string> pumpId;
  std::optional<std::int64_t> sinceMs;
  bool recoveredOnly = false;  // taken over from an earlier run
  std::size_t limit = 100;
  std::size_t offset = 0;  // rows skipped, newest first: the next page
};

// When a commit reaches the disk: synced before it is published (every
// change a client acts on), or with the next synced commit (a change that a
// power cut may take back because the restart settles the sale from the
// counters whatever it held: a live reading, a sale's first fuel).
enum class Sync { kNow, kWithNext };

class Journal {
 public:
  using NowMs = std::function<std::int64_t()>;

  // Opens or creates the journal and brings its schema up to date; raises
  // DatabaseError when it cannot, or when the journal is newer than this
  // build. Events go to `events`, numbered after those of earlier runs.
  Journal(const std::string& path, EventRing& events, NowMs nowMs);

  std::int64_t NowMsValue() const { return nowMs_(); }

  // --- Faults
  // Whether the last write failed: until one succeeds, the service takes no
  // new sale. A failed write raises DatabaseError to its caller as always.
  bool Failing() const { return failing_.load(); }
  // What the last failed write said, while failing.
  std::optional<std::string> Failure() const;
  // Tries a small write, for a journal that is failing and has nothing else
  // to write; true when it went through.
  bool Probe();

  // --- Pumps
  // Records a pump's configuration (committed before the pump is used).
  void SavePump(const PumpConfig& pump, std::uint32_t line);
  std::optional<double> PumpPrice(const std::string& pumpId);
  // The price set the pump's price came from; empty when it was set directly.
  std::optional<std::int64_t> PumpPriceSet(const std::string& pumpId);
  // Sets the pump's own price (no set), with its price log entry and, when
  // given, the command's audit record, in one commit.
  void SetPumpPrice(const std::string& pumpId, double price, const std::string& actor = "local",
                    AuditRecord* audit = nullptr);
  // The counters last read from the pump, to tell fuel drawn unattended.
  std::optional<Totals> LastTotals(const std::string& pumpId);
  void SetLastTotals(const std::string& pumpId, const Totals& totals);

  // --- Transactions
  std::optional<Transaction> FindByReference(const std::string& client,
                                             const std::string& reference);
  // Writes a new transaction (its id is set) and publishes it; or, when
  // its client already used its reference, writes nothing and returns
  // that earlier sale. A database error is raised, never taken for one.
  std::optional<Transaction> InsertOrGet(Transaction& txn);
  // Writes every field of the transaction and publishes it; with
  // `counters`, records them as the pump's last reading in the same commit.
  // The change from the state the journal holds must be one the sale's
  // rules allow, and the write is guarded by that state: else
  // StateConflict, and nothing is written.
  // With `audit`, the command's record goes in the same commit.
  void Save(Transaction& txn, const std::optional<Totals>& counters = std::nullopt,
            Sync sync = Sync::kNow, AuditRecord* audit = nullptr);
  // Writes the counters after a sale and its reconciliation only, leaving
  // its state to the clients that may be locking or clearing it; `txn` is
  // read back whole and published. The counters after become the pump's
  // last reading in the same commit.
  void SaveReconciliation(Transaction& txn);
  // Live values of a running delivery; published by the caller as live.
  void SaveLive(std::int64_t id, double volume, double money);
  std::optional<Transaction> Get(std::int64_t id);
  std::vector<Transaction> List(const TransactionFilter& filter);
  // How many match the filter, whatever its limit and offset.
  std::int64_t Count(const TransactionFilter& filter);
  // Transactions a pump is still busy with, and finished sales whose
  // counters are still to be read: what a restart picks up.
  std::vector<Transaction> Unfinished();
  std::uint32_t UnpaidCount(const std::string& pumpId);
  // Every sale that delivered (payable, locked or cleared), per pump: for
  // the metrics.
  struct PumpSales {
    std::string pumpId;
    std::int64_t sales = 0;
    double volume = 0;
    double money = 0;
  };
  std::vector<PumpSales> SalesByPump();

  // The buffer of sales. Refusals: not-found, not-payable, locked (by
  // another client), not-locked. With `audit`, the command's record (with
  // its outcome) is committed with the change, or alone when refused.
  Outcome Lock(std::int64_t id, const std::string& client, AuditRecord* audit = nullptr);
  Outcome Unlock(std::int64_t id, const std::string& client, AuditRecord* audit = nullptr);
  Outcome Clear(std::int64_t id, const std::string& client, AuditRecord* audit = nullptr);

  // --- Alerts
  // Never fails: while the journal takes no writes the alert is held (and
  // listed by Alerts with id 0) and written when it takes them again.
  Alert Raise(Alert alert);
  std::vector<Alert> Alerts(bool unacknowledgedOnly, std::size_t limit = 100);
  Outcome Acknowledge(std::int64_t id, AuditRecord* audit = nullptr);

  // --- Audit trail (audit.hpp)
  // Commits an audit record on its own: a refusal, a command that changed
  // nothing the journal keeps, or a change recorded elsewhere (a shift).
  // The record's id and time are set. Raises DatabaseError.
  void Audit(AuditRecord& record);
  std::vector<AuditRecord> AuditRecords(const AuditFilter& filter);

  // --- Prices (prices.hpp)
  // Records a set with its audit record in one commit (its id is set).
  void CreatePriceSet(PriceSet& set, AuditRecord& audit);
  // Refusals: not-found, or already-applied / already-cancelled (409).
  Outcome CancelPriceSet(std::int64_t id, AuditRecord& audit);
  std::vector<PriceSet> PriceSets(std::size_t limit = 100);
  // Whether some set may be due for a pump by `nowMs`: a cheap check before
  // asking DuePrices.
  bool PriceChangeDue(std::int64_t nowMs) const { return nowMs >= nextPriceDueMs_.load(); }
  // Every pump price due by `nowMs` and not yet taken, oldest set first.
  std::vector<DuePrice> DuePrices(std::int64_t nowMs);
  // A pump takes a due price: its price, the set's state and the price log
  // in one commit; false when the set was cancelled meanwhile.
  bool ApplyPrice(const DuePrice& due, std::optional<double> oldPrice);
  std::vector<PriceChange> PriceLog(const PriceLogFilter& filter);

  // --- Shifts
  // The open shift, with its opening readings.
  std::optional<Shift> CurrentShift();
  // Records a shift and its opening readings in one commit; refused with
  // "shift-open" while another is open.
  ShiftOutcome OpenShift(const std::string& by, std::int64_t openedMs,
                         const std::vector<MeterReading>& readings, AuditRecord* audit = nullptr);
  // Closes the open shift with its closing readings in one commit; refused
  // with "no-shift" when none is open.
  ShiftOutcome CloseShift(const std::string& by, std::int64_t closedMs,
                          const std::vector<MeterReading>& readings, AuditRecord* audit = nullptr);
  std::optional<Shift> GetShift(std::int64_t id);
  // Newest first, without their readings.
  std::vector<Shift> Shifts(std::size_t limit, std::size_t offset);
  // Per pump, its last sound reading taken at or before `atMs`.
  std::vector<MeterReading> ReadingsAtOrBefore(std::int64_t atMs);
  // Sales and alerts created in [fromMs, toMs), oldest first.
  std::vector<Transaction> CreatedBetween(std::int64_t fromMs, std::int64_t toMs);
  std::vector<Alert> AlertsBetween(std::int64_t fromMs, std::int64_t toMs);
  // Delivered sales (payable, locked, cleared) created in [fromMs, toMs),
  // only their figures: a year of them stays small.
  std::vector<SaleFigure> DeliveredBetween(std::int64_t fromMs, std::int64_t toMs);

  // --- Outbox: the records the head office is sent
  // Adds a record in the commit of the change it reports: only inside a
  // write of this journal (its writer's lock held, in a DbTransaction).
  // Records are numbered after every record ever added; a number is never
  // used again, even once its row is gone.
  void Enqueue(std::string_view kind, const nlohmann::json& record);
  // Whether Enqueue keeps records: only while the uplink is configured, so
  // that a site without a head office does not fill its disk with them.
  void KeepOutbox(bool keep) { keepOutbox_ = keep; }
  // Queues the report of every closed shift not yet in the outbox, each in
  // one commit with its mark; `report` makes a shift's report.
  void EnqueueShiftReports(const std::function<nlohmann::json(std::int64_t)>& report);
  struct Backlog {
    std::int64_t records = 0;
    std::optional<std::int64_t> oldestMs;  // created, of the oldest unsent
  };
  Backlog OutboxBacklog();
  // Removes records the broker has acknowledged.
  void RemoveSent(const std::vector<std::int64_t>& seqs);
  // Called after each commit that added to the outbox (outside the lock).
  void SetOutboxListener(std::function<void()> listener);

  // --- Head-office commands
  bool CommandTaken(const std::string& id);
  // Records the command's id and puts its result in the outbox, in one
  // commit; false, writing nothing, when the id was taken before. A result
  // without an id (a message that could not be read) is only reported.
  bool TakeCommand(const std::string& id, const nlohmann::json& result);

  // Publishes the journal's present: every open or unpaid transaction and
  // every unacknowledged alert, for readers that start after a restart.
  void PublishPresent();

 private:
  void Migrate();
  // Guarded by the state the row is expected to be in.
  void WriteTransaction(const Transaction& txn, TxnState prior);
  void WriteLastTotals(const std::string& pumpId, const Totals& totals);
  std::optional<Transaction> GetLocked(std::int64_t id);
  void PublishTransaction(const Transaction& txn);
  void PublishAlert(const Alert& alert);
  void CountUnpaid(const std::string& pumpId, TxnState before, TxnState after);
  Outcome ChangeSale(std::int64_t id, const std::string& client, TxnState to, AuditRecord* audit);
  // Inside a transaction of `db_`: appends the chain entry of a record
  // (kind "sale" or "audit") as it now stands.
  void Chain(std::string_view kind, std::int64_t id);
  // Inside a transaction: the record and its chain entry.
  void WriteAudit(AuditRecord& record);
  // Writes an audit record alone, for a refusal; a failure is logged by
  // the caller's outcome, never raised over the refusal.
  void AuditAlone(AuditRecord* audit, const Outcome& outcome);
  void WritePriceLog(const std::string& pumpId, std::optional<std::int64_t> oldHundredths,
                     std::int64_t newHundredths, std::optional<std::int64_t> setId,
                     const std::string& actor);
  void RefreshNextPriceDue();
  // Chains the sales that have no entry yet: those of a journal from
  // before the chain.
  void ChainUnchained();

  // Every write goes through here: it notes a failure and, at the first
  // success after one, records the outage as an alert.
  template <typename F>
  auto Writing(F&& write) -> decltype(write());
  void Failed(const DatabaseError& e);
  void Recovered();
  Alert InsertAlert(Alert alert);
  // The outbox records of a sale's change: when it became payable and
  // when it was cleared.
  void EnqueueSale(TxnState before, const Transaction& after);

  std::mutex mutex_;
  Database db_;
  // The event sequence is reserved through a connection of its own: the
  // ring asks for it under its lock, while another thread may be inside a
  // transaction of `db_`.
  Database reserveDb_;
  // The readers' own read-only connection (lists, metrics, the API's
  // lookups): WAL lets them read the last commit while the writer works,
  // and they share no lock with it.
  std::mutex readMutex_;
  std::unique_ptr<Database> readDb_;
  EventRing& events_;
  NowMs nowMs_;
  // Apart from `mutex_`, so that reading a count never waits for a commit.
  std::mutex unpaidMutex_;
  std::map<std::string, std::uint32_t> unpaid_;  // pump id -> payable and locked sales
  std::atomic<bool> failing_{false};
  // When the outage began and what it said, and the alerts raised during
  // it, written when the journal takes writes again.
  mutable std::mutex faultMutex_;
  std::int64_t failingSinceMs_ = 0;
  std::string failure_;
  std::vector<Alert> heldAlerts_;
  std::atomic<std::int64_t> nextPriceDueMs_{INT64_MAX};
  // Set by Enqueue under `mutex_`; the listener is told after the commit.
  bool outboxAdded_ = false;
  std::atomic<bool> keepOutbox_{true};
  std::mutex listenerMutex_;
  std::function<void()> outboxListener_;
};

template <typename F>
auto Journal::Writing(F&& write) -> decltype(write()) {
  // The outbox's listener is told after the commit: the publisher may then
  // read what it added.
  struct TellOutbox {
    Journal& journal;
    ~TellOutbox() {
      if (std::exchange(journal.outboxAdded_, false) && std::uncaught_exceptions() == 0) {
        std::lock_guard lock(journal.listenerMutex_);
        if (journal.outboxListener_) {
          journal.outboxListener_();
        }
      }
    }
  };
  try {
    const TellOutbox tell{*this};
    if constexpr (std::is_void_v<decltype(write())>) {
      write();
      Recovered();
    } else {
      auto result = write();
      Recovered();
      return result;
    }
  } catch (const DatabaseError& e) {
    Failed(e);
    throw;
  }
}

}  // namespace tarvenix::forecourt
