// pinmark-service: the check-in service, and the commands that manage its
// accounts.
//
// Serving prints "listening on HOST:PORT" once it accepts connections and
// then logs every check-in, update, refusal and failure to standard output,
// one line each, with its priority when that is the journal. SIGTERM or
// SIGINT end it; what was answered is stored by then.
//
// The account commands work on the database file while the service runs.
// Passwords are read from the terminal without echo (twice), or as one line
// from standard input with --password-stdin; only their slow hash is stored.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "runtime/JournalLog.h"
#include "runtime/SysUtils.h"
#include "service/core/AccountList.h"
#include "service/core/DynDns2.h"
#include "service/core/NameRules.h"
#include "service/core/PasswordHash.h"
#include "service/dns/MemoryDnsQueueStore.h"
#include "service/http/CheckInService.h"
#include "service/http/NodePages.h"
#include "service/http/WebhookEvent.h"
#include "service/http/WebhookUrl.h"
#include "service/store/MemoryStore.h"
#include "service/store/PostgresDnsQueueStore.h"
#include "service/store/PostgresStore.h"
#include "service/store/SqliteBackup.h"
#include "service/store/SqliteDnsQueueStore.h"
#include "service/store/SqliteStore.h"
#include "settings/md5.h"

namespace {
const char kUsage[] =
    "usage: pinmark-service [--host HOST]... [--port PORT] [--db FILE [--create]] [--zone ZONE]\n"
    "                       [--trusted-proxy ADDR[/BITS]]... [--stale-after MINUTES]\n"
    "                       [--remember-for MINUTES]\n"
    "                       [--account NAME:DIGEST]... [--accounts FILE]\n"
    "                       [--tls-cert FILE --tls-key FILE]\n"
    "                       [--max-connections N] [--max-per-address N]\n"
    "                       [--head-timeout SECONDS] [--body-timeout SECONDS] [--idle-timeout SECONDS]\n"
    "                       [--webhook-allow-private]\n"
    "                       [--dns-zone ZONE --dns-server HOST[:PORT] --dns-key FILE\n"
    "                        [--dns-ttl SECONDS] [--dns-verify DURATION]]\n"
    "                       [--metrics-from ADDR[/BITS]]... [--healthy-queue-age MINUTES]\n"
    "       pinmark-service account add NAME [--password-stdin] [--db FILE]\n"
    "       pinmark-service account passwd NAME [--password-stdin] [--db FILE]\n"
    "       pinmark-service account remove NAME [--db FILE]\n"
    "       pinmark-service account list [--db FILE]\n"
    "       pinmark-service account import FILE [--db FILE]\n"
    "       pinmark-service account set NAME --webhook URL|--no-webhook [--db FILE]\n"
    "       pinmark-service account show NAME [--db FILE]\n"
    "       pinmark-service account set NAME --keys-only|--no-keys-only [--db FILE]\n"
    "       pinmark-service node key ACCOUNT NODE [--remove] [--db FILE]\n"
    "       pinmark-service backup FILE [--db FILE]\n"
    "       pinmark-service --help | --version\n";

const char kHelp[] =
    "\n"
    "Serves the Pinmark check-in (/includes/r_update.php), the dyndns2 update (/nic/update),\n"
    "the web page of each account's nodes (/nodes) and their JSON (/api/nodes).\n"
    "\n"
    "  --host HOST            an address to listen on (127.0.0.1); several one after the other,\n"
    "                         all on the one port: --host 127.0.0.1 --host ::1 (a --host after\n"
    "                         another option starts the list anew)\n"
    "  --port PORT            the port to listen on; 0 lets the system pick one (8080)\n"
    "  --db FILE              the database of accounts, nodes and history; without it accounts\n"
    "                         come from --account and --accounts and nodes are kept in memory\n"
    "                         until the service ends; a postgresql:// or postgres:// URI names a\n"
    "                         PostgreSQL database instead (several instances may share it)\n"
    "  --create               make the database when FILE is absent (else the service refuses\n"
    "                         to start: a database that went missing is not made anew, empty)\n"
    "  --zone ZONE            the dyndns2 zone: an update names NODE.ACCOUNT.ZONE\n"
    "                         (--dns-zone sets it too)\n"
    "  --trusted-proxy ADDR   a reverse proxy (an address or ADDR/BITS) whose X-Forwarded-For\n"
    "                         names the caller; may be given more than once\n"
    "  --stale-after MINUTES  a node that has not checked in for this long is stale (120), and a\n"
    "                         family it has not checked in over for this long while it did over\n"
    "                         the other loses its DNS record; seconds with an s (90s)\n"
    "  --remember-for MINUTES how long a verified password spares a node the slow hash (120)\n"
    "  --account NAME:DIGEST  an account in memory, DIGEST the MD5 hex digest of its password\n"
    "  --accounts FILE        accounts in memory, one \"NAME DIGEST\" a line\n"
    "  --tls-cert FILE        serve HTTPS with this PEM certificate chain ...\n"
    "  --tls-key FILE         ... and this PEM private key\n"
    "  --max-connections N    connections open at once; a new one over it closes the oldest\n"
    "                         idle one (4096)\n"
    "  --max-per-address N    connections open at once from one address (256)\n"
    "  --head-timeout SECONDS a request's head is complete this long after the connection\n"
    "                         opened or the previous answer was written (10)\n"
    "  --body-timeout SECONDS a request's body is complete this long after its head (10)\n"
    "  --idle-timeout SECONDS a connection silent this long after an answer is closed (5)\n"
    "  --webhook-allow-private  send webhooks to loopback, private and link-local addresses\n"
    "                         too (refused by default, so that an account cannot reach the\n"
    "                         service's own network)\n"
    "  --dns-zone ZONE        publish every node in DNS as NODE.ACCOUNT.ZONE, by signed\n"
    "                         dynamic updates to the zone's name server; the dyndns2 zone\n"
    "  --dns-server HOST[:PORT]  the name server that takes the updates (port 53)\n"
    "  --dns-key FILE         the TSIG key file (key statement, Knot key section or\n"
    "                         [ALGORITHM:]NAME:SECRET); readable by its owner only\n"
    "  --dns-ttl SECONDS      the TTL of the published records (60)\n"
    "  --dns-verify DURATION  how often every published name is checked at the name\n"
    "                         server and sent again where it is missing (1h; 10s to 7d)\n"
    "  --metrics-from ADDR    an address or ADDR/BITS network that may read /metrics and\n"
    "                         /healthz; may be given more than once (127.0.0.0/8 and ::1);\n"
    "                         others get 404\n"
    "  --healthy-queue-age MINUTES  /healthz answers 503 once a DNS update has waited this\n"
    "                         long (10); seconds with an s (30s)\n"
    "\n"
    "Account commands (on --db FILE, by default $STATE_DIRECTORY/pinmark.db or\n"
    "/var/lib/pinmark-service/pinmark.db):\n"
    "  account add NAME       add an account; NAME is 1 to 63 letters, digits and hyphens\n"
    "  account passwd NAME    give an account a new password\n"
    "  account remove NAME    remove an account with its nodes and their history\n"
    "  account list           list the accounts with their number of nodes\n"
    "  account import FILE    add the accounts of an accounts file (as --accounts reads it)\n"
    "  account set NAME --webhook URL   POST the account's events (address-changed,\n"
    "                         node-stale, dns-failing, dns-recovered) as signed JSON to URL\n"
    "                         (http or https); prints the signing secret;\n"
    "                         --no-webhook (or --webhook '') stops them\n"
    "  account show NAME      the account's nodes, webhook, signing secret and its state\n"
    "  backup FILE            a consistent copy of the database, taken while the service runs,\n"
    "                         written whole to FILE (readable by its owner only)\n"
    "  --password-stdin       read the password as one line from standard input instead of\n"
    "                         asking on the terminal\n"
    "  account set NAME       change how the account works (one of the two below)\n"
    "  --keys-only            only the nodes' own keys update the account's nodes; the\n"
    "                         password still signs in to the page and the JSON\n"
    "  --no-keys-only         the password updates the account's nodes again\n"
    "  node key ACCOUNT NODE  make the node a key of its own, printed once on the last line,\n"
    "                         replacing its old one; the node need not have checked in yet.\n"
    "                         The key is the node's password on the check-in and dyndns2,\n"
    "                         for that node only\n"
    "  --remove               with node key: remove the node's key instead\n"
    "\n"
    "  --help                 show this help\n"
    "  --version              show the version\n";

int Usage(const std::string& problem = "") {
  if (!problem.empty()) std::cerr << "pinmark-service: " << problem << "\n";
  std::cerr << kUsage;
  return 2;
}

int Fail(const std::string& message) {
  std::cerr << "pinmark-service: " << message << "\n";
  return 1;
}

TServiceTime Now() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// ---- passwords ----

termios gSavedTerminal;
volatile sig_atomic_t gTerminalChanged = 0;

// Gives the terminal its echo back when the prompt is interrupted.
void RestoreTerminalAndDie(int sig) {
  if (gTerminalChanged) ::tcsetattr(STDIN_FILENO, TCSANOW, &gSavedTerminal);
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

// One line of standard input without its line end; false at its end.
bool ReadLine(std::string& line) {
  line.clear();
  char c;
  while (true) {
    const ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return !line.empty();
    if (c == '\n') break;
    if (line.size() > 4096) return false;  // no password is that long; do not grow
    line += c;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

std::string Prompt(const char* text) {
  // Echo goes off before the prompt shows: what was typed ahead of it (and
  // echoed) is dropped, what is typed after it is kept.
  termios quiet = gSavedTerminal;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  quiet.c_lflag |= ECHONL;
  gTerminalChanged = 1;
  ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  std::cerr << text << std::flush;
  std::string line;
  const bool read = ReadLine(line);
  ::tcsetattr(STDIN_FILENO, TCSANOW, &gSavedTerminal);
  gTerminalChanged = 0;
  if (!read) line.clear();
  return line;
}

// The password's MD5 digest (what the program sends), or "" with error set.
std::string ReadPassword(const std::string& account, bool fromStdin, std::string& error) {
  std::string password;
  if (fromStdin) {
    if (!ReadLine(password) || password.empty()) {
      error = "no password on standard input";
      return "";
    }
  } else {
    if (!::isatty(STDIN_FILENO) || ::tcgetattr(STDIN_FILENO, &gSavedTerminal) != 0) {
      error = "the password is asked for on a terminal; give --password-stdin to read it from standard input";
      return "";
    }
    ::signal(SIGINT, RestoreTerminalAndDie);
    ::signal(SIGTERM, RestoreTerminalAndDie);
    ::signal(SIGHUP, RestoreTerminalAndDie);
    password = Prompt(("Password for " + account + ": ").c_str());
    const std::string again = password.empty() ? "" : Prompt("The same password again: ");
    if (password.empty()) {
      error = "no password given";
      return "";
    }
    if (again != password) {
      error = "the two passwords differ; nothing was changed";
      return "";
    }
  }
  const std::string digest = DigestToHex(MD5OfString(password));
  std::fill(password.begin(), password.end(), '\0');
  return digest;
}

// ---- account commands ----

std::string DefaultDatabase() {
  const char* state = std::getenv("STATE_DIRECTORY");
  // systemd may list several folders, separated by ':'; the first is ours.
  if (state && *state) return std::string(state).substr(0, std::string(state).find(':')) + "/pinmark.db";
  return "/var/lib/pinmark-service/pinmark.db";
}

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

// The store --db names: a PostgreSQL database for a postgresql:// or
// postgres:// URI (any libpq URI), else an SQLite file, made when create
// and absent; and the DNS update queue kept beside its nodes.
struct TOpenedStore {
  std::unique_ptr<IServiceStore> Store;
  TSqliteStore* Sqlite = nullptr;  // or
  TPostgresStore* Postgres = nullptr;
  std::unique_ptr<IDnsQueueStore> DnsQueue() const {
    if (Postgres) return std::make_unique<TPostgresDnsQueueStore>(*Postgres);
    return std::make_unique<TSqliteDnsQueueStore>(*Sqlite);
  }
};
TOpenedStore OpenStore(const std::string& db, bool create) {
  TOpenedStore opened;
  if (TPostgresStore::IsUri(db)) {
    auto postgres = std::make_unique<TPostgresStore>(db);
    opened.Postgres = postgres.get();
    opened.Store = std::move(postgres);
  } else {
    auto sqlite = std::make_unique<TSqliteStore>(db, create);
    opened.Sqlite = sqlite.get();
    opened.Store = std::move(sqlite);
  }
  return opened;
}

// What to try when the store cannot work now.
std::string UnavailableHint(const std::string& db) {
  return TPostgresStore::IsUri(db) ? " (try again; is the database server up?)" : " (try again; is the file writable?)";
}

int ImportAccounts(TServiceCore& core, const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return Fail("cannot read " + file);
  // Read so that an empty file is no failure: it has no accounts (the unit's first start imports /dev/null).
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  std::vector<TListedAccount> accounts;
  std::string error;
  if (!ReadAccountList(text, file, accounts, error)) return Fail(error);
  for (const TListedAccount& a : accounts)
    if (!NewAccountNameProblem(a.Name).empty())
      return Fail(file + ": " + a.Name + ": " + NewAccountNameProblem(a.Name) + "; nothing was imported");
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
  return 0;
}

// Withdraws the account's names from DNS first (queued beside the nodes, for
// the running service to send), then removes it: a new account of the same
// name starts with none of them in DNS.
int RemoveAccount(IServiceStore& store, IDnsQueueStore& queueStore, TServiceCore& core, const std::string& name) {
  const std::optional<TAccountRecord> account = store.FindAccount(name);
  if (!account) return Fail("there is no account " + name);
  TDnsQueue queue(queueStore, {}, [](TLogPriority, const std::string&) {});
  const TDnsTime now{std::chrono::milliseconds(Now())};
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
  if (core.RemoveAccount(name) != TAccountChange::Done) return Fail("there is no account " + name);
  std::cout << "removed account " << name << " with its nodes and their history\n";
  if (!withdrawn.empty())
    std::cout << "withdrawal from DNS waits in the update queue, for the service to send within seconds: " << withdrawn
              << "\n";
  return 0;
}

// Sets or removes the account's webhook; the account keeps its secret, or
// gets one with its first webhook.
int SetWebhook(IServiceStore& store, const std::string& name, const std::string& url) {
  const std::optional<TAccountRecord> account = store.FindAccount(name);
  if (!account) return Fail("there is no account " + name);
  if (!url.empty()) {
    try {
      const TWebhookUrl parsed = TWebhookUrl::Parse(url);
      boost::system::error_code ec;
      const boost::asio::ip::address literal = boost::asio::ip::make_address(parsed.Host, ec);
      if (!ec && !PublicAddress(literal))
        std::cerr << "pinmark-service: note: " << parsed.Host
                  << " is a loopback, private or link-local address; the service sends to it only with"
                     " --webhook-allow-private\n";
    } catch (const EWebhookUrl& e) {
      return Fail(e.Message());
    }
  }
  const std::optional<TWebhookRecord> before = store.Webhook(account->Id);
  const std::string secret = before && !before->Secret.empty() ? "" : NewWebhookSecret();
  if (!store.SetWebhook(name, url, secret)) return Fail("there is no account " + name);
  if (url.empty()) {
    std::cout << "removed the webhook of " << account->Name << "\n";
    return 0;
  }
  std::cout << "the webhook of " << account->Name << " is " << url << "\n"
            << "secret " << store.Webhook(account->Id)->Secret << "\n";
  return 0;
}

int ShowAccount(IServiceStore& store, const std::string& name) {
  const std::optional<TAccountRecord> account = store.FindAccount(name);
  if (!account) return Fail("there is no account " + name);
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
  return 0;
}

int AccountCommand(int argc, char** argv) {
  // argv[1] is "account".
  std::string db = DefaultDatabase(), verb, operand;
  bool passwordStdin = false;
  std::string webhook;
  bool webhookGiven = false;
  int keysOnly = -1;  // not given
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--db" && i + 1 < argc) {
      db = argv[++i];
    } else if (arg == "--password-stdin") {
      passwordStdin = true;
    } else if ((arg == "--webhook" && i + 1 < argc) || arg == "--no-webhook") {
      webhook = arg == "--webhook" ? argv[++i] : "";
      webhookGiven = true;
    } else if (arg == "--keys-only" || arg == "--no-keys-only") {
      keysOnly = arg == "--keys-only";
    } else if (!arg.empty() && arg[0] == '-') {
      return Usage("unknown option " + arg);
    } else if (verb.empty()) {
      verb = arg;
    } else if (operand.empty()) {
      operand = arg;
    } else {
      return Usage("too many arguments");
    }
  }
  const bool needsOperand =
      verb == "add" || verb == "passwd" || verb == "remove" || verb == "import" || verb == "set" || verb == "show";
  if (verb.empty() || (!needsOperand && verb != "list"))
    return Usage("account needs add, passwd, remove, list, import, set or show");
  if (needsOperand == operand.empty())
    return Usage(needsOperand ? "account " + verb + " needs a name" : "account list takes no name");
  if (passwordStdin && verb != "add" && verb != "passwd") return Usage("--password-stdin is for add and passwd");
  if ((webhookGiven || keysOnly >= 0) != (verb == "set"))
    return Usage("account set takes --webhook URL or --no-webhook, --keys-only or --no-keys-only, and only them");
  if (verb == "add" && !NewAccountNameProblem(operand).empty()) return Fail(NewAccountNameProblem(operand));
  if ((verb == "passwd" || verb == "remove" || verb == "set" || verb == "show") && !RequestNameProblem("the account name", operand).empty())
    return Fail(RequestNameProblem("the account name", operand));
  try {
    const bool existed = TPostgresStore::IsUri(db) || ::access(db.c_str(), F_OK) == 0;
    // Only adding accounts makes a database; the other commands would find an empty one.
    if (!existed && verb != "add" && verb != "import")
      return Fail("there is no database " + db + " (\"account add\" makes one)");
    const TOpenedStore opened = OpenStore(db, verb == "add" || verb == "import");
    IServiceStore& store = *opened.Store;
    if (!existed) GiveToFolderOwner(db);
    TServiceCore core(store);
    if (verb == "list") {
      for (const TAccountRecord& a : store.Accounts())
        std::cout << a.Name << "\t" << a.Nodes << (a.Nodes == 1 ? " node" : " nodes") << "\tsince "
                  << ReadableTime(a.Created) << (a.KeysOnly ? "\tkeys only" : "") << "\n";
      return 0;
    }
    if (verb == "import") return ImportAccounts(core, operand);
    if (verb == "remove") return RemoveAccount(store, *opened.DnsQueue(), core, operand);
    if (verb == "set") {
      if (keysOnly >= 0) {
        if (core.SetKeysOnly(operand, keysOnly == 1) != TAccountChange::Done) return Fail("there is no account " + operand);
        std::cout << (keysOnly == 1 ? "only node keys update the nodes of " + operand + " now\n"
                                    : "the password updates the nodes of " + operand + " again\n");
      }
      return webhookGiven ? SetWebhook(store, operand, webhook) : 0;
    }
    if (verb == "show") return ShowAccount(store, operand);
    if (verb == "add" && store.FindAccount(operand)) return Fail("account " + operand + " exists already");
    if (verb == "passwd" && !store.FindAccount(operand)) return Fail("there is no account " + operand);
    std::string error;
    const std::string digest = ReadPassword(operand, passwordStdin, error);
    if (digest.empty()) return Fail(error);
    if (verb == "add") {
      if (core.AddAccount(operand, digest, Now()) != TAccountChange::Done)
        return Fail("account " + operand + " exists already");
      std::cout << "added account " << operand << "\n";
    } else {
      if (core.ChangePassword(operand, digest) != TAccountChange::Done) return Fail("there is no account " + operand);
      std::cout << "changed the password of " << operand << "\n";
    }
    return 0;
  } catch (const EStoreUnavailable& e) {
    return Fail(e.Message() + UnavailableHint(db));
  } catch (const Exception& e) {
    return Fail(e.Message());
  }
}

// ---- node keys ----

int NodeCommand(int argc, char** argv) {
  // argv[1] is "node".
  std::string db = DefaultDatabase();
  std::vector<std::string> operands;
  bool remove = false;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--db" && i + 1 < argc) {
      db = argv[++i];
    } else if (arg == "--remove") {
      remove = true;
    } else if (!arg.empty() && arg[0] == '-') {
      return Usage("unknown option " + arg);
    } else {
      operands.push_back(arg);
    }
  }
  if (operands.empty() || operands[0] != "key") return Usage("node needs key");
  if (operands.size() != 3) return Usage("node key needs an account and a node");
  const std::string& account = operands[1];
  const std::string& node = operands[2];
  if (!RequestNameProblem("the account name", account).empty())
    return Fail(RequestNameProblem("the account name", account));
  if (!RequestNameProblem("the node name", node).empty() || node.empty())
    return Fail(node.empty() ? "the node name is empty" : RequestNameProblem("the node name", node));
  try {
    if (!TPostgresStore::IsUri(db) && ::access(db.c_str(), F_OK) != 0)
      return Fail("there is no database " + db + " (\"account add\" makes one)");
    const TOpenedStore opened = OpenStore(db, false);
    IServiceStore& store = *opened.Store;
    TServiceCore core(store);
    const std::optional<TAccountRecord> found = store.FindAccount(account);
    if (!found) return Fail("there is no account " + account);
    const std::string named = "node " + node + " of " + found->Name;
    if (remove) {
      if (core.RemoveNodeKey(account, node) != TKeyChange::Done) return Fail(named + " has no key");
      std::cout << "removed the key of " << named << "; it no longer works\n";
      return 0;
    }
    const bool replaces = store.FindNodeKey(found->Id, node).has_value();
    std::string key;
    switch (core.MakeNodeKey(account, node, Now(), key)) {
      case TKeyChange::Done:
        break;
      case TKeyChange::NoSuchAccount:
        return Fail("there is no account " + account);
      default:
        return Fail("no key can be made for " + named);
    }
    std::cout << "made a key for " << named << (replaces ? "; the old one no longer works" : "") << "\n"
              << "It is shown this once. Give it to that machine as its password (account " << found->Name
              << ", node " << node << "):\n"
              << key << "\n";
    return 0;
  } catch (const EStoreUnavailable& e) {
    return Fail(e.Message() + UnavailableHint(db));
  } catch (const Exception& e) {
    return Fail(e.Message());
  }
}

