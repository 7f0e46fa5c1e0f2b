#include "forecourt/journal.hpp"

#include <array>
#include <string_view>
#include <type_traits>
#include <utility>

#include "forecourt/amounts.hpp"
#include "forecourt/json.hpp"
#include "forecourt/sale.hpp"

namespace tarvenix::forecourt {
namespace {

// Each step brings the schema from version i to i + 1, in one transaction.
constexpr std::array<std::string_view, 2> kMigrations = {
    R"sql(
CREATE TABLE pumps(
  id TEXT PRIMARY KEY,
  line INTEGER NOT NULL,
  address INTEGER NOT NULL,
  name TEXT NOT NULL,
  start_mode INTEGER NOT NULL,
  totals_selector INTEGER NOT NULL,
  totals_scale REAL NOT NULL,
  price REAL,
  last_totals_volume INTEGER,
  last_totals_money INTEGER
);
CREATE TABLE transactions(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  pump_id TEXT NOT NULL,
  client TEXT NOT NULL,
  reference TEXT,
  preset_kind TEXT NOT NULL CHECK (preset_kind IN ('volume', 'money')),
  preset REAL NOT NULL,
  price REAL NOT NULL,
  state TEXT NOT NULL,
  volume REAL NOT NULL DEFAULT 0,
  money REAL NOT NULL DEFAULT 0,
  totals_volume_before INTEGER,
  totals_money_before INTEGER,
  totals_volume_after INTEGER,
  totals_money_after INTEGER,
  reconciliation TEXT NOT NULL DEFAULT 'pending',
  recovered INTEGER NOT NULL DEFAULT 0,
  lock_client TEXT,
  message TEXT NOT NULL DEFAULT '',
  created_ms INTEGER NOT NULL,
  updated_ms INTEGER NOT NULL
);
CREATE UNIQUE INDEX transactions_by_reference ON transactions(client, reference)
  WHERE reference IS NOT NULL;
CREATE INDEX transactions_by_state ON transactions(state);
CREATE INDEX transactions_by_pump ON transactions(pump_id, id);
CREATE TABLE alerts(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  kind TEXT NOT NULL,
  pump_id TEXT NOT NULL,
  transaction_id INTEGER,
  message TEXT NOT NULL,
  details TEXT NOT NULL,
  created_ms INTEGER NOT NULL,
  acknowledged_ms INTEGER
);
CREATE TABLE meta(key TEXT PRIMARY KEY, value INTEGER NOT NULL);
)sql",
    // Amounts as integers of the dispenser's own units, no longer as
    // binary fractions: volumes in hundredths, money in thousandths, prices
    // in hundredths; a preset in the units of its kind. Every sale is
    // copied with its id.
    R"sql(
CREATE TABLE transactions_v2(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  pump_id TEXT NOT NULL,
  client TEXT NOT NULL,
  reference TEXT,
  preset_kind TEXT NOT NULL CHECK (preset_kind IN ('volume', 'money')),
  preset_units INTEGER NOT NULL,
  price_hundredths INTEGER NOT NULL,
  state TEXT NOT NULL,
  volume_hundredths INTEGER NOT NULL DEFAULT 0,
  money_thousandths INTEGER NOT NULL DEFAULT 0,
  totals_volume_before INTEGER,
  totals_money_before INTEGER,
  totals_volume_after INTEGER,
  totals_money_after INTEGER,
  reconciliation TEXT NOT NULL DEFAULT 'pending',
  recovered INTEGER NOT NULL DEFAULT 0,
  lock_client TEXT,
  message TEXT NOT NULL DEFAULT '',
  created_ms INTEGER NOT NULL,
  updated_ms INTEGER NOT NULL
);
INSERT INTO transactions_v2 SELECT id, pump_id, client, reference, preset_kind,
  CAST(round(preset * CASE preset_kind WHEN 'volume' THEN 100 ELSE 1000 END) AS INTEGER),
  CAST(round(price * 100) AS INTEGER), state, CAST(round(volume * 100) AS INTEGER),
  CAST(round(money * 1000) AS INTEGER), totals_volume_before, totals_money_before,
  totals_volume_after, totals_money_after, reconciliation, recovered, lock_client, message,
  created_ms, updated_ms
  FROM transactions;
DROP TABLE transactions;
ALTER TABLE transactions_v2 RENAME TO transactions;
CREATE UNIQUE INDEX transactions_by_reference ON transactions(client, reference)
  WHERE reference IS NOT NULL;
CREATE INDEX transactions_by_state ON transactions(state);
CREATE INDEX transactions_by_pump ON transactions(pump_id, id);
ALTER TABLE pumps ADD COLUMN price_hundredths INTEGER;
UPDATE pumps SET price_hundredths = CAST(round(price * 100) AS INTEGER);
ALTER TABLE pumps DROP COLUMN price;
)sql",
};

// The outbox of records for the head office, and the ids of the commands
// it sent that were taken. AUTOINCREMENT keeps the highest number ever
// given, so a number is never reused once its row is deleted.
constexpr std::string_view kOutboxMigration = R"sql(
CREATE TABLE outbox(
  seq INTEGER PRIMARY KEY AUTOINCREMENT,
  kind TEXT NOT NULL,
  record TEXT NOT NULL,
  created_ms INTEGER NOT NULL
);
ALTER TABLE shifts ADD COLUMN reported INTEGER NOT NULL DEFAULT 0;
ALTER TABLE price_sets ADD COLUMN command_id TEXT;
CREATE UNIQUE INDEX price_sets_by_command ON price_sets(command_id) WHERE command_id IS NOT NULL;
CREATE TABLE commands_taken(
  id TEXT PRIMARY KEY,
  taken_ms INTEGER NOT NULL,
  result TEXT NOT NULL
);
)sql";

