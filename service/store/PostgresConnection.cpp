#include "service/store/PostgresConnection.h"

#include <libpq-fe.h>

#include <charconv>

TPostgresParams& TPostgresParams::Add(std::string_view text) {
  values_.emplace_back(text);
  null_.push_back(false);
  return *this;
}

TPostgresParams& TPostgresParams::Add(std::int64_t number) { return Add(std::string_view(std::to_string(number))); }

TPostgresParams& TPostgresParams::Add(bool value) { return Add(std::string_view(value ? "true" : "false")); }

TPostgresParams& TPostgresParams::AddNull() {
  values_.emplace_back();
  null_.push_back(true);
  return *this;
}

std::vector<const char*> TPostgresParams::Pointers() const {
  std::vector<const char*> pointers;
  for (std::size_t i = 0; i < values_.size(); ++i) pointers.push_back(null_[i] ? nullptr : values_[i].c_str());
  return pointers;
}

void TPostgresResult::TFree::operator()(pg_result* r) const { PQclear(r); }

TPostgresResult::TPostgresResult(pg_result* result) : result_(result) {}

int TPostgresResult::Rows() const { return PQntuples(result_.get()); }

bool TPostgresResult::IsNull(int row, int column) const { return PQgetisnull(result_.get(), row, column) != 0; }

std::string TPostgresResult::Text(int row, int column) const {
  return std::string(PQgetvalue(result_.get(), row, column),
                     static_cast<std::size_t>(PQgetlength(result_.get(), row, column)));
}

std::int64_t TPostgresResult::Int(int row, int column) const {
  const char* text = PQgetvalue(result_.get(), row, column);
  const char* end = text + PQgetlength(result_.get(), row, column);
  std::int64_t value = 0;
  const auto [stop, error] = std::from_chars(text, end, value);
  if (error != std::errc() || stop != end || text == end)
    throw EStoreCorrupt("the database holds \"" + std::string(text, end) + "\" where a number belongs");
  return value;
}

bool TPostgresResult::Bool(int row, int column) const { return Text(row, column) == "t"; }

std::int64_t TPostgresResult::Changed() const {
  const char* text = PQcmdTuples(result_.get());
  std::int64_t value = 0;
  std::from_chars(text, text + std::char_traits<char>::length(text), value);
  return value;
}

namespace {
// libpq's message without the line feed it ends with.
std::string Message(const char* text) {
  std::string message = text;
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
  return message;
}
}  // namespace

TPostgresConnection::TPostgresConnection(const std::string& uri, const char* application) {
  // Earlier keywords give way to what the URI itself says. Over TCP, a
  // server that stops answering (a network gone, a host powered off) ends
  // the connection within seconds instead of holding a worker for hours.
  const std::string timeout = std::to_string(ConnectSeconds);
  const char* keys[] = {"connect_timeout", "application_name", "keepalives_idle", "keepalives_interval",
                        "keepalives_count", "tcp_user_timeout", "dbname", nullptr};
  const char* values[] = {timeout.c_str(), application, "10", "5", "3", "20000", uri.c_str(), nullptr};
  conn_ = PQconnectdbParams(keys, values, 1);
  if (!conn_) throw EStoreUnavailable("cannot reach PostgreSQL: out of memory");
  if (PQstatus(conn_) != CONNECTION_OK) {
    const std::string why = Message(PQerrorMessage(conn_));
    PQfinish(conn_);
    conn_ = nullptr;
    throw EStoreUnavailable("cannot reach PostgreSQL: " + why);
  }
  // Every row's text as the service wrote it, whatever the server's default.
  Exec("SET client_encoding = 'UTF8'");
}

TPostgresConnection::~TPostgresConnection() {
  if (conn_) PQfinish(conn_);
}

std::string TPostgresConnection::Where() const {
  const char* host = PQhost(conn_);
  return std::string("database ") + PQdb(conn_) + " on " + (host && *host ? host : "the local socket");
}

void TPostgresConnection::Usable() const {
  if (broken_) throw EStoreUnavailable("PostgreSQL: the connection was lost");
}