// ---- backup ----

int BackupCommand(int argc, char** argv) {
  // argv[1] is "backup".
  std::string db = DefaultDatabase(), target;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--db" && i + 1 < argc) {
      db = argv[++i];
    } else if (!arg.empty() && arg[0] == '-') {
      return Usage("unknown option " + arg);
    } else if (target.empty()) {
      target = arg;
    } else {
      return Usage("too many arguments");
    }
  }
  if (target.empty()) return Usage("backup needs the FILE to write the copy to");
  if (TPostgresStore::IsUri(db))
    return Fail("backup copies an SQLite file; back up a PostgreSQL database with its own tools (pg_dump)");
  try {
    const TSqliteBackupResult copied = TSqliteBackup::Copy(db, target);
    std::cout << "copied " << db << " to " << target << " (" << copied.Bytes << " bytes)\n";
    return 0;
  } catch (const Exception& e) {
    return Fail(e.Message() + "; " + target + " is as it was");
  }
}

// ---- serving ----

// Ends the service on SIGTERM or SIGINT, from a thread of its own: the
// signals are blocked everywhere else, so no handler runs amid the server.
class TStopOnSignal {
 public:
  explicit TStopOnSignal(TCheckInService& service) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    thread_ = std::thread([&service, set] {
      int sig = 0;
      ::sigwait(&set, &sig);
      service.Stop();
    });
  }
  ~TStopOnSignal() {
    // The service ended without a signal (it could not serve): wake the waiter.
    ::pthread_kill(thread_.native_handle(), SIGTERM);
    thread_.join();
  }

 private:
  std::thread thread_;
};

