#include "service/cli/ServiceCommands.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <thread>
#include <vector>

#include "service/cli/PasswordPrompt.h"
#include "service/core/AccountList.h"
#include "service/core/NameRules.h"
#include "service/core/PasswordHash.h"
#include "service/dns/DnsQueue.h"
#include "service/http/NodePages.h"
#include "service/http/WebhookEvent.h"
#include "service/http/WebhookUrl.h"
#include "service/store/OpenedStore.h"
#include "service/store/SqliteBackup.h"
#include "service/store/SqliteDnsQueueStore.h"
#include "service/store/SqliteStore.h"
#include "service/store/StoreMigration.h"

namespace {
TServiceTime Now() { return ServiceClockNow(); }

// A database that root makes for the service belongs to whom its folder
// belongs to (the service's own user), or the service could not write it.
// SQLite gives its -wal and -shm files the database's owner by itself.
void GiveToFolderOwner(const std::string& db) {
  if (::geteuid() != 0) return;
  const std::size_t slash = db.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : db.substr(0, slash);
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0 || st.st_uid == 0) return;
  for (const char* suffix : {"", "-wal", "-shm"})
    if (::chown((db + suffix).c_str(), st.st_uid, st.st_gid) != 0 && errno != ENOENT)
      std::cerr << "pinmark-service: cannot give " << db << suffix << " to the owner of " << folder << "\n";
}

void ImportAccounts(TServiceCore& core, const std::string& file) {
  // An empty file has no accounts (the unit's first start imports /dev/null).
  const std::vector<TListedAccount> accounts = ReadAccountFile(file);
  for (const TListedAccount& a : accounts) {
    try {
      CheckNewAccountName(a.Name);
    } catch (const EBadName& e) {
      throw ECommandFailed(file + ": " + a.Name + ": " + e.Message() + "; nothing was imported");
    }
  }
  // The slow hashes are made on every core at once; the store takes them one by one.
  std::vector<std::string> hashes(accounts.size());
  std::atomic<std::size_t> next{0};
  std::vector<std::thread> workers;
  for (unsigned i = 0; i < std::max(1u, std::thread::hardware_concurrency()); ++i)
    workers.emplace_back([&] {
      for (std::size_t k; (k = next++) < accounts.size();) hashes[k] = TPasswordHash::Make(accounts[k].Digest);
    });
  for (std::thread& w : workers) w.join();
  int added = 0, existed = 0;
  const TServiceTime now = Now();
  for (std::size_t k = 0; k < accounts.size(); ++k) {
    if (core.Store().AddAccount(accounts[k].Name, hashes[k], now))
      ++added;
    else
      ++existed, std::cerr << "pinmark-service: account " << accounts[k].Name << " exists already; left as it is\n";
  }
  std::cout << "imported " << added << (added == 1 ? " account" : " accounts") << " from " << file;
  if (existed > 0) std::cout << " (" << existed << " existed already)";
  std::cout << "\n";
}

// Withdraws the account's names from DNS first (queued beside the nodes, for
// the running service to send), then removes it: a new account of the same
// name starts with none of them in DNS.
void RemoveAccount(IServiceStore& store, IDnsQueueStore& queueStore, TServiceCore& core, const std::string& name) {
  const std::optional<TAccountRecord> account = store.FindAccount(name);
  if (!account) throw ECommandFailed("there is no account " + name);
  TDnsQueue queue(queueStore, {}, [](TLogPriority, const std::string&) {});
  const TServiceTime now = Now();
  std::string withdrawn;
  for (const TNodeRecord& node : store.Nodes(account->Id)) {
    if (node.PublishedName.empty()) continue;
    std::string types;
    for (const TDnsRecordType type : {TDnsRecordType::A, TDnsRecordType::AAAA}) {
      const bool held = [&] {
        for (const TDnsQueueEntry& e : queue.StateOf(node.PublishedName))
          if (e.Type == type) return !e.Address.empty() || !e.PublishedAddress.empty();
        return false;
      }();
      if (!held) continue;
      queue.Withdraw(node.PublishedName, type, now);
      types += std::string(types.empty() ? "" : ", ") + DnsRecordTypeName(type);
    }
    if (!types.empty()) withdrawn += (withdrawn.empty() ? "" : "; ") + node.PublishedName + " (" + types + ")";
  }
  core.RemoveAccount(name);
  std::cout << "removed account " << name << " with its nodes and their history\n";
  if (!withdrawn.empty())
    std::cout << "withdrawal from DNS waits in the update queue, for the service to send within seconds: " << withdrawn
              << "\n";
}

