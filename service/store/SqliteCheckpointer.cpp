#include "service/store/SqliteCheckpointer.h"

#include "runtime/ThreadName.h"

TSqliteCheckpointer::TSqliteCheckpointer(std::string file, int pages)
    : file_(std::move(file)), pages_(pages), thread_([this] { Run(); }) {}

TSqliteCheckpointer::~TSqliteCheckpointer() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stop_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void TSqliteCheckpointer::Watch(sqlite3* connection) {
  sqlite3_wal_autocheckpoint(connection, 0);
  sqlite3_wal_hook(connection, &TSqliteCheckpointer::Committed, this);
}

int TSqliteCheckpointer::Committed(void* self, sqlite3* connection, const char* database, int pages) {
  auto* me = static_cast<TSqliteCheckpointer*>(self);
  if (pages < me->pages_) return SQLITE_OK;
  if (me->broken_) {
    // What SQLite's own checkpoint on commit does.
    sqlite3_wal_checkpoint_v2(connection, database, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    return SQLITE_OK;
  }
  {
    std::lock_guard<std::mutex> hold(me->lock_);
    if (me->due_) return SQLITE_OK;
    me->due_ = true;
  }
  me->wake_.notify_one();
  return SQLITE_OK;
}

void TSqliteCheckpointer::Run() {
  NameThreadForDebugging("db-checkpoints");
  sqlite3* own = nullptr;
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    wake_.wait(hold, [this] { return stop_ || due_; });
    if (stop_) break;
    hold.unlock();
    if (!own && sqlite3_open_v2(file_.c_str(), &own, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, nullptr) != SQLITE_OK) {
      sqlite3_close(own);
      own = nullptr;
      broken_ = true;
    }
    if (own && sqlite3_wal_checkpoint_v2(own, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr) == SQLITE_OK)
      ++done_;
    hold.lock();
    due_ = false;
  }
  hold.unlock();
  sqlite3_close(own);
}