int Serve(int argc, char** argv) {
  std::vector<std::string> hosts;
  std::string db, certFile, keyFile, dyndnsZone;
  int port = 8080;
  bool create = false;
  TDnsSettings dns;
  bool dnsTtlGiven = false, dnsVerifyGiven = false;
  TServiceRules rules;
  rules.SlowHashesAtOnce = std::max(1u, std::thread::hardware_concurrency());
  TTrustedProxies proxies;
  TFrontLimits limits;
  TWebhookOptions webhooks;
  webhooks.UserAgent = std::string("pinmark-service/") + PINMARK_VERSION;
  TAdminOptions admin = TAdminOptions::Default();
  bool metricsFromGiven = false;
  struct TAccountSource {
    std::string name, digest, file;
  };
  std::vector<TAccountSource> accounts;
  // Options given one after the other name the addresses together; a --host
  // after any other option starts them anew, so that one given after the
  // unit's own options (PINMARK_SERVICE_OPTS) takes the place of its list.
  bool inHostRun = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hostRunGoesOn = inHostRun;
    inHostRun = false;
    std::string v;
    auto value = [&] {
      if (i + 1 >= argc) return false;
      v = argv[++i];
      return true;
    };
    int64_t number = 0;
    if (arg == "--host" && value()) {
      if (v.empty()) return Usage("--host takes an address or a name");
      if (!hostRunGoesOn) hosts.clear();
      inHostRun = true;
      if (std::find(hosts.begin(), hosts.end(), v) == hosts.end()) hosts.push_back(v);
    } else if (arg == "--port" && value()) {
      if (!TryDecimalToInt64(v, number) || number < 0 || number > 65535) return Usage("--port takes 0 to 65535");
      port = static_cast<int>(number);
    } else if (arg == "--db" && value()) {
      db = v;
    } else if (arg == "--create") {
      create = true;
    } else if (arg == "--zone" && value()) {
      dyndnsZone = NormalZone(v);
      if (dyndnsZone.empty()) return Usage("--zone takes a DNS name such as dyn.example.org");
    } else if (arg == "--dns-zone" && value()) {
      try {
        dns.Zone = TDnsZone(v).Name();
      } catch (const EDnsZone& e) {
        return Usage("--dns-zone: " + e.Message());
      }
    } else if (arg == "--dns-server" && value()) {
      if (v.empty()) return Usage("--dns-server takes HOST or HOST:PORT");
      dns.Server = v;
    } else if (arg == "--dns-key" && value()) {
      if (v.empty()) return Usage("--dns-key takes the key file");
      dns.KeyFile = v;
    } else if (arg == "--dns-ttl" && value()) {
      try {
        dns.Ttl = TDnsPublisher::ParseTtl(v);
        dnsTtlGiven = true;
      } catch (const EDnsUpdate& e) {
        return Usage("--dns-ttl: " + e.Message());
      }
    } else if (arg == "--dns-verify" && value()) {
      try {
        dns.VerifyEvery = TDnsVerifier::ParseEvery(v);
        dnsVerifyGiven = true;
      } catch (const EDnsUpdate& e) {
        return Usage("--dns-verify: " + e.Message());
      }
    } else if (arg == "--trusted-proxy" && value()) {
      if (!proxies.Add(v)) return Usage("--trusted-proxy takes an address or ADDR/BITS, not " + v);
    } else if (arg == "--stale-after" && value()) {
      // Seconds ("90s") let what stale does be tried out without waiting for hours.
      const bool seconds = !v.empty() && v.back() == 's';
      if (seconds) v.pop_back();
      if (!TryDecimalToInt64(v, number) || number < 1 || number > (seconds ? 60 : 1) * 5256000)
        return Usage("--stale-after takes minutes, 1 to 5256000, or seconds with an s (90s)");
      rules.StaleAfter = number * (seconds ? 1000 : 60 * 1000);
    } else if (arg == "--remember-for" && value()) {
      if (!TryDecimalToInt64(v, number) || number < 0 || number > 10080)
        return Usage("--remember-for takes minutes, 0 to 10080");
      rules.RememberFor = number * 60 * 1000;
    } else if ((arg == "--max-connections" || arg == "--max-per-address") && value()) {
      if (!TryDecimalToInt64(v, number) || number < 1 || number > 1000000) return Usage(arg + " takes 1 to 1000000");
      (arg == "--max-connections" ? limits.MaxConnections : limits.MaxPerAddress) = static_cast<std::size_t>(number);
    } else if ((arg == "--head-timeout" || arg == "--body-timeout" || arg == "--idle-timeout") && value()) {
      if (!TryDecimalToInt64(v, number) || number < 1 || number > 3600) return Usage(arg + " takes 1 to 3600 seconds");
      (arg == "--head-timeout" ? limits.HeadSeconds : arg == "--body-timeout" ? limits.BodySeconds : limits.IdleSeconds) =
          static_cast<int>(number);
    } else if (arg == "--metrics-from" && value()) {
      // The first one given replaces the default list.
      if (!metricsFromGiven) admin.AllowedFrom = TTrustedProxies();
      metricsFromGiven = true;
      if (!admin.AllowedFrom.Add(v)) return Usage("--metrics-from takes an address or ADDR/BITS, not " + v);
    } else if (arg == "--healthy-queue-age" && value()) {
      const bool seconds = !v.empty() && v.back() == 's';
      if (seconds) v.pop_back();
      if (!TryDecimalToInt64(v, number) || number < 1 || number > (seconds ? 60 : 1) * 10080)
        return Usage("--healthy-queue-age takes minutes, 1 to 10080, or seconds with an s (30s)");
      admin.HealthyQueueAge = number * (seconds ? 1000 : 60 * 1000);
    } else if (arg == "--account" && value()) {
      const std::size_t colon = v.find(':');
      if (colon == std::string::npos || !IsDigest(v.substr(colon + 1)) ||
          !RequestNameProblem("the account name", v.substr(0, colon)).empty() || colon == 0)
        return Usage("--account takes NAME:DIGEST, DIGEST the 32-digit MD5 hex digest of the password");
      accounts.push_back({v.substr(0, colon), v.substr(colon + 1), ""});
    } else if (arg == "--accounts" && value()) {
      accounts.push_back({"", "", v});
    } else if (arg == "--webhook-allow-private") {
      webhooks.AllowPrivate = true;
    } else if (arg == "--tls-cert" && value()) {
      certFile = v;
    } else if (arg == "--tls-key" && value()) {
      keyFile = v;
    } else {
      return Usage();
    }
  }
  if (certFile.empty() != keyFile.empty()) return Usage("--tls-cert and --tls-key go together");
  const bool publish = !dns.Zone.empty() || !dns.Server.empty() || !dns.KeyFile.empty();
  if (publish && (dns.Zone.empty() || dns.Server.empty() || dns.KeyFile.empty()))
    return Usage("--dns-zone, --dns-server and --dns-key go together; " +
                 std::string(dns.Zone.empty()     ? "--dns-zone"
                             : dns.Server.empty() ? "--dns-server"
                                                  : "--dns-key") +
                 " is missing");
  if (dnsTtlGiven && !publish) return Usage("--dns-ttl is for publishing in DNS (--dns-zone, --dns-server, --dns-key)");
  if (dnsVerifyGiven && !publish)
    return Usage("--dns-verify is for publishing in DNS (--dns-zone, --dns-server, --dns-key)");
  // One zone for both: a dyndns2 host is the very name the node is published under.
  if (publish) {
    const std::string zone = dns.Zone.substr(0, dns.Zone.size() - 1);
    if (!dyndnsZone.empty() && dyndnsZone != zone)
      return Usage("--zone " + dyndnsZone + " and --dns-zone " + zone +
                   " differ; dyndns2 hosts are the names published in DNS, so --dns-zone alone sets both");
    dyndnsZone = zone;
  }
  rules.Zone = dyndnsZone;
  if (create && db.empty()) return Usage("--create is for --db");
  if (create && TPostgresStore::IsUri(db))
    return Usage("--create is for an SQLite file; a PostgreSQL database is made by its administrator (createdb),"
                 " its tables by the service");
  if (!db.empty() && !accounts.empty())
    return Usage("--account and --accounts keep accounts in memory; with --db, add them with \"account add\"");

  // Standard output may be a pipe that goes away; a log line must never end the service.
  ::signal(SIGPIPE, SIG_IGN);
  // A write past a file-size limit (LimitFSIZE=, ulimit -f) fails like one on a
  // full disk, and is answered like one, instead of ending the service.
  ::signal(SIGXFSZ, SIG_IGN);
  std::unique_ptr<IServiceStore> store;
  TSqliteStore* sqliteStore = nullptr;
  TOpenedStore opened;
  bool readOnly = false;
  if (!db.empty()) {
    struct stat st {};
    if (!create && !TPostgresStore::IsUri(db) && ::lstat(db.c_str(), &st) != 0 && errno == ENOENT)
      return Fail("there is no database " + db +
                  "; give --create to make a new one (the service's unit does on its first start)");
    try {
      opened = OpenStore(db, create);
      store = std::move(opened.Store);
    } catch (const Exception& e) {
      return Fail(e.Message());
    }
    if (TSqliteStore* sqlite = opened.Sqlite) {
      // A change of state like the request log's others, in its form.
      sqlite->OnFileReplaced = [](const std::string& line) {
        static const TRequestLog::TSink sink = [](TLogPriority priority, const std::string& text) {
          LogLine(STDOUT_FILENO, priority, text);
        };
        TRequestLog(sink).Write(TLogPriority::Error, "event=database state=replaced" + TRequestLog::Field("reason", line));
      };
      readOnly = sqlite->ReadOnly();
      sqliteStore = sqlite;
    }
  } else {
    store = std::make_unique<TMemoryStore>();
  }
  TCheckInService service(std::move(store), rules, proxies, certFile, keyFile);
  if (!service.Valid()) return Fail("cannot use the certificate " + certFile + " with the key " + keyFile);
  TFrontLimits serviceLimits = service.Limits();
  serviceLimits.MaxConnections = limits.MaxConnections;
  serviceLimits.MaxPerAddress = limits.MaxPerAddress;
  serviceLimits.HeadSeconds = limits.HeadSeconds;
  serviceLimits.BodySeconds = limits.BodySeconds;
  serviceLimits.IdleSeconds = limits.IdleSeconds;
  service.SetLimits(serviceLimits);
  if (sqliteStore) admin.CheckWritable = [sqliteStore] { sqliteStore->CheckWritable(); };
  service.SetAdmin(admin);
  for (const TAccountSource& account : accounts) {
    std::string error;
    if (account.file.empty()) {
      service.AddAccount(account.name, account.digest);
    } else if (!service.LoadAccounts(account.file, error)) {
      return Fail(error);
    }
  }
  service.OnLog = [](TLogPriority priority, const std::string& line) { LogLine(STDOUT_FILENO, priority, line); };
  // Blocked before any thread starts (the DNS publisher's are the first), so
  // every thread inherits the mask and only the waiting one takes the signals.
  sigset_t stopping;
  sigemptyset(&stopping);
  sigaddset(&stopping, SIGTERM);
  sigaddset(&stopping, SIGINT);
  ::pthread_sigmask(SIG_BLOCK, &stopping, nullptr);
  // Commits never wait for a checkpoint's sync to the disk.
  if (sqliteStore) sqliteStore->CheckpointInBackground();
  // Webhooks are set with "account set", on a database: accounts in memory have none.
  if (!db.empty()) service.NotifyByWebhook(webhooks);
  if (publish) {
    // The queue lives beside the nodes, so what was not sent yet is sent after a restart.
    std::unique_ptr<IDnsQueueStore> queue;
    if (!db.empty())
      queue = opened.DnsQueue();
    else
      queue = std::make_unique<TMemoryDnsQueueStore>();
    try {
      service.PublishInDns(dns, std::move(queue));
    } catch (const Exception& e) {
      return Fail(e.Message());
    }
  }
  if (hosts.empty()) hosts.push_back("127.0.0.1");
  // Every address on one port: the first one's, when the system picked it.
  // With several, an IPv6 address takes IPv6 alone, so that an IPv4 one
  // can be beside it on the same port.
  // An address of a family this system does not have (IPv6 switched off,
  // no ::1) is passed over while another one listens, so that the unit's
  // pair still starts there; any other failure ends the start.
  int bound = port;
  std::vector<std::string> listening;
  for (const std::string& host : hosts) {
    std::error_code failure;
    const int got = service.Bind(host, bound, hosts.size() > 1, &failure);
    const std::string why = failure ? " (" + failure.message() + ")" : "";
    if (got >= 0) {
      bound = got;
      listening.push_back(host);
    } else if (hosts.size() > 1 && (failure == std::errc::address_family_not_supported ||
                                    failure == std::errc::address_not_available)) {
      LogLine(STDERR_FILENO, TLogPriority::Warning, "not listening on " + host + why);
    } else {
      return Fail("cannot listen on " + host + ":" + std::to_string(bound) + why);
    }
  }
  if (listening.empty()) return Fail("cannot listen on any of the addresses given");

  TStopOnSignal stopOnSignal(service);
  for (const std::string& host : listening)
    LogLine(STDOUT_FILENO, TLogPriority::Info, "listening on " + host + ":" + std::to_string(bound));
  if (publish)
    LogLine(STDOUT_FILENO, TLogPriority::Info,
            "publishing nodes in DNS as NODE.ACCOUNT." + rules.Zone + " at " + service.Dns()->Server().Text() +
                " (TTL " + std::to_string(dns.Ttl) + " s, every name verified every " +
                std::to_string(std::chrono::duration_cast<std::chrono::seconds>(dns.VerifyEvery).count()) + " s)");
  if (readOnly)
    LogLine(STDOUT_FILENO, TLogPriority::Warning,
            db + " is read-only: nodes are shown, check-ins are answered 503 until it can be written");
  service.Core().PrepareDummyHash();
  service.Serve();
  return 0;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) {
    std::cout << "pinmark-service " << PINMARK_VERSION << "\n";
    return 0;
  }
  if (argc >= 2 && std::strcmp(argv[1], "--help") == 0) {
    std::cout << kUsage << kHelp;
    return 0;
  }
  if (argc >= 2 && std::strcmp(argv[1], "account") == 0) return AccountCommand(argc, argv);
  if (argc >= 2 && std::strcmp(argv[1], "node") == 0) return NodeCommand(argc, argv);
  if (argc >= 2 && std::strcmp(argv[1], "backup") == 0) return BackupCommand(argc, argv);
  return Serve(argc, argv);
}
