// Moving a service from an SQLite file to a PostgreSQL database: every row
// the file holds (accounts with their webhooks, nodes with their ids and
// history, node keys and the secret they are keyed with, waiting webhook
// deliveries, the DNS update queue and the server it was published to, the
// verification key) copied into a database that has no account yet.
//
// The file is opened read only and read in one read transaction, so a
// consistent picture is taken even of a file that is in use; the database
// is written in one transaction, so it holds all of it or none. Ids are
// kept (the web pages' links and the DNS names made from them go on
// working) and the database's id sequences continue after them.
#pragma once

#include <cstdint>
#include <string>

struct TStoreMigrationCounts {
  std::int64_t Accounts = 0, Nodes = 0, History = 0, NodeKeys = 0, Deliveries = 0, DnsQueue = 0;
};

class TStoreMigration {
 public:
  // Copies sqliteFile into the PostgreSQL database at uri (made current
  // first, as a starting instance would). Raises EStoreError, the database
  // unchanged, when the file is no service database of this schema, when
  // the database has an account already or queued DNS updates, or when
  // either fails; EStoreUnavailable when the server cannot be reached.
  static TStoreMigrationCounts Copy(const std::string& sqliteFile, const std::string& uri);
};
