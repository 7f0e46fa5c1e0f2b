// The audit trail: who asked for what change and what came of it, and the
// hash chain that makes the journal's audit records and sales
// tamper-evident. Every audit record and every committed change of a sale
// appends an entry to the chain in the same commit: its content (the row as
// canonical JSON) and SHA-256(previous hash || content). A row edited behind
// the service's back then differs from its latest entry, and an edited
// entry breaks the hashes after it. The live readings of a delivery, written
// without a sync of their own, are not chained: they add no entry, and a
// fuelling sale may differ from its entry in them alone.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace tarvenix::forecourt {

class Database;

// One command as asked and as answered. `actor` is the token's name, or
// "local" without one; the request is its method, path and body (JSON,
// or the text as sent when it was no JSON).
struct AuditRecord {
  std::int64_t id = 0;
  std::int64_t atMs = 0;
  std::string actor = "local";
  std::string kind;  // "authorise", "stop", "price", "price-set", "lock", ...
  std::string method;
  std::string path;
  nlohmann::json body = nlohmann::json::object();
  nlohmann::json outcome = nlohmann::json::object();  // {"error": ...} or what was done
};

// The filters of GET /api/v1/audit.
struct AuditFilter {
  std::optional<std::int64_t> fromMs;
  std::optional<std::int64_t> toMs;
  std::optional<std::string> actor;
  std::optional<std::string> kind;
  std::size_t limit = 100;
};

// The hash of the first entry's predecessor.
inline constexpr std::string_view kChainGenesis =
    "0000000000000000000000000000000000000000000000000000000000000000";

// Lower-case hex SHA-256 of `prev` followed by `content`.
std::string ChainHash(std::string_view prev, std::string_view content);

// A row of `table` as canonical JSON: an object of every column (keys
// sorted), integers, text and nulls as stored; empty when there is no row.
std::string CanonicalRow(Database& db, std::string_view table, std::int64_t id);

// What --verify-journal found.
struct ChainReport {
  bool sound = true;
  std::int64_t entries = 0;
  // The first record that does not match.
  std::int64_t seq = 0;
  std::string kind;
  std::int64_t refId = 0;
  std::string reason;
};

// Walks the chain of the journal at `path`, opened read-only: every hash,
// and every audit record and sale against its latest entry. Raises
// DatabaseError when the journal cannot be opened.
ChainReport VerifyChain(const std::string& path);

}  // namespace tarvenix::forecourt