// Price sets and the price log, the audit trail and its hash chain
// (audit.hpp, prices.hpp), and what a sale was priced from.
constexpr std::string_view kPricesAndAudit = R"sql(
ALTER TABLE transactions ADD COLUMN price_set_id INTEGER;
ALTER TABLE transactions ADD COLUMN fallback INTEGER NOT NULL DEFAULT 0;
ALTER TABLE pumps ADD COLUMN price_set_id INTEGER;
CREATE TABLE price_sets(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  effective_ms INTEGER NOT NULL,
  state TEXT NOT NULL CHECK (state IN ('scheduled', 'applied', 'cancelled')),
  actor TEXT NOT NULL,
  created_ms INTEGER NOT NULL,
  changed_ms INTEGER NOT NULL
);
CREATE TABLE price_set_pumps(
  set_id INTEGER NOT NULL REFERENCES price_sets(id),
  pump_id TEXT NOT NULL,
  price_hundredths INTEGER NOT NULL,
  applied_ms INTEGER,
  PRIMARY KEY(set_id, pump_id)
);
CREATE INDEX price_set_pumps_pending ON price_set_pumps(set_id) WHERE applied_ms IS NULL;
CREATE TABLE price_log(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  pump_id TEXT NOT NULL,
  old_hundredths INTEGER,
  new_hundredths INTEGER NOT NULL,
  set_id INTEGER,
  actor TEXT NOT NULL,
  at_ms INTEGER NOT NULL
);
CREATE INDEX price_log_by_pump ON price_log(pump_id, at_ms);
CREATE TABLE audit(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  at_ms INTEGER NOT NULL,
  actor TEXT NOT NULL,
  kind TEXT NOT NULL,
  method TEXT NOT NULL,
  path TEXT NOT NULL,
  body TEXT NOT NULL,
  outcome TEXT NOT NULL
);
CREATE INDEX audit_by_time ON audit(at_ms);
CREATE TABLE chain(
  seq INTEGER PRIMARY KEY,
  kind TEXT NOT NULL CHECK (kind IN ('sale', 'audit')),
  ref_id INTEGER NOT NULL,
  content TEXT NOT NULL,
  prev_hash TEXT NOT NULL,
  hash TEXT NOT NULL
);
)sql";

// The steps after the one built from the sale's rules (below), in order.
constexpr std::array<std::string_view, 3> kLaterMigrations = {
    kPricesAndAudit,
    // Shifts and the meter readings at their ends; a reading without
    // counters is a missing one. At most one shift is open.
    R"sql(
CREATE TABLE shifts(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  opened_ms INTEGER NOT NULL,
  opened_by TEXT NOT NULL,
  closed_ms INTEGER,
  closed_by TEXT
);
CREATE UNIQUE INDEX shifts_one_open ON shifts(coalesce(closed_ms, 0)) WHERE closed_ms IS NULL;
CREATE TABLE meter_readings(
  shift_id INTEGER NOT NULL REFERENCES shifts(id),
  at_close INTEGER NOT NULL CHECK (at_close IN (0, 1)),
  pump_id TEXT NOT NULL,
  taken_ms INTEGER NOT NULL,
  volume_counter INTEGER,
  money_counter INTEGER,
  scale REAL NOT NULL,
  busy INTEGER NOT NULL DEFAULT 0,
  missing TEXT NOT NULL DEFAULT '',
  CHECK ((volume_counter IS NULL) = (money_counter IS NULL)),
  PRIMARY KEY(shift_id, at_close, pump_id)
);
CREATE INDEX meter_readings_by_time ON meter_readings(pump_id, taken_ms);
CREATE INDEX transactions_by_created ON transactions(created_ms);
CREATE INDEX alerts_by_created ON alerts(created_ms);
)sql",
    kOutboxMigration,
};

// The sale's states, and only they, in the state column. Written out: a
// migration is frozen text, whatever the sale's rules become later (a new
// state takes a migration of its own).
std::string Migration(std::size_t index) {
  if (index < kMigrations.size()) {
    return std::string(kMigrations[index]);
  }
  if (index > kMigrations.size()) {
    return std::string(kLaterMigrations[index - kMigrations.size() - 1]);
  }
  return R"sql(
CREATE TABLE transactions_v3(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  pump_id TEXT NOT NULL,
  client TEXT NOT NULL,
  reference TEXT,
  preset_kind TEXT NOT NULL CHECK (preset_kind IN ('volume', 'money')),
  preset_units INTEGER NOT NULL,
  price_hundredths INTEGER NOT NULL,
  state TEXT NOT NULL CHECK (state IN ('authorising', 'authorised', 'fuelling', 'payable',
    'locked', 'cleared', 'cancelled', 'failed')),
  volume_hundredths INTEGER NOT NULL DEFAULT 0,
  money_thousandths INTEGER NOT NULL DEFAULT 0,
  totals_volume_before INTEGER,
  totals_money_before INTEGER,
  totals_volume_after INTEGER,
  totals_money_after INTEGER,
  reconciliation TEXT NOT NULL DEFAULT 'pending',
  recovered INTEGER NOT NULL DEFAULT 0,
  lock_client TEXT,
  message TEXT NOT NULL DEFAULT '',
  created_ms INTEGER NOT NULL,
  updated_ms INTEGER NOT NULL
);
INSERT INTO transactions_v3 SELECT * FROM transactions;
DROP TABLE transactions;
ALTER TABLE transactions_v3 RENAME TO transactions;
CREATE UNIQUE INDEX transactions_by_reference ON transactions(client, reference)
  WHERE reference IS NOT NULL;
CREATE INDEX transactions_by_state ON transactions(state);
CREATE INDEX transactions_by_pump ON transactions(pump_id, id);
)sql";
}

// A preset is kept in the units of its kind's amount.
std::int64_t PresetUnits(PresetKind kind, double preset) {
  return kind == PresetKind::kVolume ? VolumeHundredths(preset) : MoneyThousandths(preset);
}

double PresetValue(PresetKind kind, std::int64_t units) {
  return kind == PresetKind::kVolume ? FromHundredths(units) : FromThousandths(units);
}

constexpr std::string_view kTxnColumns =
    "id, pump_id, client, reference, preset_kind, preset_units, price_hundredths, state, "
    "volume_hundredths, money_thousandths, "
    "totals_volume_before, totals_money_before, totals_volume_after, totals_money_after, "
    "reconciliation, recovered, lock_client, message, created_ms, updated_ms, price_set_id, "
    "fallback";

Reconciliation ReconciliationByName(std::string_view name) {
  for (auto r : {Reconciliation::kOk, Reconciliation::kMismatch, Reconciliation::kRecovered,
                 Reconciliation::kNotReconcilable}) {
    if (Name(r) == name) {
      return r;
    }
  }
  return Reconciliation::kPending;
}

Transaction ReadTransaction(const Statement& s) {
  Transaction t;
  t.id = s.Int(0);
  t.pumpId = s.Text(1);
  t.client = s.Text(2);
  if (!s.IsNull(3)) {
    t.reference = s.Text(3);
  }
  t.presetKind = s.Text(4) == "money" ? PresetKind::kMoney : PresetKind::kVolume;
  t.preset = PresetValue(t.presetKind, s.Int(5));
  t.price = FromHundredths(s.Int(6));
  t.state = TxnStateByName(s.Text(7)).value_or(TxnState::kFailed);
  t.volume = FromHundredths(s.Int(8));
  t.money = FromThousandths(s.Int(9));
  t.totalsVolumeBefore = s.OptionalInt(10);
  t.totalsMoneyBefore = s.OptionalInt(11);
  t.totalsVolumeAfter = s.OptionalInt(12);
  t.totalsMoneyAfter = s.OptionalInt(13);
  t.reconciliation = ReconciliationByName(s.Text(14));
  t.recovered = s.Int(15) != 0;
  if (!s.IsNull(16)) {
    t.lockClient = s.Text(16);
  }
  t.message = s.Text(17);
  t.createdMs = s.Int(18);
  t.updatedMs = s.Int(19);
  t.priceSetId = s.OptionalInt(20);
  t.fallback = s.Int(21) != 0;
  return t;
}

