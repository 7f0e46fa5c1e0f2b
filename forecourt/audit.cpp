#include "forecourt/audit.hpp"

#include <openssl/evp.h>
#include <sqlite3.h>

#include <map>
#include <memory>
#include <tuple>
#include <utility>

#include "forecourt/database.hpp"

namespace tarvenix::forecourt {
namespace {

// The table each kind of chain entry stands for.
std::string_view TableOf(std::string_view kind) {
  return kind == "sale" ? "transactions" : "audit";
}

// Whether a record as it stands is its latest chain entry. The live
// readings of a delivery are written without a commit of their own and
// are not chained (the final reading is): a sale still fuelling may differ
// from its entry in those columns only.
bool Matches(const std::string& row, const std::string& entry) {
  if (row == entry) {
    return true;
  }
  nlohmann::json now = nlohmann::json::parse(row, nullptr, false);
  nlohmann::json then = nlohmann::json::parse(entry, nullptr, false);
  if (!now.is_object() || !then.is_object() || now.value("state", "") != "fuelling" ||
      then.value("state", "") != "fuelling") {
    return false;
  }
  for (const char* live : {"volume_hundredths", "money_thousandths", "updated_ms"}) {
    now.erase(live);
    then.erase(live);
  }
  return now == then;
}

}  // namespace

std::string ChainHash(std::string_view prev, std::string_view content) {
  const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(),
                                                                    EVP_MD_CTX_free);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1 ||
      EVP_DigestUpdate(ctx.get(), prev.data(), prev.size()) != 1 ||
      EVP_DigestUpdate(ctx.get(), content.data(), content.size()) != 1 ||
      EVP_DigestFinal_ex(ctx.get(), digest, &size) != 1) {
    // Nothing is written without its hash: the commit fails as a whole.
    throw DatabaseError("SHA-256 failed");
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (unsigned int i = 0; i < size; ++i) {
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 0xF];
  }
  return out;
}

std::string CanonicalRow(Database& db, std::string_view table, std::int64_t id) {
  const std::string sql = "SELECT * FROM " + std::string(table) + " WHERE id = ?1";
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db.Handle(), sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
    throw DatabaseError(sqlite3_errmsg(db.Handle()));
  }
  const std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> stmt(raw, sqlite3_finalize);
  sqlite3_bind_int64(raw, 1, id);
  const int step = sqlite3_step(raw);
  if (step == SQLITE_DONE) {
    return {};
  }
  if (step != SQLITE_ROW) {
    throw DatabaseError(sqlite3_errmsg(db.Handle()));
  }
  nlohmann::json row = nlohmann::json::object();  // keys sorted
  for (int i = 0; i < sqlite3_column_count(raw); ++i) {
    const std::string name = sqlite3_column_name(raw, i);
    switch (sqlite3_column_type(raw, i)) {
      case SQLITE_INTEGER:
        row[name] = static_cast<std::int64_t>(sqlite3_column_int64(raw, i));
        break;
      case SQLITE_FLOAT:
        row[name] = sqlite3_column_double(raw, i);
        break;
      case SQLITE_NULL:
        row[name] = nullptr;
        break;
      default:  // text; a blob is taken as its bytes
        row[name] = std::string(reinterpret_cast<const char*>(sqlite3_column_blob(raw, i)),
                                static_cast<std::size_t>(sqlite3_column_bytes(raw, i)));
        break;
    }
  }
  return row.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

ChainReport VerifyChain(const std::string& path) {
  Database db(path, Database::Mode::kReadOnly);
  db.Execute("PRAGMA query_only=ON");
  ChainReport report;
  auto fail = [&report](std::int64_t seq, std::string kind, std::int64_t ref, std::string why) {
    report.sound = false;
    report.seq = seq;
    report.kind = std::move(kind);
    report.refId = ref;
    report.reason = std::move(why);
  };
  if (db.QueryInt("SELECT count(*) FROM sqlite_master WHERE name = 'chain'") == 0) {
    fail(0, "", 0, "the journal has no chain: it was written by an older tarvenixd");
    return report;
  }
  // The latest entry of each record: (kind, id) -> (seq, content).
  std::map<std::pair<std::string, std::int64_t>, std::pair<std::int64_t, std::string>> latest;
  Statement entries =
      db.Prepare("SELECT seq, kind, ref_id, content, prev_hash, hash FROM chain ORDER BY seq");
  std::string prev(kChainGenesis);
  while (entries.Step()) {
    const std::int64_t seq = entries.Int(0);
    std::string kind = entries.Text(1);
    const std::int64_t ref = entries.Int(2);
    std::string content = entries.Text(3);
    ++report.entries;
    if (entries.Text(4) != prev) {
      fail(seq, kind, ref, "its previous hash is not the hash of the entry before");
      return report;
    }
    prev = entries.Text(5);
    if (ChainHash(entries.Text(4), content) != prev) {
      fail(seq, kind, ref, "its hash does not match its content");
      return report;
    }
    latest[{std::move(kind), ref}] = {seq, std::move(content)};
  }
  // Every record as it stands against its latest entry; the earliest
  // entry that no longer matches is the first record touched.
  std::optional<std::tuple<std::int64_t, std::string, std::int64_t>> first;
  for (const auto& [key, entry] : latest) {
    if (!Matches(CanonicalRow(db, TableOf(key.first), key.second), entry.second) &&
        (!first || entry.first < std::get<0>(*first))) {
      first = {entry.first, key.first, key.second};
    }
  }
  if (first) {
    const auto& [seq, kind, ref] = *first;
    fail(seq, kind, ref, "the record differs from its latest chain entry");
    return report;
  }
  // A record with no entry at all was added behind the service's back.
  for (const std::string kind : {"sale", "audit"}) {
    Statement rows = db.Prepare("SELECT id FROM " + std::string(TableOf(kind)) + " ORDER BY id");
    while (rows.Step()) {
      if (!latest.contains({kind, rows.Int(0)})) {
        fail(0, kind, rows.Int(0), "the record has no chain entry");
        return report;
      }
    }
  }
  return report;
}

}  // namespace tarvenix::forecourt
