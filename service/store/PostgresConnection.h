// The service's way to a PostgreSQL server, through libpq: a connection
// that prepares each statement once, results read by row and column, and a
// small pool of connections that several threads (and several stores of
// one process) share.
//
// Errors are the store's: a server that cannot be reached, went away, is
// shutting down or is out of resources raises EStoreUnavailable (and the
// connection is Broken, to be dropped); data the server calls damaged
// raises EStoreCorrupt; any other refusal EStoreError with the server's
// words. Messages never hold the connection URI, which may hold a password.
//
// libpq stays out of this header: only its two handle types are named.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "service/model/ServiceStore.h"

struct pg_conn;
struct pg_result;

// The values of a statement's $1, $2, ... in order, as text (NULL for none).
class TPostgresParams {
 public:
  TPostgresParams() = default;
  template <class... T>
  explicit TPostgresParams(const T&... values) {
    (Add(values), ...);
  }
  TPostgresParams& Add(std::string_view text);
  TPostgresParams& Add(const std::string& text) { return Add(std::string_view(text)); }
  TPostgresParams& Add(const char* text) { return Add(std::string_view(text)); }
  TPostgresParams& Add(std::int64_t number);
  TPostgresParams& Add(int number) { return Add(static_cast<std::int64_t>(number)); }
  // Counts beyond the largest bigint (a limit meaning "none") are that largest.
  TPostgresParams& Add(std::size_t number) {
    return Add(static_cast<std::int64_t>(std::min<std::size_t>(number, INT64_MAX)));
  }
  TPostgresParams& Add(bool value);
  TPostgresParams& AddNull();

  int Count() const { return static_cast<int>(values_.size()); }
  // For libpq: the values' C strings, a null pointer for NULL.
  std::vector<const char*> Pointers() const;

 private:
  std::vector<std::string> values_;
  std::vector<bool> null_;
};

// A statement's result, in libpq's text form.
class TPostgresResult {
 public:
  explicit TPostgresResult(pg_result* result);
  int Rows() const;
  bool IsNull(int row, int column) const;
  std::string Text(int row, int column) const;
  // Raises EStoreCorrupt when the value is no integer.
  std::int64_t Int(int row, int column) const;
  bool Bool(int row, int column) const;
  // The rows an INSERT, UPDATE or DELETE changed.
  std::int64_t Changed() const;

 private:
  struct TFree {
    void operator()(pg_result* r) const;
  };
  std::unique_ptr<pg_result, TFree> result_;
};

class TPostgresConnection {
 public:
  // Connects to uri (any libpq connection string or URI), waiting at most
  // ConnectSeconds unless the URI says otherwise; the server shows it as
  // application (pg_stat_activity).
  explicit TPostgresConnection(const std::string& uri, const char* application = "pinmark-service");
  ~TPostgresConnection();
  TPostgresConnection(const TPostgresConnection&) = delete;
  TPostgresConnection& operator=(const TPostgresConnection&) = delete;

  static constexpr int ConnectSeconds = 5;

  // Runs one statement with its parameters, prepared on this connection the
  // first time its text is seen.
  TPostgresResult Run(const std::string& sql, const TPostgresParams& params = TPostgresParams());
  // Runs statements without parameters and without preparing them (BEGIN,
  // COMMIT, a migration's steps).
  void Exec(const std::string& sql);
  // Pipeline mode, for a connection that sends statements without waiting
  // for each one's result and reads the results later, in order. Enters it
  // with the statements it will send prepared (those Run has prepared stay
  // so). Run and Exec are not for a connection in pipeline mode.
  void EnterPipeline(const std::vector<const std::string*>& statements);
  // Sends a prepared statement with its parameters; its result comes with Next.
  void Send(const std::string& sql, const TPostgresParams& params);
  // Ends a group of statements sent: they are one transaction, committed
  // unless one of them failed (then none of it stands).
  void Sync();
  // The next statement's result in order, waiting for it; raises as Run
  // does for a failed statement, and EStoreError for one skipped after it.
  TPostgresResult Next();
  // Waits for the end of the group Sync ended: its transaction has committed
  // or rolled back. Raises EStoreUnavailable (and the connection is Broken)
  // when results are not where they should be.
  void Synced();
  // The connection failed and is of no more use.
  bool Broken() const { return broken_; }
  // "database D on H" for messages: never the URI, which may hold a password.
  std::string Where() const;