Alert ReadAlert(const Statement& s) {
  Alert a;
  a.id = s.Int(0);
  a.kind = s.Text(1);
  a.pumpId = s.Text(2);
  a.transactionId = s.OptionalInt(3);
  a.message = s.Text(4);
  a.details = s.Text(5);
  a.createdMs = s.Int(6);
  a.acknowledgedMs = s.OptionalInt(7);
  return a;
}

std::string Select(std::string_view where) {
  return "SELECT " + std::string(kTxnColumns) + " FROM transactions " + std::string(where);
}

// The filters of List and Count, as ?1..?3 and ?6.
constexpr std::string_view kFilter =
    "WHERE (?1 IS NULL OR state = ?1) AND (?2 IS NULL OR pump_id = ?2) AND "
    "(?3 IS NULL OR created_ms >= ?3) AND (?6 = 0 OR recovered = 1)";

constexpr std::string_view kReadingColumns =
    "pump_id, taken_ms, volume_counter, money_counter, scale, busy, missing";

MeterReading ReadReading(const Statement& s) {
  return {.pumpId = s.Text(0),
          .takenMs = s.Int(1),
          .volume = s.OptionalInt(2),
          .money = s.OptionalInt(3),
          .scale = s.Real(4),
          .busy = s.Int(5) != 0,
          .missing = s.Text(6)};
}

std::vector<MeterReading> ReadReadings(Database& db, std::int64_t shiftId, bool atClose) {
  auto s = db.Cached("SELECT " + std::string(kReadingColumns) +
                     " FROM meter_readings WHERE shift_id = ?1 AND at_close = ?2 ORDER BY rowid");
  s->Bind(1, shiftId).Bind(2, atClose ? 1 : 0);
  std::vector<MeterReading> out;
  while (s->Step()) {
    out.push_back(ReadReading(*s));
  }
  return out;
}

void WriteReadings(Database& db, std::int64_t shiftId, bool atClose,
                   const std::vector<MeterReading>& readings) {
  for (const MeterReading& r : readings) {
    const bool present = r.Present();
    db.Cached(
          "INSERT INTO meter_readings(shift_id, at_close, pump_id, taken_ms, volume_counter, "
          "money_counter, scale, busy, missing) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)")
        ->Bind(1, shiftId)
        .Bind(2, atClose ? 1 : 0)
        .Bind(3, r.pumpId)
        .Bind(4, r.takenMs)
        .Bind(5, present ? r.volume : std::nullopt)
        .Bind(6, present ? r.money : std::nullopt)
        .Bind(7, r.scale)
        .Bind(8, r.busy ? 1 : 0)
        .Bind(9, present ? std::string() : r.missing)
        .Run();
  }
}

constexpr std::string_view kShiftColumns = "id, opened_ms, opened_by, closed_ms, closed_by";

Shift ReadShift(const Statement& s) {
  Shift shift{.id = s.Int(0), .openedMs = s.Int(1), .openedBy = s.Text(2)};
  shift.closedMs = s.OptionalInt(3);
  if (!s.IsNull(4)) {
    shift.closedBy = s.Text(4);
  }
  return shift;
}

std::optional<Shift> FindShift(Database& db, std::string_view where, std::int64_t id = 0) {
  auto s = db.Cached("SELECT " + std::string(kShiftColumns) + " FROM shifts " + std::string(where));
  if (id != 0) {
    s->Bind(1, id);
  }
  if (!s->Step()) {
    return std::nullopt;
  }
  Shift shift = ReadShift(*s);
  s->Reset();
  shift.opening = ReadReadings(db, shift.id, false);
  shift.closing = ReadReadings(db, shift.id, true);
  return shift;
}
// A commit without a sync while it lives: the next synced commit takes it
// to the disk (the journal is in WAL mode). Every other commit is synced.
struct Unsynced {
  Database& db;
  bool on;
  explicit Unsynced(Database& d, bool unsynced = true) : db(d), on(unsynced) {
    if (on) {
      db.Execute("PRAGMA synchronous=NORMAL");
    }
  }
  ~Unsynced() {
    if (!on) {
      return;
    }
    try {
      db.Execute("PRAGMA synchronous=FULL");
    } catch (const DatabaseError&) {
      // Setting the pragma does no I/O; nothing else could fail here.
    }
  }
  Unsynced(const Unsynced&) = delete;
  Unsynced& operator=(const Unsynced&) = delete;
};

}  // namespace

Journal::Journal(const std::string& path, EventRing& events, NowMs nowMs)
    : db_(path), reserveDb_(path), events_(events), nowMs_(std::move(nowMs)) {
  // WAL keeps readers off the writer's back; FULL syncs the log at every
  // commit, so a committed change survives a power cut.
  if (db_.QueryText("PRAGMA journal_mode=WAL") != "wal") {
    throw DatabaseError("cannot put " + path + " in WAL mode");
  }
  db_.Execute("PRAGMA synchronous=FULL; PRAGMA foreign_keys=ON;");
  Migrate();
  auto unpaid = db_.Cached("SELECT pump_id, count(*) FROM transactions WHERE state IN " +
                           SqlList(StateSet::kUnpaid) + " GROUP BY pump_id");
  while (unpaid->Step()) {
    unpaid_[unpaid->Text(0)] = static_cast<std::uint32_t>(unpaid->Int(1));
  }
  const std::int64_t reserved =
      db_.QueryInt("SELECT coalesce(max(value), 0) FROM meta WHERE key = 'event_seq'");
  ChainUnchained();
  RefreshNextPriceDue();
  readDb_ = std::make_unique<Database>(path, Database::Mode::kReadOnly);
  readDb_->Execute("PRAGMA query_only=ON");
  events_.StartAfter(static_cast<std::uint64_t>(reserved), [this](std::uint64_t upTo) {
    // A failure here is the ring's to retry: it must not pass for the
    // failure of the commit whose event is being published.
    reserveDb_
        .Prepare(
            "INSERT INTO meta(key, value) VALUES('event_seq', ?1) "
            "ON CONFLICT(key) DO UPDATE SET value = excluded.value")
        .Bind(1, static_cast<std::int64_t>(upTo))
        .Run();
  });
}

