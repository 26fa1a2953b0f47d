// A thin owner of SQLite's C API: one connection, its prepared statements
// and transactions, each released by its destructor.
//
// Every failure raises a store exception whose message names what was being
// done and SQLite's own text: EStoreUnavailable for what may pass (the
// database locked by another connection, the disk full, a read-only file,
// an I/O error, no memory), EStoreCorrupt for a damaged file or one that is
// no database, EStoreError for the rest. A transaction that is not committed
// is rolled back when it goes, so an exception never leaves half of one
// behind.
//
// A connection is used by one thread at a time; its owner serialises.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "service/model/ServiceStore.h"

struct sqlite3;
struct sqlite3_stmt;

class TSqliteStatement {
 public:
  TSqliteStatement() = default;
  TSqliteStatement(sqlite3* db, std::string_view sql);
  ~TSqliteStatement();
  TSqliteStatement(TSqliteStatement&& other) noexcept;
  TSqliteStatement& operator=(TSqliteStatement&& other) noexcept;
  TSqliteStatement(const TSqliteStatement&) = delete;
  TSqliteStatement& operator=(const TSqliteStatement&) = delete;

  // Parameters count from 1, as in SQL's "?1".
  TSqliteStatement& Bind(int index, std::int64_t value);
  TSqliteStatement& Bind(int index, std::string_view text);
  // One step: true while it yields a row, false once it is done.
  bool Step();
  // Steps to the end, for statements that yield no rows.
  void Run();
  // Ready to run again, with its parameters cleared.
  void Reset();

  // Columns count from 0.
  std::int64_t Int(int column) const;
  std::string Text(int column) const;
  bool IsNull(int column) const;

 private:
  sqlite3* db_ = nullptr;
  sqlite3_stmt* stmt_ = nullptr;
};

class TSqliteDatabase {
 public:
  // Opens the file; with create it is made when absent, otherwise an absent
  // file raises EStoreError.
  TSqliteDatabase(const std::string& file, bool create);
  ~TSqliteDatabase();
  TSqliteDatabase(const TSqliteDatabase&) = delete;
  TSqliteDatabase& operator=(const TSqliteDatabase&) = delete;

  // Runs statements that yield nothing, separated by ';'.
  void Exec(std::string_view sql);
  TSqliteStatement Prepare(std::string_view sql);
  // The statement for sql, prepared on its first use and kept with this
  // connection (so it goes when the connection does); hold it in a
  // TSqliteUse while using it.
  TSqliteStatement& Cached(std::string_view sql);
  // The first column of the first row of a query, as text ("" for none).
  std::string QueryText(std::string_view sql);
  std::int64_t QueryInt(std::string_view sql);

  std::int64_t LastInsertId() const;
  int Changes() const;
  // True when SQLite could open the file for reading only.
  bool ReadOnly() const;
  sqlite3* Handle() const { return db_; }
  const std::string& File() const { return file_; }

 private:
  sqlite3* db_ = nullptr;
  std::string file_;
  std::map<std::string, TSqliteStatement, std::less<>> cached_;
};

// Resets a statement kept for reuse however its use ends: a query left
// unreset would keep its read transaction open.
class TSqliteUse {
 public:
  explicit TSqliteUse(TSqliteStatement& s) : s_(s) {}
  ~TSqliteUse() { s_.Reset(); }
  TSqliteUse(const TSqliteUse&) = delete;
  TSqliteUse& operator=(const TSqliteUse&) = delete;
  TSqliteStatement* operator->() { return &s_; }
  TSqliteStatement& operator*() { return s_; }

 private:
  TSqliteStatement& s_;
};

// BEGIN IMMEDIATE on construction (the write lock is taken at once, so the
// transaction never has to give up half-way for another writer); rolled back
// on destruction unless committed.
class TSqliteTransaction {
 public:
  explicit TSqliteTransaction(TSqliteDatabase& db);
  ~TSqliteTransaction();
  TSqliteTransaction(const TSqliteTransaction&) = delete;
  TSqliteTransaction& operator=(const TSqliteTransaction&) = delete;
  void Commit();

 private:
  TSqliteDatabase& db_;
  bool open_ = true;
};

// Raises the store exception for SQLite's result code rc (never returns).
[[noreturn]] void RaiseSqliteError(sqlite3* db, int rc, std::string_view doing);
// How many errors RaiseSqliteError raised since the process started, on any connection (for /metrics).
std::uint64_t SqliteErrorsRaised();
