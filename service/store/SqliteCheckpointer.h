// SQLite's checkpoints off the threads that write.
//
// In WAL mode a commit appends to the log; now and then the log is copied
// into the database, and both are synced to the disk. SQLite does that in
// the commit that passes its threshold, so a writer that must not wait (the
// front's event loop) would now and then wait for the disk. A watched
// connection no longer does it: this thread, on a connection of its own,
// copies the log once it has grown past Pages, without keeping writers out
// (a passive checkpoint). Should it have no connection, a watched one
// checkpoints on commit again as SQLite would.
#pragma once

#include <sqlite3.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

class TSqliteCheckpointer {
 public:
  explicit TSqliteCheckpointer(std::string file, int pages = 1000);
  ~TSqliteCheckpointer();
  TSqliteCheckpointer(const TSqliteCheckpointer&) = delete;
  TSqliteCheckpointer& operator=(const TSqliteCheckpointer&) = delete;

  // Leaves connection's checkpoints (a connection to the same file) to this thread.
  void Watch(sqlite3* connection);
  // Checkpoints so far that copied some of the log into the database.
  int Done() const { return done_; }

 private:
  static int Committed(void* self, sqlite3* connection, const char* database, int pages);
  void Run();
  sqlite3* OpenOwn();
  void Checkpoint(sqlite3* own);

  const std::string file_;
  const int pages_;
  std::mutex lock_;
  std::condition_variable wake_;
  bool due_ = false, stop_ = false;
  std::atomic<bool> broken_{false};
  std::atomic<int> done_{0};
  std::thread thread_;
};
