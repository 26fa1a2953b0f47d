// pinmark-service's command line: every option of serving and of the
// account, node and backup commands, declared once (with CLI11) and parsed
// into plain values. The same declarations make --help, the usage and the
// list of options that the manual page must name, so none of them can drift
// from what the parser takes.
//
// Parsing checks everything that can be checked without opening a file or
// the network: names and ranges of values, options that go together or
// exclude each other, the subcommands and their operands. What it refuses
// raises EUsage with a message for the operator (exit status 2).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "runtime/Exception.h"
#include "service/dns/DnsPublisher.h"

// Bad usage: an unknown option, a value out of range, a missing operand.
PINMARK_EXCEPTION_CLASS(EUsage, Exception);

// An account kept in memory: NAME:DIGEST given inline, or an accounts file.
struct TAccountSource {
  std::string Name, Digest;  // --account NAME:DIGEST
  std::string File;          // --accounts FILE
  bool operator==(const TAccountSource&) const = default;
};

struct TServeOptions {
  // The addresses of the last run of --host options given one after the other.
  std::vector<std::string> Hosts{"127.0.0.1"};
  int Port = 8080;
  std::string Db;  // empty: accounts and nodes in memory
  bool Create = false;
  // The dyndns2 zone without its final dot; the DNS zone's when publishing.
  std::string Zone;
  std::vector<std::string> TrustedProxies;  // each ADDR or ADDR/BITS, checked
  std::int64_t StaleAfterMs = 2 * 60 * 60 * 1000;
  std::int64_t RememberForMs = 2 * 60 * 60 * 1000;
  std::vector<TAccountSource> Accounts;  // in the order given
  std::string TlsCert, TlsKey;
  std::size_t MaxConnections = 4096, MaxPerAddress = 256;
  int HeadSeconds = 10, BodySeconds = 10, IdleSeconds = 5;
  bool WebhookAllowPrivate = false;
  // Publishing in DNS when Publish; Dns.Zone then ends with a dot.
  bool Publish = false;
  TDnsSettings Dns;
  std::vector<std::string> MetricsFrom{"127.0.0.0/8", "::1"};
  std::int64_t HealthyQueueAgeMs = 10 * 60 * 1000;
};

enum class TAccountVerb { Add, Passwd, Remove, List, Import, Set, Show };

struct TAccountOptions {
  TAccountVerb Verb = TAccountVerb::List;
  std::string Operand;  // the account's name, or the file of "import"
  std::string Db;
  bool PasswordStdin = false;
  std::optional<std::string> Webhook;  // "" removes it
  std::optional<bool> KeysOnly;
};

struct TNodeKeyOptions {
  std::string Account, Node, Db;
  bool Remove = false;
};

struct TBackupOptions {
  std::string File, Db;
};

struct TMigrateOptions {
  std::string From, To;  // an SQLite file, a PostgreSQL URI
};

enum class TServiceCommand { Serve, Help, Version, Account, NodeKey, Backup, Migrate };

struct TServiceOptions {
  TServiceCommand Command = TServiceCommand::Serve;
  TServeOptions Serve;
  TAccountOptions Account;
  TNodeKeyOptions NodeKey;
  TBackupOptions Backup;
  TMigrateOptions Migrate;
  std::string HelpText;  // for Help: of the command asked about

  // argv as main() has it. defaultDb is the commands' database when no --db
  // is given (serving without --db keeps everything in memory). Throws EUsage.
  static TServiceOptions Parse(int argc, const char* const* argv, const std::string& defaultDb);

  // The usage lines of every command, as bad usage shows them.
  static std::string Usage();
  // The entries of the manual page's OPTIONS section that the declarations
  // fix: for each option of serving in order, its roff heading line (".BI
  // \-\-port \" PORT\"") and its default as the page writes it, "" for none.
  struct TManEntry {
    std::string Heading, Default;
  };
  static std::vector<TManEntry> ManEntries();
};