// Sets or removes the account's webhook; the account keeps its secret, or
// gets one with its first webhook.
void SetWebhook(IServiceStore& store, const std::string& name, const std::string& url) {
  const std::optional<TAccountRecord> account = store.FindAccount(name);
  if (!account) throw ECommandFailed("there is no account " + name);
  if (!url.empty()) {
    // A URL that cannot be used raises EWebhookUrl, whose message says why.
    const TWebhookUrl parsed = TWebhookUrl::Parse(url);
    boost::system::error_code ec;
    const boost::asio::ip::address literal = boost::asio::ip::make_address(parsed.Host, ec);
    if (!ec && !PublicAddress(literal))
      std::cerr << "pinmark-service: note: " << parsed.Host
                << " is a loopback, private or link-local address; the service sends to it only with"
                   " --webhook-allow-private\n";
  }
  const std::optional<TWebhookRecord> before = store.Webhook(account->Id);
  const std::string secret = before && !before->Secret.empty() ? "" : NewWebhookSecret();
  if (!store.SetWebhook(name, url, secret)) throw ECommandFailed("there is no account " + name);
  if (url.empty()) {
    std::cout << "removed the webhook of " << account->Name << "\n";
    return;
  }
  std::cout << "the webhook of " << account->Name << " is " << url << "\n"
            << "secret " << store.Webhook(account->Id)->Secret << "\n";
}

void ShowAccount(IServiceStore& store, const std::string& name) {
  const std::optional<TAccountRecord> account = store.FindAccount(name);
  if (!account) throw ECommandFailed("there is no account " + name);
  const std::size_t nodes = store.Nodes(account->Id).size();
  std::cout << "account " << account->Name << "\nsince " << ReadableTime(account->Created) << "\n"
            << nodes << (nodes == 1 ? " node" : " nodes") << "\n";
  const std::optional<TWebhookRecord> webhook = store.Webhook(account->Id);
  if (!webhook || webhook->Url.empty()) {
    std::cout << "webhook none\n";
  } else {
    std::cout << "webhook " << webhook->Url << "\n";
    if (webhook->Paused)
      std::cout << "webhook state paused, failing since " << ReadableTime(webhook->FailingSince) << ": "
                << webhook->LastError << " (set its URL again to resume)\n";
    else if (webhook->FailingSince != 0)
      std::cout << "webhook state failing since " << ReadableTime(webhook->FailingSince) << ": " << webhook->LastError
                << "\n";
    else
      std::cout << "webhook state delivering\n";
  }
  if (webhook && !webhook->Secret.empty()) std::cout << "secret " << webhook->Secret << "\n";
}

// Keys only, or the password again; then the webhook when one was given.
void SetAccount(IServiceStore& store, TServiceCore& core, const TAccountOptions& o) {
  if (o.KeysOnly) {
    core.SetKeysOnly(o.Operand, *o.KeysOnly);
    std::cout << (*o.KeysOnly ? "only node keys update the nodes of " + o.Operand + " now\n"
                              : "the password updates the nodes of " + o.Operand + " again\n");
  }
  if (o.Webhook) SetWebhook(store, o.Operand, *o.Webhook);
}

void ListAccounts(IServiceStore& store) {
  for (const TAccountRecord& a : store.Accounts())
    std::cout << a.Name << "\t" << a.Nodes << (a.Nodes == 1 ? " node" : " nodes") << "\tsince "
              << ReadableTime(a.Created) << (a.KeysOnly ? "\tkeys only" : "") << "\n";
}

// add and passwd: the password is asked for once the account is known to be
// free (or there), so nobody types one in vain.
void SetPassword(IServiceStore& store, TServiceCore& core, const TAccountOptions& o) {
  const bool add = o.Verb == TAccountVerb::Add;
  if (add && store.FindAccount(o.Operand)) throw ECommandFailed("account " + o.Operand + " exists already");
  if (!add && !store.FindAccount(o.Operand)) throw ECommandFailed("there is no account " + o.Operand);
  const std::string digest = ReadPasswordDigest(o.Operand, o.PasswordStdin);
  if (add) {
    core.AddAccount(o.Operand, digest, Now());
    std::cout << "added account " << o.Operand << "\n";
  } else {
    core.ChangePassword(o.Operand, digest);
    std::cout << "changed the password of " << o.Operand << "\n";
  }
}

// A database that cannot be reached now gets a hint of where to look.
template <class TCommand>
void WithHint(const std::string& db, TCommand command) {
  try {
    command();
  } catch (const EStoreUnavailable& e) {
    throw ECommandFailed(e.Message() + UnavailableHint(db));
  }
}
}  // namespace

