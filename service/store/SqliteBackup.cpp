#include "service/store/SqliteBackup.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "service/store/SqliteDatabase.h"
#include "service/store/SqliteStore.h"

namespace {
std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The temporary file, removed unless it was renamed into place.
class TTemporaryFile {
 public:
  explicit TTemporaryFile(const std::string& target) {
    std::vector<char> name(target.begin(), target.end());
    const std::string suffix = ".backup-XXXXXX";
    name.insert(name.end(), suffix.begin(), suffix.end());
    name.push_back('\0');
    // mkstemp makes it 0600 whatever the umask.
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) throw EStoreUnavailable("cannot make a file beside " + target + ": " + std::strerror(errno));
    ::close(fd);
    path_ = name.data();
  }
  ~TTemporaryFile() {
    if (path_.empty()) return;
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) ::unlink((path_ + suffix).c_str());
  }
  TTemporaryFile(const TTemporaryFile&) = delete;
  TTemporaryFile& operator=(const TTemporaryFile&) = delete;
  const std::string& Path() const { return path_; }
  void Kept() { path_.clear(); }

 private:
  std::string path_;
};

void Sync(const std::string& path, int flags, const std::string& what) {
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0 || ::fsync(fd) != 0) {
    const std::string why = std::strerror(errno);
    if (fd >= 0) ::close(fd);
    throw EStoreUnavailable("cannot make " + what + " durable: " + why);
  }
  ::close(fd);
}
}  // namespace

TSqliteBackupResult TSqliteBackup::Copy(const std::string& db, const std::string& target) {
  struct stat from {}, to {};
  if (::stat(db.c_str(), &from) != 0) throw EStoreError("there is no database " + db);
  if (::stat(target.c_str(), &to) == 0 && from.st_dev == to.st_dev && from.st_ino == to.st_ino)
    throw EStoreError(target + " is the database itself; give another file");

  // Opened for writing though only read: a reader of a WAL database needs
  // the -shm file, which a read-only connection may not be able to make.
  TSqliteDatabase source(db, false);
  sqlite3_busy_timeout(source.Handle(), TSqliteStore::BusyMilliseconds);
  const bool ours = [&] {
    try {
      return source.QueryInt("PRAGMA application_id") == TSqliteStore::ApplicationId;
    } catch (const EStoreCorrupt&) {
      return false;  // no database at all
    }
  }();
  if (!ours) throw EStoreCorrupt(db + " is not a pinmark-service database");

  TTemporaryFile temporary(target);
  TSqliteBackupResult result;
  {
    TSqliteDatabase copy(temporary.Path(), false);
    sqlite3_backup* backup = sqlite3_backup_init(copy.Handle(), "main", source.Handle(), "main");
    if (!backup) RaiseSqliteError(copy.Handle(), sqlite3_errcode(copy.Handle()), "starting the backup");
    // All pages in one step, so that the copy is one read transaction's
    // view: copied piecemeal, a write between steps would start it over.
    // A lock held by another program (an account command writing) is
    // waited for a while, as any write of the service's would.
    int rc = SQLITE_OK;
    for (int tries = 0; tries < 50; ++tries) {
      rc = sqlite3_backup_step(backup, -1);
      if (rc != SQLITE_BUSY && rc != SQLITE_LOCKED) break;
      sqlite3_sleep(100);
    }
    result.Pages = sqlite3_backup_pagecount(backup);
    sqlite3_backup_finish(backup);
    if (rc != SQLITE_DONE) RaiseSqliteError(copy.Handle(), rc, "copying " + db);
    // The copy keeps the database's journal mode (WAL); it is checked and
    // checkpointed into its one file, so that the file alone is the backup.
    if (copy.QueryText("PRAGMA quick_check") != "ok") throw EStoreCorrupt("the copy of " + db + " does not check out");
    copy.Exec("PRAGMA wal_checkpoint(TRUNCATE)");
    copy.Exec("PRAGMA journal_mode = DELETE");
  }
  Sync(temporary.Path(), O_RDONLY, temporary.Path());
  struct stat made {};
  if (::stat(temporary.Path().c_str(), &made) == 0) result.Bytes = made.st_size;
  if (::rename(temporary.Path().c_str(), target.c_str()) != 0)
    throw EStoreUnavailable("cannot put the copy in place as " + target + ": " + std::strerror(errno));
  temporary.Kept();
  Sync(FolderOf(target), O_RDONLY | O_DIRECTORY, "the folder of " + target);
  return result;
}