void Journal::Failed(const DatabaseError& e) {
  std::lock_guard lock(faultMutex_);
  if (!failing_.load()) {
    failingSinceMs_ = nowMs_();
  }
  failure_ = e.what();
  failing_.store(true);
}

// Under `mutex_`, after a write went through.
void Journal::Recovered() {
  if (!failing_.load()) {
    return;
  }
  std::vector<Alert> held;
  Alert outage{.kind = "journal-error", .pumpId = ""};
  {
    std::lock_guard lock(faultMutex_);
    held.swap(heldAlerts_);
    outage.message = "the journal took no writes from " + std::to_string(failingSinceMs_) +
                     " ms to " + std::to_string(nowMs_()) + " ms: " + failure_;
    outage.details = nlohmann::json{{"since_ms", failingSinceMs_}, {"error", failure_}}.dump();
  }
  // Cleared first: the alerts below are writes too.
  failing_.store(false);
  held.insert(held.begin(), std::move(outage));
  for (std::size_t i = 0; i < held.size(); ++i) {
    try {
      PublishAlert(InsertAlert(held[i]));
    } catch (const DatabaseError& e) {
      std::lock_guard lock(faultMutex_);
      heldAlerts_.insert(heldAlerts_.begin(), held.begin() + static_cast<std::ptrdiff_t>(i),
                         held.end());
      failure_ = e.what();
      failing_.store(true);
      return;
    }
  }
}

std::optional<std::string> Journal::Failure() const {
  if (!failing_.load()) {
    return std::nullopt;
  }
  std::lock_guard lock(faultMutex_);
  return failure_;
}

bool Journal::Probe() {
  std::lock_guard lock(mutex_);
  try {
    Writing([&] {
      db_.Execute(
          "INSERT INTO meta(key, value) VALUES('probe', 0) "
          "ON CONFLICT(key) DO UPDATE SET value = value + 1");
    });
    return true;
  } catch (const DatabaseError&) {
    return false;
  }
}

void Journal::Migrate() {
  const std::int64_t version = db_.QueryInt("PRAGMA user_version");
  if (version > kSchemaVersion) {
    throw DatabaseError("the journal has schema version " + std::to_string(version) +
                        ", newer than this tarvenixd knows (" + std::to_string(kSchemaVersion) +
                        ")");
  }
  for (std::int64_t v = version; v < kSchemaVersion; ++v) {
    DbTransaction txn(db_);
    db_.Execute(Migration(static_cast<std::size_t>(v)));
    db_.Execute("PRAGMA user_version = " + std::to_string(v + 1));
    txn.Commit();
  }
}

void Journal::SavePump(const PumpConfig& pump, std::uint32_t line) {
  std::lock_guard lock(mutex_);
  Writing([&] {
    db_.Cached(
           "INSERT INTO pumps(id, line, address, name, start_mode, totals_selector, totals_scale, "
           "price_hundredths) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8) ON CONFLICT(id) DO UPDATE SET "
           "line = excluded.line, address = excluded.address, name = excluded.name, "
           "start_mode = excluded.start_mode, totals_selector = excluded.totals_selector, "
           "totals_scale = excluded.totals_scale, "
           "price_hundredths = coalesce(pumps.price_hundredths, excluded.price_hundredths)")
        ->Bind(1, pump.id)
        .Bind(2, static_cast<std::int64_t>(line))
        .Bind(3, static_cast<std::int64_t>(pump.addr))
        .Bind(4, pump.name)
        .Bind(5, static_cast<std::int64_t>(pump.startMode))
        .Bind(6, static_cast<std::int64_t>(pump.totalsSelector))
        .Bind(7, pump.totalsScale)
        .Bind(8, pump.price ? std::optional(PriceHundredths(*pump.price)) : std::nullopt)
        .Run();
  });
}

std::optional<double> Journal::PumpPrice(const std::string& pumpId) {
  std::lock_guard lock(mutex_);
  auto s = db_.Cached("SELECT price_hundredths FROM pumps WHERE id = ?1");
  s->Bind(1, pumpId);
  if (s->Step() && !s->IsNull(0)) {
    return FromHundredths(s->Int(0));
  }
  return std::nullopt;
}

std::optional<std::int64_t> Journal::PumpPriceSet(const std::string& pumpId) {
  std::lock_guard lock(mutex_);
  auto s = db_.Cached("SELECT price_set_id FROM pumps WHERE id = ?1");
  s->Bind(1, pumpId);
  return s->Step() ? s->OptionalInt(0) : std::nullopt;
}

void Journal::SetPumpPrice(const std::string& pumpId, double price, const std::string& actor,
                           AuditRecord* audit) {
  std::lock_guard lock(mutex_);
  Writing([&] {
    DbTransaction dbTxn(db_);
    std::optional<std::int64_t> old;
    {
      auto s = db_.Cached("SELECT price_hundredths FROM pumps WHERE id = ?1");
      s->Bind(1, pumpId);
      old = s->Step() ? s->OptionalInt(0) : std::nullopt;
    }
    db_.Cached("UPDATE pumps SET price_hundredths = ?2, price_set_id = NULL WHERE id = ?1")
        ->Bind(1, pumpId)
        .Bind(2, PriceHundredths(price))
        .Run();
    if (old != PriceHundredths(price)) {
      WritePriceLog(pumpId, old, PriceHundredths(price), std::nullopt, actor);
    }
    if (audit != nullptr) {
      audit->outcome = {{"pump", pumpId}, {"price", price}};
      WriteAudit(*audit);
    }
    dbTxn.Commit();
  });
}

std::optional<Totals> Journal::LastTotals(const std::string& pumpId) {
  std::lock_guard lock(mutex_);
  auto s = db_.Cached(
      "SELECT last_totals_volume, last_totals_money, totals_scale FROM pumps WHERE id = ?1");
  s->Bind(1, pumpId);
  if (s->Step() && !s->IsNull(0) && !s->IsNull(1)) {
    return Totals{.volume = s->Int(0), .money = s->Int(1), .scale = s->Real(2)};
  }
  return std::nullopt;
}

void Journal::SetLastTotals(const std::string& pumpId, const Totals& totals) {
  std::lock_guard lock(mutex_);
  Writing([&] { WriteLastTotals(pumpId, totals); });
}

void Journal::WriteLastTotals(const std::string& pumpId, const Totals& totals) {
  db_.Cached("UPDATE pumps SET last_totals_volume = ?2, last_totals_money = ?3 WHERE id = ?1")
      ->Bind(1, pumpId)
      .Bind(2, totals.volume)
      .Bind(3, totals.money)
      .Run();
}

