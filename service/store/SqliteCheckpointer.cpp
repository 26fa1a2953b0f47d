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

sqlite3* TSqliteCheckpointer::OpenOwn() {
  sqlite3* own = nullptr;
  // A connection knows the file is in WAL mode only once it has read it:
  // until then a checkpoint on it returns at once and copies nothing.
  if (sqlite3_open_v2(file_.c_str(), &own, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, nullptr) != SQLITE_OK ||
      sqlite3_exec(own, "PRAGMA schema_version", nullptr, nullptr, nullptr) != SQLITE_OK) {
    sqlite3_close(own);
    broken_ = true;
    return nullptr;
  }
  // Long enough for the event loop to end its group of check-ins, short
  // enough not to keep writers out for long behind a reader.
  sqlite3_busy_timeout(own, 50);
  broken_ = false;
  return own;
}

void TSqliteCheckpointer::Checkpoint(sqlite3* own) {
  // The log is copied without keeping anyone out; that syncs the disk.
  int frames = 0, copied = 0;
  if (sqlite3_wal_checkpoint_v2(own, nullptr, SQLITE_CHECKPOINT_PASSIVE, &frames, &copied) != SQLITE_OK) return;
  if (copied > 0) ++done_;
  // A reader keeping an older state of the database (a backup, say) keeps
  // its frames in the log: no start again while it reads.
  if (copied < frames) return;
  // Writers start the log again from its beginning only when they find it
  // all copied, which under a steady stream of check-ins they never do: a
  // writer has always committed again by the time the copy is done. The
  // few frames written meanwhile are copied with writers kept out and the
  // log started again here. A writer that must not wait finds the database
  // busy for that moment and writes where waiting is allowed.
  sqlite3_wal_checkpoint_v2(own, nullptr, SQLITE_CHECKPOINT_RESTART, nullptr, nullptr);
}

void TSqliteCheckpointer::Run() {
  NameThreadForDebugging("db-checkpoints");
  sqlite3* own = nullptr;
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    wake_.wait(hold, [this] { return stop_ || due_; });
    if (stop_) break;
    hold.unlock();
    if (!own) own = OpenOwn();
    if (own) Checkpoint(own);
    hold.lock();
    due_ = false;
  }
  hold.unlock();
  sqlite3_close(own);
}
