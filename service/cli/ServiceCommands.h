// The commands that manage the service's database beside the running
// service: account add, passwd, remove, list, import, set and show; node key;
// backup; migrate. Each prints what it did on standard output and returns the exit
// status: 0 done, 1 failed, with the reason on standard error.
#pragma once

#include <string>

#include "service/cli/ServiceOptions.h"

class TServiceCommands {
 public:
  static int Account(const TAccountOptions& options);
  static int NodeKey(const TNodeKeyOptions& options);
  static int Backup(const TBackupOptions& options);
  static int Migrate(const TMigrateOptions& options);

  // $STATE_DIRECTORY/pinmark.db under systemd, else the unit's own place.
  static std::string DefaultDatabase();
};
