// pinmark-service: the check-in service, and the commands that manage its
// accounts.
//
// Serving prints "listening on HOST:PORT" once it accepts connections and
// then logs every check-in, update, refusal and failure to standard output,
// one line each, with its priority when that is the journal. SIGTERM or
// SIGINT end it; what was answered is stored by then.
//
// The account commands (service/cli) work on the database file while the
// service runs.
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <iostream>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "runtime/JournalLog.h"
#include "service/core/AccountList.h"
#include "service/cli/ServiceCommands.h"
#include "service/cli/ServiceOptions.h"
#include "service/dns/MemoryDnsQueueStore.h"
#include "service/http/CheckInService.h"
#include "service/store/MemoryStore.h"
#include "service/store/OpenedStore.h"
#include "service/store/SqliteStore.h"

namespace {
// The service could not start; the message says why (exit status 1).
PINMARK_EXCEPTION_CLASS(EStartFailed, Exception);

// Runs a command or the service: what it raises goes to standard error
// with the program's name, and ends it with exit status 1.
template <class TOptions>
int Run(void (*command)(const TOptions&), const TOptions& options) {
  try {
    command(options);
    return 0;
  } catch (const Exception& e) {
    std::cerr << "pinmark-service: " << e.Message() << "\n";
    return 1;
  }
}

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
// The database of --db, or accounts and nodes in memory (opened.Store
// empty, the pointers nullptr): what only a database has (a DNS queue beside
// the nodes, webhooks, the checks of /healthz) goes by opened.
std::unique_ptr<IServiceStore> OpenStore(const TServeOptions& o, TOpenedStore& opened) {
  if (o.Db.empty()) return std::make_unique<TMemoryStore>();
  struct stat st {};
  if (!o.Create && !IsDatabaseUri(o.Db) && ::lstat(o.Db.c_str(), &st) != 0 && errno == ENOENT)
    throw EStartFailed("there is no database " + o.Db +
                       "; give --create to make a new one (the service's unit does on its first start)");
  opened = OpenDatabase(o.Db, o.Create);
  if (TSqliteStore* sqlite = opened.Sqlite)
    // A change of state like the request log's others, in its form.
    sqlite->OnFileReplaced = [](const std::string& line) {
      static const TRequestLog::TSink sink = [](TLogPriority priority, const std::string& text) {
        LogLine(STDOUT_FILENO, priority, text);
      };
      TRequestLog(sink).Write(TLogPriority::Error,
                              "event=database state=replaced" + TRequestLog::Field("reason", line));
    };
  return std::move(opened.Store);
}

TTrustedProxies Networks(const std::vector<std::string>& texts) {
  TTrustedProxies networks;
  for (const std::string& text : texts) networks.Add(text);  // each was checked when parsed
  return networks;
}

std::unique_ptr<TCheckInService> MakeService(const TServeOptions& o, TOpenedStore& opened) {
  TServiceRules rules;
  rules.SlowHashesAtOnce = std::max(1u, std::thread::hardware_concurrency());
  rules.StaleAfter = o.StaleAfterMs;
  rules.RememberFor = o.RememberForMs;
  rules.Zone = o.Zone;
  auto service =
      std::make_unique<TCheckInService>(OpenStore(o, opened), rules, Networks(o.TrustedProxies), o.TlsCert, o.TlsKey);
  TFrontLimits limits = service->Limits();
  limits.MaxConnections = o.MaxConnections;
  limits.MaxPerAddress = o.MaxPerAddress;
  limits.HeadSeconds = o.HeadSeconds;
  limits.BodySeconds = o.BodySeconds;
  limits.IdleSeconds = o.IdleSeconds;
  service->SetLimits(limits);
  TAdminOptions admin;
  admin.AllowedFrom = Networks(o.MetricsFrom);
  admin.HealthyQueueAge = o.HealthyQueueAgeMs;
  if (TSqliteStore* sqlite = opened.Sqlite) admin.CheckWritable = [sqlite] { sqlite->CheckWritable(); };
  service->SetAdmin(admin);
  for (const TAccountSource& account : o.Accounts) {
    if (account.File.empty()) {
      service->AddAccount(account.Name, account.Digest);
      continue;
    }
    try {
      service->LoadAccounts(account.File);
    } catch (const EAccountList& e) {
      throw EStartFailed(e.Message());
    }
  }
  service->OnLog = [](TLogPriority priority, const std::string& line) { LogLine(STDOUT_FILENO, priority, line); };
  return service;
}

// The threads the service starts from here on inherit a mask that blocks the
// stopping signals, so only TStopOnSignal's thread takes them.
void BlockStoppingSignals() {
  sigset_t stopping;
  sigemptyset(&stopping);
  sigaddset(&stopping, SIGTERM);
  sigaddset(&stopping, SIGINT);
  ::pthread_sigmask(SIG_BLOCK, &stopping, nullptr);
}

// Webhooks, the DNS publisher and the database's checkpoints: what runs on
// threads of its own beside the front.
void StartHelpers(TCheckInService& service, const TServeOptions& o, const TOpenedStore& opened) {
  // Commits never wait for a checkpoint's sync to the disk.
  if (opened.Sqlite) opened.Sqlite->CheckpointInBackground();
  // Webhooks are set with "account set", on a database: accounts in memory have none.
  if (!o.Db.empty()) {
    TWebhookOptions webhooks;
    webhooks.UserAgent = std::string("pinmark-service/") + PINMARK_VERSION;
    webhooks.AllowPrivate = o.WebhookAllowPrivate;
    service.NotifyByWebhook(webhooks);
  }
  if (!o.Publish) return;
  // The queue lives beside the nodes, so what was not sent yet is sent after a restart.
  std::unique_ptr<IDnsQueueStore> queue;
  if (!o.Db.empty())
    queue = opened.DnsQueue();
  else
    queue = std::make_unique<TMemoryDnsQueueStore>();
  service.PublishInDns(o.Dns, std::move(queue));
}

// Every address on one port: the first one's, when the system picked it.
// With several, an IPv6 address takes IPv6 alone, so that an IPv4 one can be
// beside it on the same port. An address of a family this system does not
// have (IPv6 switched off, no ::1) is passed over while another one listens,
// so that the unit's pair still starts there; any other failure ends the
// start. Returns the addresses listened on; port becomes the one bound.
std::vector<std::string> Listen(TCheckInService& service, const std::vector<std::string>& hosts, int& port) {
  std::vector<std::string> listening;
  for (const std::string& host : hosts) {
    try {
      port = service.Bind(host, port, hosts.size() > 1);
      listening.push_back(host);
    } catch (const EBindFailed& e) {
      const std::error_code& why = e.Code();
      if (hosts.size() > 1 &&
          (why == std::errc::address_family_not_supported || why == std::errc::address_not_available))
        LogLine(STDERR_FILENO, TLogPriority::Warning, "not listening on " + host + " (" + why.message() + ")");
      else
        throw EStartFailed(e.Message());
    }
  }
  if (listening.empty()) throw EStartFailed("cannot listen on any of the addresses given");
  return listening;
}

void Announce(TCheckInService& service, const TServeOptions& o, const std::vector<std::string>& listening, int port,
              bool readOnly) {
  for (const std::string& host : listening)
    LogLine(STDOUT_FILENO, TLogPriority::Info, "listening on " + host + ":" + std::to_string(port));
  if (o.Publish)
    LogLine(STDOUT_FILENO, TLogPriority::Info,
            "publishing nodes in DNS as NODE.ACCOUNT." + o.Zone + " at " + service.Dns()->Server().Text() + " (TTL " +
                std::to_string(o.Dns.Ttl) + " s, every name verified every " +
                std::to_string(std::chrono::duration_cast<std::chrono::seconds>(o.Dns.VerifyEvery).count()) + " s)");
  if (readOnly)
    LogLine(STDOUT_FILENO, TLogPriority::Warning,
            o.Db + " is read-only: nodes are shown, check-ins are answered 503 until it can be written");
}

void Serve(const TServeOptions& o) {
  // Standard output may be a pipe that goes away; a log line must never end the service.
  ::signal(SIGPIPE, SIG_IGN);
  // A write past a file-size limit (LimitFSIZE=, ulimit -f) fails like one on a
  // full disk, and is answered like one, instead of ending the service.
  ::signal(SIGXFSZ, SIG_IGN);
  TOpenedStore opened;
  std::unique_ptr<TCheckInService> service = MakeService(o, opened);
  const bool readOnly = opened.Sqlite && opened.Sqlite->ReadOnly();
  // Blocked before any thread starts (the DNS publisher's are the first).
  BlockStoppingSignals();
  StartHelpers(*service, o, opened);
  int port = o.Port;
  const std::vector<std::string> listening = Listen(*service, o.Hosts, port);
  TStopOnSignal stopOnSignal(*service);
  Announce(*service, o, listening, port, readOnly);
  service->Core().PrepareDummyHash();
  service->Serve();
}
}  // namespace

int main(int argc, char** argv) {
  TServiceOptions options;
  try {
    options = TServiceOptions::Parse(argc, argv, TServiceCommands::DefaultDatabase());
  } catch (const EUsage& e) {
    std::cerr << "pinmark-service: " << e.Message() << "\n" << TServiceOptions::Usage();
    return 2;
  }
  switch (options.Command) {
    case TServiceCommand::Help:
      std::cout << options.HelpText;
      return 0;
    case TServiceCommand::Version:
      std::cout << "pinmark-service " << PINMARK_VERSION << "\n";
      return 0;
    case TServiceCommand::Account:
      return Run(TServiceCommands::Account, options.Account);
    case TServiceCommand::NodeKey:
      return Run(TServiceCommands::NodeKey, options.NodeKey);
    case TServiceCommand::Backup:
      return Run(TServiceCommands::Backup, options.Backup);
    case TServiceCommand::Migrate:
      return Run(TServiceCommands::Migrate, options.Migrate);
    case TServiceCommand::Serve:
      break;
  }
  return Run(Serve, options.Serve);
}
