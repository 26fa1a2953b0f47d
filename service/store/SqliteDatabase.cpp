#include "service/store/SqliteDatabase.h"

#include <sqlite3.h>

#include <atomic>
#include <utility>

#include "runtime/NoWaitScope.h"

namespace {
std::atomic<std::uint64_t> gErrorsRaised{0};
}

std::uint64_t SqliteErrorsRaised() { return gErrorsRaised.load(std::memory_order_relaxed); }

void RaiseSqliteError(sqlite3* db, int rc, std::string_view doing) {
  const char* text = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  std::string message = std::string(doing) + ": " + (text ? text : sqlite3_errstr(rc));
  // Another program's lock, met where waiting for it is not allowed (the
  // busy handler gave up at once): the work is to be done where it is.
  if ((rc & 0xFF) == SQLITE_BUSY && TNoWaitScope::Current()) throw EWouldWait(message);
  gErrorsRaised.fetch_add(1, std::memory_order_relaxed);
  switch (rc & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_FULL:
    case SQLITE_READONLY:
    case SQLITE_IOERR:
    case SQLITE_NOMEM:
    case SQLITE_CANTOPEN:
    case SQLITE_PROTOCOL:
      throw EStoreUnavailable(message);
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      throw EStoreCorrupt(message);
    default:
      throw EStoreError(message);
  }
}

TSqliteStatement::TSqliteStatement(sqlite3* db, std::string_view sql) : db_(db) {
  const int rc =
      sqlite3_prepare_v3(db, sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr);
  if (rc != SQLITE_OK) RaiseSqliteError(db, rc, "preparing a statement");
}

TSqliteStatement::~TSqliteStatement() { sqlite3_finalize(stmt_); }

TSqliteStatement::TSqliteStatement(TSqliteStatement&& other) noexcept
    : db_(other.db_), stmt_(std::exchange(other.stmt_, nullptr)) {}

TSqliteStatement& TSqliteStatement::operator=(TSqliteStatement&& other) noexcept {
  if (this != &other) {
    sqlite3_finalize(stmt_);
    db_ = other.db_;
    stmt_ = std::exchange(other.stmt_, nullptr);
  }
  return *this;
}

TSqliteStatement& TSqliteStatement::Bind(int index, std::int64_t value) {
  const int rc = sqlite3_bind_int64(stmt_, index, value);
  if (rc != SQLITE_OK) RaiseSqliteError(db_, rc, "binding a value");
  return *this;
}

TSqliteStatement& TSqliteStatement::Bind(int index, std::string_view text) {
  // SQLITE_TRANSIENT: SQLite copies the text, so the caller's may go at once.
  const int rc = sqlite3_bind_text64(stmt_, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
  if (rc != SQLITE_OK) RaiseSqliteError(db_, rc, "binding a text");
  return *this;
}

bool TSqliteStatement::Step() {
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  // The statement must be usable again after a failure (a busy database, say).
  sqlite3_reset(stmt_);
  RaiseSqliteError(db_, rc, "running a statement");
}

void TSqliteStatement::Run() {
  while (Step()) {
  }
}

void TSqliteStatement::Reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

std::int64_t TSqliteStatement::Int(int column) const { return sqlite3_column_int64(stmt_, column); }

std::string TSqliteStatement::Text(int column) const {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
  return text ? std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column))) : std::string();
}

bool TSqliteStatement::IsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

TSqliteDatabase::TSqliteDatabase(const std::string& file, bool create) : file_(file) {
  // Full mutex off: the owner serialises; NOFOLLOW: the file named is the file used.
  const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_NOMUTEX |
                    SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_EXRESCODE;
  const int rc = sqlite3_open_v2(file.c_str(), &db_, flags, nullptr);
  if (rc != SQLITE_OK) {
    const std::string text = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    sqlite3_close(db_);
    db_ = nullptr;
    throw EStoreError("cannot open " + file + ": " + text);
  }
}

TSqliteDatabase::~TSqliteDatabase() {
  cached_.clear();
  sqlite3_close_v2(db_);
}

void TSqliteDatabase::Exec(std::string_view sql) {
  const std::string text(sql);
  const int rc = sqlite3_exec(db_, text.c_str(), nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) RaiseSqliteError(db_, rc, "running " + text.substr(0, text.find_first_of(" (")));
}

TSqliteStatement TSqliteDatabase::Prepare(std::string_view sql) { return TSqliteStatement(db_, sql); }

TSqliteStatement& TSqliteDatabase::Cached(std::string_view sql) {
  auto it = cached_.find(sql);
  if (it == cached_.end()) it = cached_.emplace(std::string(sql), TSqliteStatement(db_, sql)).first;
  return it->second;
}

std::string TSqliteDatabase::QueryText(std::string_view sql) {
  TSqliteStatement s(db_, sql);
  return s.Step() ? s.Text(0) : std::string();
}

std::int64_t TSqliteDatabase::QueryInt(std::string_view sql) {
  TSqliteStatement s(db_, sql);
  return s.Step() ? s.Int(0) : 0;
}

std::int64_t TSqliteDatabase::LastInsertId() const { return sqlite3_last_insert_rowid(db_); }

int TSqliteDatabase::Changes() const { return sqlite3_changes(db_); }

bool TSqliteDatabase::ReadOnly() const { return sqlite3_db_readonly(db_, "main") == 1; }

TSqliteTransaction::TSqliteTransaction(TSqliteDatabase& db) : db_(db) { db_.Exec("BEGIN IMMEDIATE"); }

TSqliteTransaction::~TSqliteTransaction() {
  // A failed statement may have ended the transaction already; then this is a no-op.
  if (open_ && !sqlite3_get_autocommit(db_.Handle())) sqlite3_exec(db_.Handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void TSqliteTransaction::Commit() {
  db_.Exec("COMMIT");
  open_ = false;
}