void TPostgresConnection::Raise(pg_result* result, const std::string& what) {
  std::string message = Message(result ? PQresultErrorMessage(result) : "");
  if (message.empty()) message = Message(PQerrorMessage(conn_));
  const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  const std::string code = state ? state : "";
  if (result) PQclear(result);
  if (PQstatus(conn_) != CONNECTION_OK) broken_ = true;
  message = "PostgreSQL " + what + ": " + message;
  // Classes 08 (connection), 53 (resources), 57P (shutting down, cannot
  // connect now), and a transaction that lost a race: all pass with time.
  if (broken_ || code.rfind("08", 0) == 0 || code.rfind("53", 0) == 0 || code.rfind("57P", 0) == 0 ||
      code == "40001" || code == "40P01" || code == "55P03" || code == "57014")
    throw EStoreUnavailable(message);
  if (code == "XX001" || code == "XX002") throw EStoreCorrupt(message);
  throw EStoreError(message + (code.empty() ? "" : " (SQLSTATE " + code + ")"));
}

TPostgresResult TPostgresConnection::Check(pg_result* result, const std::string& what) {
  const ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) Raise(result, what);
  return TPostgresResult(result);
}

const std::string& TPostgresConnection::Prepared(const std::string& sql) {
  auto it = prepared_.find(sql);
  if (it == prepared_.end()) {
    const std::string name = "s" + std::to_string(prepared_.size());
    Check(PQprepare(conn_, name.c_str(), sql.c_str(), 0, nullptr), "refused a statement");
    it = prepared_.emplace(sql, name).first;
  }
  return it->second;
}

TPostgresResult TPostgresConnection::Run(const std::string& sql, const TPostgresParams& params) {
  Usable();
  const std::string& name = Prepared(sql);
  const std::vector<const char*> values = params.Pointers();
  return Check(PQexecPrepared(conn_, name.c_str(), params.Count(), values.data(), nullptr, nullptr, 0), "failed");
}

void TPostgresConnection::EnterPipeline(const std::vector<const std::string*>& statements) {
  Usable();
  for (const std::string* sql : statements) Prepared(*sql);
  // Without waiting to send: a long group of statements must not block on
  // a server that is busy writing the results of its first ones.
  if (PQsetnonblocking(conn_, 1) != 0 || PQenterPipelineMode(conn_) != 1) Raise(nullptr, "refused pipeline mode");
}

void TPostgresConnection::Send(const std::string& sql, const TPostgresParams& params) {
  Usable();
  const auto it = prepared_.find(sql);
  if (it == prepared_.end()) throw EStoreError("PostgreSQL: a statement sent in a pipeline was not prepared");
  const std::vector<const char*> values = params.Pointers();
  if (PQsendQueryPrepared(conn_, it->second.c_str(), params.Count(), values.data(), nullptr, nullptr, 0) != 1) {
    broken_ = true;
    Raise(nullptr, "took no statement");
  }
}

void TPostgresConnection::Sync() {
  Usable();
  if (PQpipelineSync(conn_) != 1) {
    broken_ = true;
    Raise(nullptr, "took no sync");
  }
}

void TPostgresConnection::OutOfStep() {
  broken_ = true;
  const std::string why = Message(PQerrorMessage(conn_));
  throw EStoreUnavailable("PostgreSQL: the pipeline's results are out of step" + (why.empty() ? "" : ": " + why));
}

void TPostgresConnection::EndOfResults() {
  if (pg_result* more = PQgetResult(conn_)) {
    PQclear(more);
    OutOfStep();
  }
}

TPostgresResult TPostgresConnection::Next() {
  Usable();
  // Waits for the result (whatever the connection's sending mode), sending
  // what is still unsent first.
  pg_result* r = PQgetResult(conn_);
  if (!r) OutOfStep();
  switch (PQresultStatus(r)) {
    case PGRES_TUPLES_OK:
    case PGRES_COMMAND_OK: {
      TPostgresResult result(r);
      EndOfResults();
      return result;
    }
    case PGRES_PIPELINE_ABORTED:
      PQclear(r);
      EndOfResults();
      throw EStoreError("PostgreSQL skipped a statement after one that failed");
    default:
      // The statement's own error: past the end of its results first, so
      // that the next statement's result is next.
      if (PQstatus(conn_) == CONNECTION_OK)
        if (pg_result* more = PQgetResult(conn_)) {
          PQclear(more);
          PQclear(r);
          OutOfStep();
        }
      Raise(r, "failed");
  }
}