std::optional<Transaction> Journal::FindByReference(const std::string& client,
                                                    const std::string& reference) {
  std::lock_guard lock(readMutex_);
  auto s = readDb_->Cached(Select("WHERE client = ?1 AND reference = ?2"));
  s->Bind(1, client).Bind(2, reference);
  if (s->Step()) {
    return ReadTransaction(*s);
  }
  return std::nullopt;
}

void Journal::WriteTransaction(const Transaction& t, TxnState prior) {
  if (!CanMove(prior, t.state)) {
    throw StateConflict("sale " + std::to_string(t.id) + " cannot go from " +
                        std::string(Name(prior)) + " to " + std::string(Name(t.state)));
  }
  db_.Cached(
         "UPDATE transactions SET state = ?2, volume_hundredths = ?3, money_thousandths = ?4, "
         "totals_volume_before = ?5, totals_money_before = ?6, totals_volume_after = ?7, "
         "totals_money_after = ?8, reconciliation = ?9, recovered = ?10, lock_client = ?11, "
         "message = ?12, updated_ms = ?13, price_hundredths = ?14 WHERE id = ?1 AND state = ?15")
      ->Bind(1, t.id)
      .Bind(2, Name(t.state))
      .Bind(3, VolumeHundredths(t.volume))
      .Bind(4, MoneyThousandths(t.money))
      .Bind(5, t.totalsVolumeBefore)
      .Bind(6, t.totalsMoneyBefore)
      .Bind(7, t.totalsVolumeAfter)
      .Bind(8, t.totalsMoneyAfter)
      .Bind(9, Name(t.reconciliation))
      .Bind(10, static_cast<std::int64_t>(t.recovered ? 1 : 0))
      .Bind(11, t.lockClient)
      .Bind(12, t.message)
      .Bind(13, t.updatedMs)
      .Bind(14, PriceHundredths(t.price))
      .Bind(15, Name(prior))
      .Run();
  if (db_.Changes() != 1) {
    throw StateConflict("sale " + std::to_string(t.id) + " was not " + std::string(Name(prior)) +
                        " when written as " + std::string(Name(t.state)));
  }
  Chain("sale", t.id);
}

std::optional<Transaction> Journal::InsertOrGet(Transaction& txn) {
  std::lock_guard lock(mutex_);
  txn.createdMs = txn.updatedMs = nowMs_();
  std::optional<Transaction> existing;
  Writing([&] {
    DbTransaction dbTxn(db_);
    db_.Cached(
           "INSERT INTO transactions(pump_id, client, reference, preset_kind, preset_units, "
           "price_hundredths, state, totals_volume_before, totals_money_before, message, "
           "created_ms, updated_ms, price_set_id, fallback) "
           "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?11, ?12, ?13) "
           "ON CONFLICT(client, reference) WHERE reference IS NOT NULL DO NOTHING")
        ->Bind(1, txn.pumpId)
        .Bind(2, txn.client)
        .Bind(3, txn.reference)
        .Bind(4, Name(txn.presetKind))
        .Bind(5, PresetUnits(txn.presetKind, txn.preset))
        .Bind(6, PriceHundredths(txn.price))
        .Bind(7, Name(txn.state))
        .Bind(8, txn.totalsVolumeBefore)
        .Bind(9, txn.totalsMoneyBefore)
        .Bind(10, txn.message)
        .Bind(11, txn.createdMs)
        .Bind(12, txn.priceSetId)
        .Bind(13, static_cast<std::int64_t>(txn.fallback ? 1 : 0))
        .Run();
    if (db_.Changes() == 0) {
      auto s = db_.Cached(Select("WHERE client = ?1 AND reference = ?2"));
      s->Bind(1, txn.client).Bind(2, txn.reference);
      if (!s->Step()) {
        throw DatabaseError("no sale inserted and none under reference " +
                            txn.reference.value_or(""));
      }
      existing = ReadTransaction(*s);
      return;
    }
    txn.id = db_.LastInsertId();
    Chain("sale", txn.id);
    dbTxn.Commit();
  });
  if (!existing) {
    PublishTransaction(txn);
  }
  return existing;
}

void Journal::Save(Transaction& txn, const std::optional<Totals>& counters, Sync sync,
                   AuditRecord* audit) {
  std::lock_guard lock(mutex_);
  txn.updatedMs = nowMs_();
  std::optional<Transaction> before;
  Writing([&] {
    const Unsynced unsynced(db_, sync == Sync::kWithNext);
    DbTransaction dbTxn(db_);
    before = GetLocked(txn.id);
    if (!before) {
      throw StateConflict("no sale " + std::to_string(txn.id) + " to write");
    }
    WriteTransaction(txn, before->state);
    EnqueueSale(before->state, txn);
    if (counters) {
      WriteLastTotals(txn.pumpId, *counters);
    }
    if (audit != nullptr) {
      audit->outcome = {{"transaction", txn.id}, {"state", Name(txn.state)}};
      WriteAudit(*audit);
    }
    dbTxn.Commit();
  });
  if (before) {
    CountUnpaid(txn.pumpId, before->state, txn.state);
  }
  PublishTransaction(txn);
}

void Journal::SaveReconciliation(Transaction& txn) {
  std::lock_guard lock(mutex_);
  Writing([&] {
    DbTransaction dbTxn(db_);
    if (txn.totalsVolumeAfter && txn.totalsMoneyAfter) {
      WriteLastTotals(txn.pumpId,
                      {.volume = *txn.totalsVolumeAfter, .money = *txn.totalsMoneyAfter});
    }
    db_.Cached(
           "UPDATE transactions SET totals_volume_after = ?2, totals_money_after = ?3, "
           "reconciliation = ?4, updated_ms = ?5 WHERE id = ?1")
        ->Bind(1, txn.id)
        .Bind(2, txn.totalsVolumeAfter)
        .Bind(3, txn.totalsMoneyAfter)
        .Bind(4, Name(txn.reconciliation))
        .Bind(5, nowMs_())
        .Run();
    Chain("sale", txn.id);
    dbTxn.Commit();
  });
  if (auto current = GetLocked(txn.id)) {
    txn = std::move(*current);
  }
  PublishTransaction(txn);
}

void Journal::SaveLive(std::int64_t id, double volume, double money) {
  std::lock_guard lock(mutex_);
  // Without a sync: a live value is only a guide, and the next commit's
  // sync takes it to the disk anyway.
  Writing([&] {
    const Unsynced unsynced(db_);
    db_.Cached(
           "UPDATE transactions SET volume_hundredths = ?2, money_thousandths = ?3, "
           "updated_ms = ?4 WHERE id = ?1")
        ->Bind(1, id)
        .Bind(2, VolumeHundredths(volume))
        .Bind(3, MoneyThousandths(money))
        .Bind(4, nowMs_())
        .Run();
  });
}