std::string TServiceCommands::DefaultDatabase() {
  const char* state = std::getenv("STATE_DIRECTORY");
  // systemd may list several folders, separated by ':'; the first is ours.
  if (state && *state) return std::string(state).substr(0, std::string(state).find(':')) + "/pinmark.db";
  return "/var/lib/pinmark-service/pinmark.db";
}

void TServiceCommands::Account(const TAccountOptions& o) {
  const TAccountVerb verb = o.Verb;
  try {
    if (verb == TAccountVerb::Add)
      CheckNewAccountName(o.Operand);
    else if (verb != TAccountVerb::List && verb != TAccountVerb::Import)
      CheckRequestName("the account name", o.Operand);
  } catch (const EBadName& e) {
    throw ECommandFailed(e.Message());
  }
  WithHint(o.Db, [&] {
    const bool existed = IsDatabaseUri(o.Db) || ::access(o.Db.c_str(), F_OK) == 0;
    // Only adding accounts makes a database; the other commands would find an empty one.
    const bool adds = verb == TAccountVerb::Add || verb == TAccountVerb::Import;
    if (!existed && !adds) throw ECommandFailed("there is no database " + o.Db + " (\"account add\" makes one)");
    const TOpenedStore opened = OpenDatabase(o.Db, adds);
    IServiceStore& store = *opened.Store;
    if (!existed) GiveToFolderOwner(o.Db);
    TServiceCore core(store);
    switch (verb) {
      case TAccountVerb::List:
        return ListAccounts(store);
      case TAccountVerb::Import:
        return ImportAccounts(core, o.Operand);
      case TAccountVerb::Remove:
        return RemoveAccount(store, *opened.DnsQueue(), core, o.Operand);
      case TAccountVerb::Set:
        return SetAccount(store, core, o);
      case TAccountVerb::Show:
        return ShowAccount(store, o.Operand);
      case TAccountVerb::Add:
      case TAccountVerb::Passwd:
        return SetPassword(store, core, o);
    }
    throw ECommandFailed("no such account command");
  });
}

void TServiceCommands::NodeKey(const TNodeKeyOptions& o) {
  try {
    CheckRequestName("the account name", o.Account);
    if (o.Node.empty()) throw ECommandFailed("the node name is empty");
    CheckRequestName("the node name", o.Node);
  } catch (const EBadName& e) {
    throw ECommandFailed(e.Message());
  }
  WithHint(o.Db, [&] {
    if (!IsDatabaseUri(o.Db) && ::access(o.Db.c_str(), F_OK) != 0)
      throw ECommandFailed("there is no database " + o.Db + " (\"account add\" makes one)");
    const TOpenedStore opened = OpenDatabase(o.Db, false);
    IServiceStore& store = *opened.Store;
    TServiceCore core(store);
    const std::optional<TAccountRecord> found = store.FindAccount(o.Account);
    if (!found) throw ECommandFailed("there is no account " + o.Account);
    const std::string named = "node " + o.Node + " of " + found->Name;
    if (o.Remove) {
      core.RemoveNodeKey(o.Account, o.Node);
      std::cout << "removed the key of " << named << "; it no longer works\n";
      return;
    }
    const bool replaces = store.FindNodeKey(found->Id, o.Node).has_value();
    const std::string key = core.MakeNodeKey(o.Account, o.Node, Now());
    std::cout << "made a key for " << named << (replaces ? "; the old one no longer works" : "") << "\n"
              << "It is shown this once. Give it to that machine as its password (account " << found->Name << ", node "
              << o.Node << "):\n"
              << key << "\n";
  });
}

void TServiceCommands::Backup(const TBackupOptions& o) {
  if (IsDatabaseUri(o.Db))
    throw ECommandFailed("backup copies an SQLite file; back up a PostgreSQL database with its own tools (pg_dump)");
  TSqliteBackupResult copied;
  try {
    copied = TSqliteBackup::Copy(o.Db, o.File);
  } catch (const Exception& e) {
    throw ECommandFailed(e.Message() + "; " + o.File + " is as it was");
  }
  std::cout << "copied " << o.Db << " to " << o.File << " (" << copied.Bytes << " bytes)\n";
}

void TServiceCommands::Migrate(const TMigrateOptions& o) {
  TStoreMigrationCounts n;
  try {
    n = TStoreMigration::Copy(o.From, o.To);
  } catch (const Exception& e) {
    throw ECommandFailed(e.Message() + "; nothing was copied");
  }
  std::cout << "copied " << o.From << " into PostgreSQL: " << n.Accounts << " accounts, " << n.Nodes << " nodes, "
            << n.History << " history entries, " << n.NodeKeys << " node keys, " << n.Deliveries
            << " webhook deliveries, " << n.DnsQueue << " DNS queue entries\n";
}
