#include "forecourt/database.hpp"

#include <sqlite3.h>

namespace tarvenix::forecourt {
namespace {

[[noreturn]] void Raise(sqlite3* db, std::string_view what) {
  throw DatabaseError(std::string(what) + ": " +
                      (db != nullptr ? sqlite3_errmsg(db) : "out of memory"));
}

}  // namespace

Database::Database(const std::string& path, Mode mode) {
  const int flags = (mode == Mode::kReadOnly ? SQLITE_OPEN_READONLY
                                             : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) |
                    SQLITE_OPEN_FULLMUTEX;
  const int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
  if (rc != SQLITE_OK) {
    const std::string message = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    throw DatabaseError("cannot open " + path + ": " + message);
  }
  // Another connection (a backup, a person with the sqlite3 shell) may hold
  // the lock for a moment.
  sqlite3_busy_timeout(db_, 5000);
}

Database::~Database() {
  cache_.clear();  // statements before their connection
  sqlite3_close(db_);
}

void Database::Execute(std::string_view sql) {
  const std::string text(sql);
  char* error = nullptr;
  if (sqlite3_exec(db_, text.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string message = error != nullptr ? error : "unknown error";
    sqlite3_free(error);
    throw DatabaseError(message + " in: " + text.substr(0, 80));
  }
}

Statement Database::Prepare(std::string_view sql) {
  return Statement(db_, sql);
}

Database::Lease Database::Cached(std::string_view sql) {
  auto it = cache_.find(std::string(sql));
  if (it == cache_.end()) {
    it = cache_.emplace(std::string(sql), std::make_unique<Statement>(db_, sql)).first;
  }
  return Lease(*it->second);
}

std::int64_t Database::LastInsertId() const {
  return sqlite3_last_insert_rowid(db_);
}

std::int64_t Database::Changes() const {
  return sqlite3_changes64(db_);
}

std::int64_t Database::QueryInt(std::string_view sql) {
  Statement statement(db_, sql);
  return statement.Step() ? statement.Int(0) : 0;
}

std::string Database::QueryText(std::string_view sql) {
  Statement statement(db_, sql);
  return statement.Step() ? statement.Text(0) : std::string();
}

Statement::Statement(sqlite3* db, std::string_view sql) : db_(db) {
  if (sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr) !=
      SQLITE_OK) {
    Raise(db, "cannot prepare '" + std::string(sql.substr(0, 60)) + "'");
  }
}

Statement::Statement(Statement&& other) noexcept : db_(other.db_), stmt_(other.stmt_) {
  other.stmt_ = nullptr;
}

Statement::~Statement() {
  sqlite3_finalize(stmt_);
}

Statement& Statement::Bind(int index, std::int64_t value) {
  if (sqlite3_bind_int64(stmt_, index, value) != SQLITE_OK) {
    Raise(db_, "bind");
  }
  return *this;
}

Statement& Statement::Bind(int index, double value) {
  if (sqlite3_bind_double(stmt_, index, value) != SQLITE_OK) {
    Raise(db_, "bind");
  }
  return *this;
}

Statement& Statement::Bind(int index, std::string_view value) {
  if (sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()),
                        SQLITE_TRANSIENT) != SQLITE_OK) {
    Raise(db_, "bind");
  }
  return *this;
}

Statement& Statement::BindNull(int index) {
  if (sqlite3_bind_null(stmt_, index) != SQLITE_OK) {
    Raise(db_, "bind");
  }
  return *this;
}

bool Statement::Step() {
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) {
    return true;
  }
  if (rc == SQLITE_DONE) {
    return false;
  }
  Raise(db_, "step");
}

void Statement::Run() {
  while (Step()) {
  }
}

void Statement::Reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

bool Statement::IsNull(int column) const {
  return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

std::int64_t Statement::Int(int column) const {
  return sqlite3_column_int64(stmt_, column);
}

double Statement::Real(int column) const {
  return sqlite3_column_double(stmt_, column);
}

std::string Statement::Text(int column) const {
  const auto* text = sqlite3_column_text(stmt_, column);
  if (text == nullptr) {
    return {};
  }
  return std::string(reinterpret_cast<const char*>(text),
                     static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)));
}

std::optional<std::int64_t> Statement::OptionalInt(int column) const {
  if (IsNull(column)) {
    return std::nullopt;
  }
  return Int(column);
}

DbTransaction::DbTransaction(Database& db) : db_(db) {
  db_.Execute("BEGIN IMMEDIATE");
}

DbTransaction::~DbTransaction() {
  if (!done_) {
    try {
      db_.Execute("ROLLBACK");
    } catch (const DatabaseError&) {
      // The rollback of a failed transaction: SQLite may have rolled back
      // already, and there is nothing more to undo.
    }
  }
}

void DbTransaction::Commit() {
  db_.Execute("COMMIT");
  done_ = true;
}

}  // namespace tarvenix::forecourt