std::optional<Transaction> Journal::GetLocked(std::int64_t id) {
  auto s = db_.Cached(Select("WHERE id = ?1"));
  s->Bind(1, id);
  if (s->Step()) {
    return ReadTransaction(*s);
  }
  return std::nullopt;
}

std::optional<Transaction> Journal::Get(std::int64_t id) {
  std::lock_guard lock(readMutex_);
  auto s = readDb_->Cached(Select("WHERE id = ?1"));
  s->Bind(1, id);
  if (s->Step()) {
    return ReadTransaction(*s);
  }
  return std::nullopt;
}

std::vector<Transaction> Journal::List(const TransactionFilter& filter) {
  std::lock_guard lock(readMutex_);
  auto s = readDb_->Cached(Select(std::string(kFilter) + " ORDER BY id DESC LIMIT ?4 OFFSET ?5"));
  if (filter.state) {
    s->Bind(1, Name(*filter.state));
  }
  s->Bind(2, filter.pumpId)
      .Bind(3, filter.sinceMs)
      .Bind(4, static_cast<std::int64_t>(filter.limit))
      .Bind(5, static_cast<std::int64_t>(filter.offset))
      .Bind(6, filter.recoveredOnly ? 1 : 0);
  std::vector<Transaction> out;
  while (s->Step()) {
    out.push_back(ReadTransaction(*s));
  }
  return out;
}

std::int64_t Journal::Count(const TransactionFilter& filter) {
  std::lock_guard lock(readMutex_);
  auto s = readDb_->Cached("SELECT count(*) FROM transactions " + std::string(kFilter));
  if (filter.state) {
    s->Bind(1, Name(*filter.state));
  }
  s->Bind(2, filter.pumpId).Bind(3, filter.sinceMs).Bind(6, filter.recoveredOnly ? 1 : 0);
  return s->Step() ? s->Int(0) : 0;
}

std::vector<Transaction> Journal::Unfinished() {
  std::lock_guard lock(mutex_);
  auto s =
      db_.Cached(Select("WHERE state IN " + SqlList(StateSet::kOpen) + " OR ((state IN " +
                        SqlList(StateSet::kDelivered) +
                        " OR state = 'cancelled') AND reconciliation = 'pending') ORDER BY id"));
  std::vector<Transaction> out;
  while (s->Step()) {
    out.push_back(ReadTransaction(*s));
  }
  return out;
}

std::vector<Journal::PumpSales> Journal::SalesByPump() {
  std::lock_guard lock(readMutex_);
  auto s = readDb_->Cached(
      "SELECT pump_id, count(*), sum(volume_hundredths), sum(money_thousandths) "
      "FROM transactions WHERE state IN " +
      SqlList(StateSet::kDelivered) + " GROUP BY pump_id ORDER BY pump_id");
  std::vector<PumpSales> out;
  while (s->Step()) {
    out.push_back({.pumpId = s->Text(0),
                   .sales = s->Int(1),
                   .volume = FromHundredths(s->Int(2)),
                   .money = FromThousandths(s->Int(3))});
  }
  return out;
}

std::uint32_t Journal::UnpaidCount(const std::string& pumpId) {
  std::lock_guard lock(unpaidMutex_);
  const auto it = unpaid_.find(pumpId);
  return it == unpaid_.end() ? 0 : it->second;
}

void Journal::CountUnpaid(const std::string& pumpId, TxnState before, TxnState after) {
  if (IsUnpaid(before) == IsUnpaid(after)) {
    return;
  }
  std::lock_guard lock(unpaidMutex_);
  std::uint32_t& count = unpaid_[pumpId];
  if (IsUnpaid(after)) {
    ++count;
  } else if (count > 0) {
    --count;
  }
}

Outcome Journal::ChangeSale(std::int64_t id, const std::string& client, TxnState to,
                            AuditRecord* audit) {
  std::lock_guard lock(mutex_);
  auto refuse = [&](Outcome refusal) {
    AuditAlone(audit, refusal);
    return refusal;
  };
  auto txn = GetLocked(id);
  if (!txn) {
    return refuse(Outcome::Refused("not-found", "no transaction " + std::to_string(id)));
  }
  const TxnState before = txn->state;
  if (before == TxnState::kLocked && txn->lockClient != client) {
    return refuse(
        Outcome::Refused("locked", "the sale is locked by " + txn->lockClient.value_or("?")));
  }
  // Lock: a payable sale. Unlock: a locked one. Clear: either, a locked
  // one by its holder only (checked above).
  if (to == TxnState::kPayable && before != TxnState::kLocked) {
    return refuse(Outcome::Refused("not-locked", "the sale is " + std::string(Name(before))));
  }
  if (to != TxnState::kPayable && !IsUnpaid(before)) {
    return refuse(Outcome::Refused("not-payable", "the sale is " + std::string(Name(before))));
  }
  txn->state = to;
  txn->lockClient = to == TxnState::kPayable ? std::nullopt : std::optional<std::string>(client);
  txn->updatedMs = nowMs_();
  Writing([&] {
    DbTransaction dbTxn(db_);
    WriteTransaction(*txn, before);
    if (audit != nullptr) {
      audit->outcome = {{"transaction", id}, {"state", Name(to)}};
      WriteAudit(*audit);
    }
    EnqueueSale(before, *txn);
    dbTxn.Commit();
  });
  CountUnpaid(txn->pumpId, before, to);
  PublishTransaction(*txn);
  Outcome outcome;
  outcome.transaction = std::move(txn);
  return outcome;
}

Outcome Journal::Lock(std::int64_t id, const std::string& client, AuditRecord* audit) {
  return ChangeSale(id, client, TxnState::kLocked, audit);
}

Outcome Journal::Unlock(std::int64_t id, const std::string& client, AuditRecord* audit) {
  return ChangeSale(id, client, TxnState::kPayable, audit);
}

Outcome Journal::Clear(std::int64_t id, const std::string& client, AuditRecord* audit) {
  return ChangeSale(id, client, TxnState::kCleared, audit);
}

Alert Journal::Raise(Alert alert) {
  std::lock_guard lock(mutex_);
  alert.createdMs = nowMs_();
  try {
    alert = Writing([&] { return InsertAlert(alert); });
  } catch (const DatabaseError&) {
    std::lock_guard faults(faultMutex_);
    heldAlerts_.push_back(alert);
    return alert;
  }
  PublishAlert(alert);
  return alert;
}