 private:
  // Raises EStoreUnavailable once the connection is broken.
  void Usable() const;
  // Raises the store's exception for a failed result (and marks the
  // connection broken when the server went away).
  [[noreturn]] void Raise(pg_result* result, const std::string& what);
  TPostgresResult Check(pg_result* result, const std::string& what);
  // The name a statement was prepared under, preparing it the first time.
  const std::string& Prepared(const std::string& sql);
  // A pipeline's statement has no more results; else it is out of step (Broken).
  void EndOfResults();
  [[noreturn]] void OutOfStep();

  pg_conn* conn_ = nullptr;
  bool broken_ = false;
  std::unordered_map<std::string, std::string> prepared_;
};

// BEGIN now, ROLLBACK unless Commit is called (on a broken connection the
// server has rolled back already).
class TPostgresTransaction {
 public:
  explicit TPostgresTransaction(TPostgresConnection& c, const char* begin = "BEGIN");
  ~TPostgresTransaction();
  TPostgresTransaction(const TPostgresTransaction&) = delete;
  TPostgresTransaction& operator=(const TPostgresTransaction&) = delete;
  void Commit();

 private:
  TPostgresConnection& c_;
  bool done_ = false;
};

// How long connects wait after failing, so that a server that is down is
// not called in a tight loop: RetryFirst after the first failure, doubling
// to RetryMost, nothing once one succeeded. Its owner locks it.
class TConnectBackoff {
 public:
  static constexpr std::chrono::milliseconds RetryFirst{100}, RetryMost{2000};
  void Failed() {
    step_ = step_.count() == 0 ? RetryFirst : std::min(step_ * 2, RetryMost);
    until_ = std::chrono::steady_clock::now() + step_;
  }
  void Succeeded() {
    step_ = std::chrono::milliseconds(0);
    until_ = {};
  }
  // When the next connect may be tried.
  std::chrono::steady_clock::time_point Until() const { return until_; }

 private:
  std::chrono::milliseconds step_{0};
  std::chrono::steady_clock::time_point until_{};
};

// Up to a few connections to one database, made when needed and kept. A
// caller takes one (waiting while all are taken) and gives it back when its
// lease ends. A broken connection is dropped with every idle one (a server
// that went away took them all); a failed connect makes the next ones wait
// (EStoreUnavailable at once meanwhile) as TConnectBackoff says.
class TPostgresPool {
 public:
  explicit TPostgresPool(std::string uri, std::size_t size = 4);
  ~TPostgresPool();

  class TLease {
   public:
    TLease(TPostgresPool& pool, std::unique_ptr<TPostgresConnection> c) : pool_(&pool), c_(std::move(c)) {}
    TLease(TLease&& other) noexcept = default;
    ~TLease();
    TPostgresConnection& operator*() const { return *c_; }
    TPostgresConnection* operator->() const { return c_.get(); }

   private:
    TPostgresPool* pool_;
    std::unique_ptr<TPostgresConnection> c_;
  };
  TLease Take();
  std::size_t Size() const { return size_; }
  // A connection of the caller's own, outside the pool and its count, for
  // one that holds a session lock for long and must not starve the others.
  std::unique_ptr<TPostgresConnection> Separate() { return std::make_unique<TPostgresConnection>(uri_); }

 private:
  void Give(std::unique_ptr<TPostgresConnection> c);

  const std::string uri_;
  const std::size_t size_;
  std::mutex lock_;
  std::condition_variable freed_;
  std::vector<std::unique_ptr<TPostgresConnection>> idle_;
  std::size_t open_ = 0;  // idle and taken
  TConnectBackoff backoff_;
  std::string lastError_;
};

// A fixed 64-bit key for pg_advisory_lock made from a name: FNV-1a, so that
// every build of every instance sharing a database computes the same key.
std::int64_t PostgresLockKey(std::string_view name);

// Runs work while this process holds the session advisory lock of task's
// key, on a connection of its own (work keeps the whole pool), so that one
// instance of those sharing the database runs the task at a time; false
// without running work when another holds the lock. Whatever work throws
// passes through, the lock released. Should the connection break while work
// runs, the server drops the lock with it and another instance may start.
bool PostgresRunAlone(TPostgresPool& pool, std::string_view task, const std::function<void()>& work);