void TPostgresConnection::Synced() {
  Usable();
  pg_result* r = PQgetResult(conn_);
  const bool synced = r && PQresultStatus(r) == PGRES_PIPELINE_SYNC;
  if (r) PQclear(r);
  if (!synced) OutOfStep();
}

void TPostgresConnection::Exec(const std::string& sql) {
  Usable();
  Check(PQexec(conn_, sql.c_str()), "failed");
}

TPostgresTransaction::TPostgresTransaction(TPostgresConnection& c, const char* begin) : c_(c) { c_.Exec(begin); }

TPostgresTransaction::~TPostgresTransaction() {
  if (done_ || c_.Broken()) return;
  try {
    c_.Exec("ROLLBACK");
  } catch (const EStoreError&) {
    // The connection is broken now, and the server rolled back with it.
  }
}

void TPostgresTransaction::Commit() {
  done_ = true;
  c_.Exec("COMMIT");
}

TPostgresPool::TPostgresPool(std::string uri, std::size_t size) : uri_(std::move(uri)), size_(size ? size : 1) {}

TPostgresPool::~TPostgresPool() = default;

TPostgresPool::TLease::~TLease() {
  if (c_) pool_->Give(std::move(c_));
}

TPostgresPool::TLease TPostgresPool::Take() {
  std::unique_lock<std::mutex> guard(lock_);
  for (;;) {
    if (!idle_.empty()) {
      std::unique_ptr<TPostgresConnection> c = std::move(idle_.back());
      idle_.pop_back();
      return TLease(*this, std::move(c));
    }
    if (open_ < size_) break;
    freed_.wait(guard);
  }
  const auto now = std::chrono::steady_clock::now();
  if (now < backoff_.Until())
    throw EStoreUnavailable(lastError_ + " (trying again in " +
                            std::to_string(
                                std::chrono::duration_cast<std::chrono::milliseconds>(backoff_.Until() - now).count()) +
                            " ms)");
  ++open_;
  guard.unlock();
  try {
    auto c = std::make_unique<TPostgresConnection>(uri_);
    guard.lock();
    backoff_.Succeeded();
    guard.unlock();
    return TLease(*this, std::move(c));
  } catch (const EStoreError& e) {
    guard.lock();
    --open_;
    backoff_.Failed();
    lastError_ = e.Message();
    freed_.notify_one();
    throw;
  }
}

void TPostgresPool::Give(std::unique_ptr<TPostgresConnection> c) {
  std::vector<std::unique_ptr<TPostgresConnection>> dropped;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (c->Broken()) {
      // The server went away: the idle ones went with it, though they do not know it yet.
      dropped.swap(idle_);
      dropped.push_back(std::move(c));
      open_ -= dropped.size();
    } else {
      idle_.push_back(std::move(c));
    }
  }
  freed_.notify_all();
}

std::int64_t PostgresLockKey(std::string_view name) {
  std::uint64_t hash = 0xcbf29ce484222325u;
  for (unsigned char ch : name) {
    hash ^= ch;
    hash *= 0x100000001b3u;
  }
  return static_cast<std::int64_t>(hash);
}

bool PostgresRunAlone(TPostgresPool& pool, std::string_view task, const std::function<void()>& work) {
  const std::unique_ptr<TPostgresConnection> c = pool.Separate();
  const TPostgresParams key(PostgresLockKey(task));
  if (!c->Run("SELECT pg_try_advisory_lock($1)", key).Bool(0, 0)) return false;
  struct TUnlock {
    TPostgresConnection& c;
    const TPostgresParams& key;
    ~TUnlock() {
      if (c.Broken()) return;
      try {
        c.Run("SELECT pg_advisory_unlock($1)", key);
      } catch (const EStoreError&) {
        // The connection closes next, and the server drops the lock with it.
      }
    }
  } unlock{*c, key};
  work();
  return true;
}