Alert Journal::InsertAlert(Alert alert) {
  DbTransaction dbTxn(db_);
  db_.Cached(
         "INSERT INTO alerts(kind, pump_id, transaction_id, message, details, created_ms) "
         "VALUES(?1, ?2, ?3, ?4, ?5, ?6)")
      ->Bind(1, alert.kind)
      .Bind(2, alert.pumpId)
      .Bind(3, alert.transactionId)
      .Bind(4, alert.message)
      .Bind(5, alert.details)
      .Bind(6, alert.createdMs)
      .Run();
  alert.id = db_.LastInsertId();
  Enqueue("alerts", ToJson(alert));
  dbTxn.Commit();
  return alert;
}

std::vector<Alert> Journal::Alerts(bool unacknowledgedOnly, std::size_t limit) {
  std::lock_guard lock(readMutex_);
  auto s = readDb_->Cached(
      "SELECT id, kind, pump_id, transaction_id, message, details, created_ms, acknowledged_ms "
      "FROM alerts WHERE (?1 = 0 OR acknowledged_ms IS NULL) ORDER BY id DESC LIMIT ?2");
  s->Bind(1, static_cast<std::int64_t>(unacknowledgedOnly ? 1 : 0))
      .Bind(2, static_cast<std::int64_t>(limit));
  std::vector<Alert> out;
  {
    std::lock_guard faults(faultMutex_);
    if (failing_.load()) {
      out.push_back({.kind = "journal-error",
                     .message = "the journal takes no writes: " + failure_,
                     .details = nlohmann::json{{"since_ms", failingSinceMs_}}.dump(),
                     .createdMs = failingSinceMs_});
    }
    out.insert(out.end(), heldAlerts_.rbegin(), heldAlerts_.rend());
  }
  while (s->Step()) {
    out.push_back(ReadAlert(*s));
  }
  return out;
}

Outcome Journal::Acknowledge(std::int64_t id, AuditRecord* audit) {
  std::lock_guard lock(mutex_);
  const std::optional<Alert> alert = Writing([&]() -> std::optional<Alert> {
    DbTransaction dbTxn(db_);
    bool already = false;
    {
      auto prior = db_.Cached("SELECT acknowledged_ms FROM alerts WHERE id = ?1");
      prior->Bind(1, id);
      if (!prior->Step()) {
        return std::nullopt;
      }
      already = !prior->IsNull(0);
    }
    std::optional<Alert> a;
    {
      auto s = db_.Cached(
          "UPDATE alerts SET acknowledged_ms = coalesce(acknowledged_ms, ?2) WHERE id = ?1 "
          "RETURNING id, kind, pump_id, transaction_id, message, details, created_ms, "
          "acknowledged_ms");
      s->Bind(1, id).Bind(2, nowMs_());
      if (!s->Step()) {
        return std::nullopt;
      }
      a = ReadAlert(*s);
      s->Run();
    }
    // Reported once: a second acknowledgement changes nothing.
    if (!already) {
      Enqueue("alerts", ToJson(*a));
    }
    if (audit != nullptr) {
      audit->outcome = {{"alert", id}, {"acknowledged", true}};
      WriteAudit(*audit);
    }
    dbTxn.Commit();
    return a;
  });
  if (!alert) {
    const Outcome refusal = Outcome::Refused("not-found", "no alert " + std::to_string(id));
    AuditAlone(audit, refusal);
    return refusal;
  }
  PublishAlert(*alert);
  return {};
}

std::optional<Shift> Journal::CurrentShift() {
  std::lock_guard lock(readMutex_);
  return FindShift(*readDb_, "WHERE closed_ms IS NULL");
}

ShiftOutcome Journal::OpenShift(const std::string& by, std::int64_t openedMs,
                                const std::vector<MeterReading>& readings, AuditRecord* audit) {
  std::lock_guard lock(mutex_);
  return Writing([&]() -> ShiftOutcome {
    DbTransaction dbTxn(db_);
    if (auto open = FindShift(db_, "WHERE closed_ms IS NULL")) {
      return {.reason = "shift-open",
              .message = "shift " + std::to_string(open->id) + " is open: close it first",
              .shift = std::move(open)};
    }
    db_.Cached("INSERT INTO shifts(opened_ms, opened_by) VALUES(?1, ?2)")
        ->Bind(1, openedMs)
        .Bind(2, by)
        .Run();
    const std::int64_t id = db_.LastInsertId();
    WriteReadings(db_, id, false, readings);
    if (audit != nullptr) {
      audit->outcome = {{"shift", id}};
      WriteAudit(*audit);
    }
    dbTxn.Commit();
    return {.shift = Shift{.id = id, .openedMs = openedMs, .openedBy = by, .opening = readings}};
  });
}

ShiftOutcome Journal::CloseShift(const std::string& by, std::int64_t closedMs,
                                 const std::vector<MeterReading>& readings, AuditRecord* audit) {
  std::lock_guard lock(mutex_);
  return Writing([&]() -> ShiftOutcome {
    DbTransaction dbTxn(db_);
    auto open = FindShift(db_, "WHERE closed_ms IS NULL");
    if (!open) {
      return {.reason = "no-shift", .message = "no shift is open"};
    }
    db_.Cached("UPDATE shifts SET closed_ms = ?2, closed_by = ?3 WHERE id = ?1")
        ->Bind(1, open->id)
        .Bind(2, closedMs)
        .Bind(3, by)
        .Run();
    WriteReadings(db_, open->id, true, readings);
    if (audit != nullptr) {
      audit->outcome = {{"shift", open->id}};
      WriteAudit(*audit);
    }
    dbTxn.Commit();
    open->closedMs = closedMs;
    open->closedBy = by;
    open->closing = readings;
    return {.shift = std::move(open)};
  });
}

std::optional<Shift> Journal::GetShift(std::int64_t id) {
  std::lock_guard lock(readMutex_);
  return FindShift(*readDb_, "WHERE id = ?1", id);
}

std::vector<Shift> Journal::Shifts(std::size_t limit, std::size_t offset) {
  std::lock_guard lock(readMutex_);
  auto s = readDb_->Cached("SELECT " + std::string(kShiftColumns) +
                           " FROM shifts ORDER BY id DESC LIMIT ?1 OFFSET ?2");
  s->Bind(1, static_cast<std::int64_t>(limit)).Bind(2, static_cast<std::int64_t>(offset));
  std::vector<Shift> out;
  while (s->Step()) {
    out.push_back(ReadShift(*s));
  }
  return out;
}

std::vector<MeterReading> Journal::ReadingsAtOrBefore(std::int64_t atMs) {
  std::lock_guard lock(readMutex_);
  // SQLite takes the other columns from the row of max().
  auto s = readDb_->Cached(
      "SELECT pump_id, max(taken_ms), volume_counter, money_counter, scale, busy, missing "
      "FROM meter_readings WHERE taken_ms <= ?1 AND volume_counter IS NOT NULL "
      "GROUP BY pump_id ORDER BY pump_id");
  s->Bind(1, atMs);
  std::vector<MeterReading> out;
  while (s->Step()) {
    out.push_back(ReadReading(*s));
  }
  return out;
}

