// The journal's audit trail, hash chain, price sets and price log
// (audit.hpp, prices.hpp); the rest of the journal is in journal.cpp.
#include <limits>

#include "forecourt/amounts.hpp"
#include "forecourt/journal.hpp"
#include "forecourt/json.hpp"

namespace tarvenix::forecourt {
namespace {

PriceSetState PriceSetStateByName(std::string_view name) {
  if (name == "applied") {
    return PriceSetState::kApplied;
  }
  return name == "cancelled" ? PriceSetState::kCancelled : PriceSetState::kScheduled;
}

// Stored JSON read back; a text that is none stays a string.
nlohmann::json Parsed(const std::string& text) {
  nlohmann::json value = nlohmann::json::parse(text, nullptr, false);
  return value.is_discarded() ? nlohmann::json(text) : value;
}

}  // namespace

void Journal::Chain(std::string_view kind, std::int64_t id) {
  const std::string content = CanonicalRow(db_, kind == "sale" ? "transactions" : "audit", id);
  std::string prev(kChainGenesis);
  {
    auto head = db_.Cached("SELECT hash FROM chain ORDER BY seq DESC LIMIT 1");
    if (head->Step()) {
      prev = head->Text(0);
    }
  }
  db_.Cached("INSERT INTO chain(kind, ref_id, content, prev_hash, hash) VALUES(?1, ?2, ?3, ?4, ?5)")
      ->Bind(1, kind)
      .Bind(2, id)
      .Bind(3, content)
      .Bind(4, prev)
      .Bind(5, ChainHash(prev, content))
      .Run();
}

void Journal::ChainUnchained() {
  auto s = db_.Cached(
      "SELECT id FROM transactions WHERE id NOT IN (SELECT ref_id FROM chain WHERE kind = 'sale') "
      "ORDER BY id");
  std::vector<std::int64_t> ids;
  while (s->Step()) {
    ids.push_back(s->Int(0));
  }
  if (ids.empty()) {
    return;
  }
  DbTransaction dbTxn(db_);
  for (const std::int64_t id : ids) {
    Chain("sale", id);
  }
  dbTxn.Commit();
}

void Journal::WriteAudit(AuditRecord& record) {
  record.atMs = nowMs_();
  if (record.actor.empty()) {
    record.actor = "local";
  }
  const auto dump = [](const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  };
  db_.Cached(
         "INSERT INTO audit(at_ms, actor, kind, method, path, body, outcome) "
         "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)")
      ->Bind(1, record.atMs)
      .Bind(2, record.actor)
      .Bind(3, record.kind)
      .Bind(4, record.method)
      .Bind(5, record.path)
      .Bind(6, dump(record.body))
      .Bind(7, dump(record.outcome))
      .Run();
  record.id = db_.LastInsertId();
  Chain("audit", record.id);
  Enqueue("audit", ToJson(record));
}

void Journal::Audit(AuditRecord& record) {
  std::lock_guard lock(mutex_);
  Writing([&] {
    DbTransaction dbTxn(db_);
    WriteAudit(record);
    dbTxn.Commit();
  });
}

// Under `mutex_`.
void Journal::AuditAlone(AuditRecord* audit, const Outcome& outcome) {
  if (audit == nullptr) {
    return;
  }
  audit->outcome = {{"error", outcome.reason}, {"message", outcome.message}};
  try {
    Writing([&] {
      DbTransaction dbTxn(db_);
      WriteAudit(*audit);
      dbTxn.Commit();
    });
  } catch (const DatabaseError&) {
    // The refusal stands; the failing journal is reported by Failure.
  }
}

std::vector<AuditRecord> Journal::AuditRecords(const AuditFilter& filter) {
  std::lock_guard lock(readMutex_);
  auto s = readDb_->Cached(
      "SELECT id, at_ms, actor, kind, method, path, body, outcome FROM audit "
      "WHERE (?1 IS NULL OR at_ms >= ?1) AND (?2 IS NULL OR at_ms < ?2) AND "
      "(?3 IS NULL OR actor = ?3) AND (?4 IS NULL OR kind = ?4) ORDER BY id DESC LIMIT ?5");
  s->Bind(1, filter.fromMs)
      .Bind(2, filter.toMs)
      .Bind(3, filter.actor)
      .Bind(4, filter.kind)
      .Bind(5, static_cast<std::int64_t>(filter.limit));
  std::vector<AuditRecord> out;
  while (s->Step()) {
    out.push_back({.id = s->Int(0),
                   .atMs = s->Int(1),
                   .actor = s->Text(2),
                   .kind = s->Text(3),
                   .method = s->Text(4),
                   .path = s->Text(5),
                   .body = Parsed(s->Text(6)),
                   .outcome = Parsed(s->Text(7))});
  }
  return out;
}

// --- Prices

void Journal::WritePriceLog(const std::string& pumpId, std::optional<std::int64_t> oldHundredths,
                            std::int64_t newHundredths, std::optional<std::int64_t> setId,
                            const std::string& actor) {
  db_.Cached(
         "INSERT INTO price_log(pump_id, old_hundredths, new_hundredths, set_id, actor, at_ms) "
         "VALUES(?1, ?2, ?3, ?4, ?5, ?6)")
      ->Bind(1, pumpId)
      .Bind(2, oldHundredths)
      .Bind(3, newHundredths)
      .Bind(4, setId)
      .Bind(5, actor)
      .Bind(6, nowMs_())
      .Run();
  Enqueue("price-log", ToJson(PriceChange{
                           .id = db_.LastInsertId(),
                           .pumpId = pumpId,
                           .oldPrice = oldHundredths ? std::optional(FromHundredths(*oldHundredths))
                                                     : std::nullopt,
                           .newPrice = FromHundredths(newHundredths),
                           .setId = setId,
                           .actor = actor,
                           .atMs = nowMs_()}));
}

// Under `mutex_`, after a set or a pump's price changed.
void Journal::RefreshNextPriceDue() {
  auto s = db_.Cached(
      "SELECT min(s.effective_ms) FROM price_sets s JOIN price_set_pumps p ON p.set_id = s.id "
      "WHERE s.state != 'cancelled' AND p.applied_ms IS NULL");
  nextPriceDueMs_.store(s->Step() && !s->IsNull(0) ? s->Int(0)
                                                   : std::numeric_limits<std::int64_t>::max());
}

void Journal::CreatePriceSet(PriceSet& set, AuditRecord& audit) {
  std::lock_guard lock(mutex_);
  set.createdMs = set.changedMs = nowMs_();
  set.state = PriceSetState::kScheduled;
  Writing([&] {
    DbTransaction dbTxn(db_);
    if (!set.commandId.empty()) {
      // A command that came again after a crash lost its "taken" mark.
      auto s = db_.Cached("SELECT id FROM price_sets WHERE command_id = ?1");
      s->Bind(1, set.commandId);
      if (s->Step()) {
        set.id = s->Int(0);
        return;
      }
    }
    db_.Cached(
           "INSERT INTO price_sets(effective_ms, state, actor, created_ms, changed_ms, "
           "command_id) VALUES(?1, 'scheduled', ?2, ?3, ?3, ?4)")
        ->Bind(1, set.effectiveMs)
        .Bind(2, set.actor)
        .Bind(3, set.createdMs)
        .Bind(4, set.commandId.empty() ? std::nullopt : std::optional(set.commandId))
        .Run();
    set.id = db_.LastInsertId();
    for (const PriceSetPump& pump : set.pumps) {
      db_.Cached(
             "INSERT INTO price_set_pumps(set_id, pump_id, price_hundredths) VALUES(?1, ?2, ?3)")
          ->Bind(1, set.id)
          .Bind(2, pump.pumpId)
          .Bind(3, PriceHundredths(pump.price))
          .Run();
    }
    audit.outcome = {{"price_set", set.id}};
    WriteAudit(audit);
    dbTxn.Commit();
  });
  RefreshNextPriceDue();
}

Outcome Journal::CancelPriceSet(std::int64_t id, AuditRecord& audit) {
  std::lock_guard lock(mutex_);
  std::optional<std::string> state;
  {
    auto s = db_.Cached("SELECT state FROM price_sets WHERE id = ?1");
    s->Bind(1, id);
    if (s->Step()) {
      state = s->Text(0);
    }
  }
  if (!state) {
    Outcome refusal = Outcome::Refused("not-found", "no price set " + std::to_string(id));
    AuditAlone(&audit, refusal);
    return refusal;
  }
  if (*state != "scheduled") {
    Outcome refusal =
        Outcome::Refused("already-" + *state, "price set " + std::to_string(id) + " is " + *state);
    AuditAlone(&audit, refusal);
    return refusal;
  }
  Writing([&] {
    DbTransaction dbTxn(db_);
    // Guarded by its state: a pump that took it meanwhile keeps it.
    db_.Cached(
           "UPDATE price_sets SET state = 'cancelled', changed_ms = ?2 "
           "WHERE id = ?1 AND state = 'scheduled'")
        ->Bind(1, id)
        .Bind(2, nowMs_())
        .Run();
    audit.outcome = {{"price_set", id}, {"state", "cancelled"}};
    WriteAudit(audit);
    dbTxn.Commit();
  });
  RefreshNextPriceDue();
  return {};
}

std::vector<PriceSet> Journal::PriceSets(std::size_t limit) {
  std::lock_guard lock(readMutex_);
  std::vector<PriceSet> out;
  auto s = readDb_->Cached(
      "SELECT id, effective_ms, state, actor, created_ms, changed_ms FROM price_sets "
      "ORDER BY id DESC LIMIT ?1");
  s->Bind(1, static_cast<std::int64_t>(limit));
  while (s->Step()) {
    out.push_back({.id = s->Int(0),
                   .effectiveMs = s->Int(1),
                   .state = PriceSetStateByName(s->Text(2)),
                   .actor = s->Text(3),
                   .createdMs = s->Int(4),
                   .changedMs = s->Int(5)});
  }
  for (PriceSet& set : out) {
    auto p = readDb_->Cached(
        "SELECT pump_id, price_hundredths, applied_ms FROM price_set_pumps WHERE set_id = ?1 "
        "ORDER BY pump_id");
    p->Bind(1, set.id);
    while (p->Step()) {
      set.pumps.push_back({.pumpId = p->Text(0),
                           .price = FromHundredths(p->Int(1)),
                           .appliedMs = p->OptionalInt(2)});
    }
  }
  return out;
}

std::vector<DuePrice> Journal::DuePrices(std::int64_t nowMs) {
  std::lock_guard lock(mutex_);
  auto s = db_.Cached(
      "SELECT s.id, p.pump_id, p.price_hundredths, s.actor FROM price_sets s "
      "JOIN price_set_pumps p ON p.set_id = s.id "
      "WHERE s.state != 'cancelled' AND p.applied_ms IS NULL AND s.effective_ms <= ?1 "
      "ORDER BY s.effective_ms, s.id");
  s->Bind(1, nowMs);
  std::vector<DuePrice> out;
  while (s->Step()) {
    out.push_back({.setId = s->Int(0),
                   .pumpId = s->Text(1),
                   .price = FromHundredths(s->Int(2)),
                   .actor = s->Text(3)});
  }
  return out;
}

bool Journal::ApplyPrice(const DuePrice& due, std::optional<double> oldPrice) {
  std::lock_guard lock(mutex_);
  const bool applied = Writing([&] {
    DbTransaction dbTxn(db_);
    const std::int64_t now = nowMs_();
    db_.Cached(
           "UPDATE price_set_pumps SET applied_ms = ?3 WHERE set_id = ?1 AND pump_id = ?2 AND "
           "applied_ms IS NULL AND "
           "(SELECT state FROM price_sets WHERE id = ?1) != 'cancelled'")
        ->Bind(1, due.setId)
        .Bind(2, due.pumpId)
        .Bind(3, now)
        .Run();
    if (db_.Changes() != 1) {
      return false;
    }
    db_.Cached(
           "UPDATE price_sets SET state = 'applied', changed_ms = ?2 "
           "WHERE id = ?1 AND state = 'scheduled'")
        ->Bind(1, due.setId)
        .Bind(2, now)
        .Run();
    db_.Cached("UPDATE pumps SET price_hundredths = ?2, price_set_id = ?3 WHERE id = ?1")
        ->Bind(1, due.pumpId)
        .Bind(2, PriceHundredths(due.price))
        .Bind(3, due.setId)
        .Run();
    WritePriceLog(due.pumpId, oldPrice ? std::optional(PriceHundredths(*oldPrice)) : std::nullopt,
                  PriceHundredths(due.price), due.setId, due.actor);
    dbTxn.Commit();
    return true;
  });
  RefreshNextPriceDue();
  return applied;
}

std::vector<PriceChange> Journal::PriceLog(const PriceLogFilter& filter) {
  std::lock_guard lock(readMutex_);
  auto s = readDb_->Cached(
      "SELECT id, pump_id, old_hundredths, new_hundredths, set_id, actor, at_ms FROM price_log "
      "WHERE (?1 IS NULL OR pump_id = ?1) AND (?2 IS NULL OR at_ms >= ?2) AND "
      "(?3 IS NULL OR at_ms < ?3) ORDER BY id LIMIT ?4");
  s->Bind(1, filter.pumpId)
      .Bind(2, filter.fromMs)
      .Bind(3, filter.toMs)
      .Bind(4, static_cast<std::int64_t>(filter.limit));
  std::vector<PriceChange> out;
  while (s->Step()) {
    const std::optional<std::int64_t> old = s->OptionalInt(2);
    out.push_back({.id = s->Int(0),
                   .pumpId = s->Text(1),
                   .oldPrice = old ? std::optional(FromHundredths(*old)) : std::nullopt,
                   .newPrice = FromHundredths(s->Int(3)),
                   .setId = s->OptionalInt(4),
                   .actor = s->Text(5),
                   .atMs = s->Int(6)});
  }
  return out;
}

}  // namespace tarvenix::forecourt
