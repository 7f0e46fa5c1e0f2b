// The journal: the service's SQLite database of pumps, transactions and
// alerts. WAL mode with synchronous=FULL: a change is on the disk when its
// call returns, and only then published as an event, so no client ever sees
// a state that a power cut could take back. Thread-safe: one writing
// connection behind a mutex, and a read-only one for the readers.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "forecourt/database.hpp"
#include "forecourt/events.hpp"
#include "forecourt/model.hpp"

namespace tarvenix::forecourt {

// The newest schema this build writes; older journals are migrated.
inline constexpr std::int64_t kSchemaVersion = 3;

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
  void SetPumpPrice(const std::string& pumpId, double price);
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
  void Save(Transaction& txn, const std::optional<Totals>& counters = std::nullopt,
            Sync sync = Sync::kNow);
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
  // another client), not-locked.
  Outcome Lock(std::int64_t id, const std::string& client);
  Outcome Unlock(std::int64_t id, const std::string& client);
  Outcome Clear(std::int64_t id, const std::string& client);

  // --- Alerts
  // Never fails: while the journal takes no writes the alert is held (and
  // listed by Alerts with id 0) and written when it takes them again.
  Alert Raise(Alert alert);
  std::vector<Alert> Alerts(bool unacknowledgedOnly, std::size_t limit = 100);
  Outcome Acknowledge(std::int64_t id);

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
  Outcome ChangeSale(std::int64_t id, const std::string& client, TxnState to);

  // Every write goes through here: it notes a failure and, at the first
  // success after one, records the outage as an alert.
  template <typename F>
  auto Writing(F&& write) -> decltype(write());
  void Failed(const DatabaseError& e);
  void Recovered();
  Alert InsertAlert(Alert alert);

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
};

}  // namespace tarvenix::forecourt