std::vector<Transaction> Journal::CreatedBetween(std::int64_t fromMs, std::int64_t toMs) {
  std::lock_guard lock(readMutex_);
  auto s = readDb_->Cached(Select("WHERE created_ms >= ?1 AND created_ms < ?2 ORDER BY id"));
  s->Bind(1, fromMs).Bind(2, toMs);
  std::vector<Transaction> out;
  while (s->Step()) {
    out.push_back(ReadTransaction(*s));
  }
  return out;
}

std::vector<Alert> Journal::AlertsBetween(std::int64_t fromMs, std::int64_t toMs) {
  std::lock_guard lock(readMutex_);
  auto s = readDb_->Cached(
      "SELECT id, kind, pump_id, transaction_id, message, details, created_ms, acknowledged_ms "
      "FROM alerts WHERE created_ms >= ?1 AND created_ms < ?2 ORDER BY id");
  s->Bind(1, fromMs).Bind(2, toMs);
  std::vector<Alert> out;
  while (s->Step()) {
    out.push_back(ReadAlert(*s));
  }
  return out;
}

std::vector<SaleFigure> Journal::DeliveredBetween(std::int64_t fromMs, std::int64_t toMs) {
  std::lock_guard lock(readMutex_);
  auto s = readDb_->Cached(
      "SELECT pump_id, created_ms, volume_hundredths, money_thousandths FROM transactions "
      "WHERE created_ms >= ?1 AND created_ms < ?2 AND state IN " +
      SqlList(StateSet::kDelivered) + " ORDER BY id");
  s->Bind(1, fromMs).Bind(2, toMs);
  std::vector<SaleFigure> out;
  while (s->Step()) {
    out.push_back(
        {.pumpId = s->Text(0), .createdMs = s->Int(1), .volume = s->Int(2), .money = s->Int(3)});
  }
  return out;
}

void Journal::EnqueueSale(TxnState before, const Transaction& after) {
  const bool payable = after.state == TxnState::kPayable && !IsDelivered(before);
  const bool cleared = after.state == TxnState::kCleared && before != TxnState::kCleared;
  if (payable || cleared) {
    Enqueue("sales", ToJson(after));
  }
}

void Journal::Enqueue(std::string_view kind, const nlohmann::json& record) {
  if (!keepOutbox_) {
    return;
  }
  db_.Cached("INSERT INTO outbox(kind, record, created_ms) VALUES(?1, ?2, ?3)")
      ->Bind(1, kind)
      .Bind(2, record.dump())
      .Bind(3, nowMs_())
      .Run();
  outboxAdded_ = true;
}

Journal::Backlog Journal::OutboxBacklog() {
  std::lock_guard lock(readMutex_);
  auto s = readDb_->Cached("SELECT count(*), min(created_ms) FROM outbox");
  Backlog backlog;
  if (s->Step()) {
    backlog.records = s->Int(0);
    backlog.oldestMs = s->OptionalInt(1);
  }
  return backlog;
}

void Journal::RemoveSent(const std::vector<std::int64_t>& seqs) {
  if (seqs.empty()) {
    return;
  }
  std::lock_guard lock(mutex_);
  Writing([&] {
    DbTransaction dbTxn(db_);
    for (const std::int64_t seq : seqs) {
      db_.Cached("DELETE FROM outbox WHERE seq = ?1")->Bind(1, seq).Run();
    }
    dbTxn.Commit();
  });
}

void Journal::EnqueueShiftReports(const std::function<nlohmann::json(std::int64_t)>& report) {
  if (!keepOutbox_) {
    return;
  }
  std::vector<std::int64_t> ids;
  {
    std::lock_guard lock(readMutex_);
    auto s = readDb_->Cached(
        "SELECT id FROM shifts WHERE closed_ms IS NOT NULL AND NOT reported ORDER BY id");
    while (s->Step()) {
      ids.push_back(s->Int(0));
    }
  }
  for (const std::int64_t id : ids) {
    const nlohmann::json record = report(id);
    std::lock_guard lock(mutex_);
    Writing([&] {
      DbTransaction dbTxn(db_);
      db_.Cached("UPDATE shifts SET reported = 1 WHERE id = ?1 AND NOT reported")
          ->Bind(1, id)
          .Run();
      if (db_.Changes() > 0) {
        Enqueue("shifts", record);
      }
      dbTxn.Commit();
    });
  }
}

void Journal::SetOutboxListener(std::function<void()> listener) {
  std::lock_guard lock(listenerMutex_);
  outboxListener_ = std::move(listener);
}

bool Journal::CommandTaken(const std::string& id) {
  std::lock_guard lock(readMutex_);
  auto s = readDb_->Cached("SELECT 1 FROM commands_taken WHERE id = ?1");
  s->Bind(1, id);
  return s->Step();
}

bool Journal::TakeCommand(const std::string& id, const nlohmann::json& result) {
  std::lock_guard lock(mutex_);
  return Writing([&] {
    DbTransaction dbTxn(db_);
    if (!id.empty()) {
      db_.Cached(
             "INSERT INTO commands_taken(id, taken_ms, result) VALUES(?1, ?2, ?3) "
             "ON CONFLICT(id) DO NOTHING")
          ->Bind(1, id)
          .Bind(2, nowMs_())
          .Bind(3, result.dump())
          .Run();
      if (db_.Changes() == 0) {
        return false;
      }
    }
    Enqueue("results", result);
    dbTxn.Commit();
    return true;
  });
}

void Journal::PublishPresent() {
  std::lock_guard lock(mutex_);
  auto s = db_.Cached(Select("WHERE state IN " + SqlList(StateSet::kOpen) + " OR state IN " +
                             SqlList(StateSet::kUnpaid) + " ORDER BY id"));
  while (s->Step()) {
    PublishTransaction(ReadTransaction(*s));
  }
  auto a = db_.Cached(
      "SELECT id, kind, pump_id, transaction_id, message, details, created_ms, acknowledged_ms "
      "FROM alerts WHERE acknowledged_ms IS NULL ORDER BY id");
  while (a->Step()) {
    PublishAlert(ReadAlert(*a));
  }
}

void Journal::PublishTransaction(const Transaction& txn) {
  events_.Publish(EventKind::kTransaction, ToJson(txn).dump(), txn.updatedMs);
}

void Journal::PublishAlert(const Alert& alert) {
  events_.Publish(EventKind::kAlert, ToJson(alert).dump(), nowMs_());
}

}  // namespace tarvenix::forecourt
