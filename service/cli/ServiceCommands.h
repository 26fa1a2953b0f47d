// The commands that manage the service's database beside the running
// service: account add, passwd, remove, list, import, set and show; node key;
// backup; migrate. Each prints what it did on standard output; what fails
// raises an exception whose message is the reason (ECommandFailed for what a
// command finds itself, the core's, the store's or a parser's otherwise), for
// the caller to print on standard error and end with exit status 1.
#pragma once

#include <string>

#include "runtime/Exception.h"
#include "service/cli/ServiceOptions.h"

PINMARK_EXCEPTION_CLASS(ECommandFailed, Exception);

class TServiceCommands {
 public:
  static void Account(const TAccountOptions& options);
  static void NodeKey(const TNodeKeyOptions& options);
  static void Backup(const TBackupOptions& options);
  static void Migrate(const TMigrateOptions& options);

  // $STATE_DIRECTORY/pinmark.db under systemd, else the unit's own place.
  static std::string DefaultDatabase();
};
