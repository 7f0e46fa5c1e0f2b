// A thin RAII layer over SQLite: a connection, prepared statements and
// transactions. Every failure raises DatabaseError with SQLite's message, so
// a caller never carries on past a write that did not happen.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>

struct sqlite3;
struct sqlite3_stmt;

namespace tarvenix::forecourt {

class DatabaseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Statement;

class Database {
 public:
  enum class Mode { kReadWrite, kReadOnly };
  // Opens (creating if need be, unless read-only) the database at `path`.
  explicit Database(const std::string& path, Mode mode = Mode::kReadWrite);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // Runs one or more statements that return no rows.
  void Execute(std::string_view sql);
  Statement Prepare(std::string_view sql);
  // A statement prepared once per connection, reset (its bindings cleared
  // and any read it holds ended) when the lease goes. One lease of a given
  // statement at a time.
  class Lease;
  Lease Cached(std::string_view sql);
  std::int64_t LastInsertId() const;
  // Rows changed by the last statement.
  std::int64_t Changes() const;
  // The value of a PRAGMA or any one-value query.
  std::int64_t QueryInt(std::string_view sql);
  std::string QueryText(std::string_view sql);

  sqlite3* Handle() const { return db_; }

 private:
  sqlite3* db_ = nullptr;
  std::unordered_map<std::string, std::unique_ptr<Statement>> cache_;
};

class Statement {
 public:
  Statement(sqlite3* db, std::string_view sql);
  ~Statement();
  Statement(Statement&& other) noexcept;
  Statement& operator=(Statement&&) = delete;
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  // Parameters are numbered from 1.
  Statement& Bind(int index, std::int64_t value);
  Statement& Bind(int index, double value);
  Statement& Bind(int index, std::string_view value);
  Statement& BindNull(int index);
  template <typename T>
  Statement& Bind(int index, const std::optional<T>& value) {
    return value ? Bind(index, *value) : BindNull(index);
  }
  Statement& Bind(int index, int value) { return Bind(index, static_cast<std::int64_t>(value)); }
  Statement& Bind(int index, const std::string& value) {
    return Bind(index, std::string_view(value));
  }
  Statement& Bind(int index, const char* value) { return Bind(index, std::string_view(value)); }

  // Steps once: true while a row is there to read.
  bool Step();
  // Steps to the end, for statements that return no rows.
  void Run();
  void Reset();

  // Columns are numbered from 0.
  bool IsNull(int column) const;
  std::int64_t Int(int column) const;
  double Real(int column) const;
  std::string Text(int column) const;
  std::optional<std::int64_t> OptionalInt(int column) const;

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

class Database::Lease {
 public:
  explicit Lease(Statement& statement) : statement_(statement) {}
  ~Lease() { statement_.Reset(); }
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;
  Statement& operator*() const { return statement_; }
  Statement* operator->() const { return &statement_; }

 private:
  Statement& statement_;
};

// BEGIN IMMEDIATE on construction; rolled back unless Commit() was called.
class DbTransaction {
 public:
  explicit DbTransaction(Database& db);
  ~DbTransaction();
  DbTransaction(const DbTransaction&) = delete;
  DbTransaction& operator=(const DbTransaction&) = delete;
  void Commit();

 private:
  Database& db_;
  bool done_ = false;
};

}  // namespace tarvenix::forecourt
