// A consistent copy of the service's database while the service runs.
//
// SQLite's online backup copies every page of the database as one read
// transaction sees it: in WAL mode a reader never blocks the service's
// writers, so check-ins go on while the copy is made, and the copy holds
// exactly what was committed when it began (every check-in answered by
// then, since a check-in is answered only once it is committed).
//
// The copy is written to a new file beside the target (mode 0600, the
// database's contents being as private as the database), checked, made
// durable, and only then renamed over the target: the target is either the
// old file or the whole new copy, never half of one; a failed copy leaves no
// temporary file behind.
#pragma once

#include <cstdint>
#include <string>

#include "service/model/ServiceStore.h"

struct TSqliteBackupResult {
  std::int64_t Pages = 0;
  std::int64_t Bytes = 0;
};

class TSqliteBackup {
 public:
  // Copies the database file db (which must be this service's, and exist)
  // to target. Throws EStoreError (or its kinds) with a message for the
  // operator; then target is as it was.
  static TSqliteBackupResult Copy(const std::string& db, const std::string& target);
};
