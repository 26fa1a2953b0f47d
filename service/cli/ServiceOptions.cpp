#include "service/cli/ServiceOptions.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <map>
#include <memory>
#include <sstream>

#include "runtime/SysUtils.h"
#include "service/core/DynDns2.h"
#include "service/core/NameRules.h"
#include "service/dns/DnsVerifier.h"
#include "service/dns/DnsZone.h"
#include "service/http/TrustedProxies.h"
#include "service/store/OpenedStore.h"

namespace {
constexpr char kProgram[] = "pinmark-service";
constexpr std::size_t kWidth = 80, kColumn = 25;

const char kAbout[] =
    "Serves the Pinmark check-in (/includes/r_update.php), the dyndns2 update (/nic/update),\n"
    "the web page of each account's nodes (/nodes) and their JSON (/api/nodes).\n";

const char kCommandsAbout[] =
    "The commands work on --db FILE, by default $STATE_DIRECTORY/pinmark.db or\n"
    "/var/lib/pinmark-service/pinmark.db, also while the service runs; each\n"
    "takes --help.\n";

// ---- the checks of single values, as CLI11 validators ----
// Each returns what the option takes; CLI11 puts the option's name before it.

// scale: what one is worth in the field (60000: minutes kept as milliseconds).
CLI::Validator WholeNumber(std::int64_t low, std::int64_t high, const std::string& unit = "", std::int64_t scale = 1) {
  return CLI::Validator(
      [=](std::string& text) -> std::string {
        std::int64_t n = 0;
        if (TryDecimalToInt64(text, n) && n >= low && n <= high) {
          text = std::to_string(n * scale);
          return "";
        }
        return "takes " + std::to_string(low) + " to " + std::to_string(high) + (unit.empty() ? "" : " " + unit) +
               ", not " + text;
      },
      "");
}

// Minutes, or seconds with an s (90s) so that what the period does can be
// tried out without waiting; the text becomes milliseconds.
CLI::Validator MinutesOrSeconds(std::int64_t maxMinutes, const char* example) {
  return CLI::Validator(
      [=](std::string& text) -> std::string {
        std::string digits = text;
        const bool seconds = !digits.empty() && digits.back() == 's';
        if (seconds) digits.pop_back();
        std::int64_t n = 0;
        if (!TryDecimalToInt64(digits, n) || n < 1 || n > (seconds ? 60 : 1) * maxMinutes)
          return "takes minutes, 1 to " + std::to_string(maxMinutes) + ", or seconds with an s (" + example +
                 "), not " + text;
        text = std::to_string(n * (seconds ? 1000 : 60 * 1000));
        return "";
      },
      "");
}

CLI::Validator Network() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        try {
          TTrustedProxies().Add(text);
          return "";
        } catch (const ETrustedProxy&) {
          return "takes an address or ADDR/BITS, not " + text;
        }
      },
      "");
}

CLI::Validator NotEmpty(const std::string& what) {
  return CLI::Validator([=](std::string& text) -> std::string { return text.empty() ? "takes " + what : ""; }, "");
}

// Runs one of the service's own parsers; its exception's message is the problem.
template <class TException, class TParse>
CLI::Validator ParsedBy(TParse parse) {
  return CLI::Validator(
      [=](std::string& text) -> std::string {
        try {
          text = parse(text);
          return "";
        } catch (const TException& e) {
          return e.Message();
        }
      },
      "");
}

// ---- the declarations ----

// Every option and command of the program on one CLI11 tree, bound to the
// fields of one TServiceOptions; built afresh for each parse.
class TDeclarations {
 public:
  TDeclarations(TServiceOptions& o, const std::string& defaultDb);

  void Parse(int argc, const char* const* argv);
  std::string Help(const CLI::App& about) const;
  std::string Usage() const;

  CLI::App app{"", kProgram};

 private:
  struct TRelation {
    CLI::Option *from, *to;
    bool needs;  // else excludes
    std::string message;
  };

  void DeclareServe(TServeOptions& o);
  void DeclareAccount(TAccountOptions& o, const std::string& defaultDb);
  void DeclareNodeKey(TNodeKeyOptions& o, const std::string& defaultDb);
  void DeclareBackup(TBackupOptions& o, const std::string& defaultDb);
  void DeclareMigrate(TMigrateOptions& o);
  CLI::Option* Db(CLI::App& command, std::string& field, const std::string& defaultDb);
  void Needs(CLI::Option* from, CLI::Option* to, std::string message);
  void Excludes(CLI::Option* from, CLI::Option* to, std::string message);
  void Finish(TServiceOptions& o) const;
  std::string Explain(const CLI::ParseError& e) const;
  std::vector<const CLI::App*> ParsedChain() const;

  // What Finish reads after parsing.
  CLI::Option *host = nullptr, *account = nullptr, *accounts = nullptr, *dnsZone = nullptr, *version = nullptr;
  CLI::App *nodeKey = nullptr, *backup = nullptr, *migrate = nullptr;
  std::vector<const CLI::Option*> setChanges_;  // "account set" takes one of them at least
  std::map<const CLI::App*, TAccountVerb> verbs_;

  TServiceOptions& options_;
  std::vector<TRelation> relations_;
  std::map<const CLI::Option*, std::string> missingOperand_;
  std::map<const CLI::App*, std::string> missingChoice_;
  std::vector<const CLI::App*> commands_;  // the leaves, in the order of the usage
};

TDeclarations::TDeclarations(TServiceOptions& o, const std::string& defaultDb) : options_(o) {
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  DeclareServe(o.Serve);
  // After the options of serving, as the manual page lists them; before the
  // commands, which take it over.
  app.set_help_flag("--help", "show this help");
  version = app.add_flag("--version")->description("show the version");
  DeclareAccount(o.Account, defaultDb);
  DeclareNodeKey(o.NodeKey, defaultDb);
  DeclareBackup(o.Backup, defaultDb);
  DeclareMigrate(o.Migrate);
}

void TDeclarations::DeclareServe(TServeOptions& o) {
  // Read from the order given once parsed (see Finish).
  host = app.add_option("--host")
             ->description(
                 "an address to listen on; several one after the other, all on the one port: --host 127.0.0.1 "
                 "--host ::1 (a --host after another option starts the list anew)")
             ->type_name("HOST")
             ->default_str("127.0.0.1")
             ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
             ->transform(NotEmpty("an address or a name"));
  app.add_option("--port", o.Port, "the port to listen on; 0 lets the system pick one")
      ->type_name("PORT")
      ->default_str("8080")
      ->transform(WholeNumber(0, 65535));
  CLI::Option* db =
      app.add_option("--db", o.Db,
                     "the database of accounts, nodes and history; without it accounts come from --account and "
                     "--accounts and nodes are kept in memory until the service ends; a postgresql:// or "
                     "postgres:// URI names a PostgreSQL database instead (several instances may share it)")
          ->type_name("FILE");
  CLI::Option* create = app.add_flag("--create", o.Create,
                                     "make the database when FILE is absent (else the service refuses to start: a "
                                     "database that went missing is not made anew, empty)");
  Needs(create, db, "--create is for --db");
  app.add_option("--zone", o.Zone, "the dyndns2 zone: an update names NODE.ACCOUNT.ZONE (--dns-zone sets it too)")
      ->type_name("ZONE")
      ->transform(CLI::Validator(
          [](std::string& text) -> std::string {
            text = NormalZone(text);
            return text.empty() ? "takes a DNS name such as dyn.example.org" : "";
          },
          ""));
  app.add_option("--trusted-proxy", o.TrustedProxies,
                 "a reverse proxy (an address or ADDR/BITS) whose X-Forwarded-For names the caller; may be given "
                 "more than once")
      ->type_name("ADDR[/BITS]")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->allow_extra_args(false)  // one value each time, as every other option
      ->transform(Network());
  app.add_option("--stale-after", o.StaleAfterMs,
                 "a node that has not checked in for this long is stale, and a family it has not checked in over for "
                 "this long while it did over the other loses its DNS record; or seconds with an s, as 90s")
      ->type_name("MINUTES")
      ->default_str("120")
      ->transform(MinutesOrSeconds(5256000, "90s"));
  app.add_option("--remember-for", o.RememberForMs, "how long a verified password spares a node the slow hash")
      ->type_name("MINUTES")
      ->default_str("120")
      ->transform(WholeNumber(0, 10080, "minutes", 60 * 1000));
  account = app.add_option("--account")
                ->description("an account in memory, DIGEST the MD5 hex digest of its password")
                ->type_name("NAME:DIGEST")
                ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
                ->transform(CLI::Validator(
                    [](std::string& text) -> std::string {
                      const std::size_t colon = text.find(':');
                      try {
                        if (colon != std::string::npos && colon != 0 && IsDigest(text.substr(colon + 1))) {
                          CheckRequestName("the account name", text.substr(0, colon));
                          return "";
                        }
                      } catch (const EBadName&) {
                      }
                      return "takes NAME:DIGEST, DIGEST the 32-digit MD5 hex digest of the password";
                    },
                    ""));
  accounts = app.add_option("--accounts")
                 ->description("accounts in memory, one \"NAME DIGEST\" a line")
                 ->type_name("FILE")
                 ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  const std::string inMemory =
      "--account and --accounts keep accounts in memory; with --db, add them with \"account add\"";
  Excludes(account, db, inMemory);
  Excludes(accounts, db, inMemory);
  CLI::Option* cert =
      app.add_option("--tls-cert", o.TlsCert, "serve HTTPS with this PEM certificate chain ...")->type_name("FILE");
  CLI::Option* key = app.add_option("--tls-key", o.TlsKey, "... and this PEM private key")->type_name("FILE");
  Needs(cert, key, "--tls-cert and --tls-key go together");
  Needs(key, cert, "--tls-cert and --tls-key go together");
  app.add_option("--max-connections", o.MaxConnections,
                 "connections open at once; a new one over it closes the oldest idle one")
      ->type_name("N")
      ->default_str("4096")
      ->transform(WholeNumber(1, 1000000));
  app.add_option("--max-per-address", o.MaxPerAddress, "connections open at once from one address")
      ->type_name("N")
      ->default_str("256")
      ->transform(WholeNumber(1, 1000000));
  app.add_option("--head-timeout", o.HeadSeconds,
                 "a request's head is complete this long after the connection opened or the previous answer was "
                 "written")
      ->type_name("SECONDS")
      ->default_str("10")
      ->transform(WholeNumber(1, 3600, "seconds"));
  app.add_option("--body-timeout", o.BodySeconds, "a request's body is complete this long after its head")
      ->type_name("SECONDS")
      ->default_str("10")
      ->transform(WholeNumber(1, 3600, "seconds"));
  app.add_option("--idle-timeout", o.IdleSeconds, "a connection silent this long after an answer is closed")
      ->type_name("SECONDS")
      ->default_str("5")
      ->transform(WholeNumber(1, 3600, "seconds"));
  dnsZone = app.add_option("--dns-zone", o.Dns.Zone,
                           "publish every node in DNS as NODE.ACCOUNT.ZONE, by signed dynamic updates to the zone's "
                           "name server; the dyndns2 zone")
                ->type_name("ZONE")
                ->transform(ParsedBy<EDnsZone>([](const std::string& text) { return TDnsZone(text).Name(); }));
  CLI::Option* dnsServer =
      app.add_option("--dns-server", o.Dns.Server, "the name server that takes the updates (port 53)")
          ->type_name("HOST[:PORT]")
          ->transform(NotEmpty("HOST or HOST:PORT"));
  CLI::Option* dnsKey =
      app.add_option("--dns-key", o.Dns.KeyFile,
                     "the TSIG key file (key statement, Knot key section or [ALGORITHM:]NAME:SECRET); readable "
                     "by its owner only")
          ->type_name("FILE")
          ->transform(NotEmpty("the key file"));
  CLI::Option* trio[] = {dnsZone, dnsServer, dnsKey};
  for (CLI::Option* from : trio)
    for (CLI::Option* to : trio)
      if (from != to)
        Needs(from, to, "--dns-zone, --dns-server and --dns-key go together; " + to->get_name() + " is missing");
  CLI::Option* ttl = app.add_option("--dns-ttl", o.Dns.Ttl, "the TTL of the published records")
                         ->type_name("SECONDS")
                         ->default_str("60")
                         ->transform(ParsedBy<EDnsUpdate>(
                             [](const std::string& text) { return std::to_string(TDnsPublisher::ParseTtl(text)); }));
  Needs(ttl, dnsZone, "--dns-ttl is for publishing in DNS (--dns-zone, --dns-server, --dns-key)");
  CLI::Option* verify =
      app.add_option_function<std::int64_t>(
             "--dns-verify", [&o](std::int64_t ms) { o.Dns.VerifyEvery = std::chrono::milliseconds(ms); },
             "how often every published name is checked at the name server and sent again where it is missing "
             "(10s to 7d)")
          ->type_name("DURATION")
          ->default_str("1h")
          ->transform(ParsedBy<EDnsUpdate>(
              [](const std::string& text) { return std::to_string(TDnsVerifier::ParseEvery(text).count()); }));
  Needs(verify, dnsZone, "--dns-verify is for publishing in DNS (--dns-zone, --dns-server, --dns-key)");
  app.add_flag("--webhook-allow-private", o.WebhookAllowPrivate,
               "send webhooks to loopback, private and link-local addresses too (refused by default, so that an "
               "account cannot reach the service's own network)");
  // Given, the list replaces the default one.
  app.add_option("--metrics-from", o.MetricsFrom,
                 "an address or ADDR/BITS network that may read /metrics and /healthz; may be given more than once; "
                 "others get 404")
      ->type_name("ADDR[/BITS]")
      ->default_str("127.0.0.0/8 and ::1")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->allow_extra_args(false)  // one value each time, as every other option
      ->transform(Network());
  app.add_option("--healthy-queue-age", o.HealthyQueueAgeMs,
                 "/healthz answers 503 once a DNS update has waited this long; or seconds with an s, as 30s")
      ->type_name("MINUTES")
      ->default_str("10")
      ->transform(MinutesOrSeconds(10080, "30s"));
}

CLI::Option* TDeclarations::Db(CLI::App& command, std::string& field, const std::string& defaultDb) {
  field = defaultDb;
  return command.add_option("--db", field, "the database")->type_name("FILE");
}

void TDeclarations::DeclareAccount(TAccountOptions& o, const std::string& defaultDb) {
  CLI::App* accountCommand = app.add_subcommand("account", "the accounts of the database")->require_subcommand(1);
  missingChoice_[accountCommand] = "account needs add, passwd, remove, list, import, set or show";
  const struct {
    const char* name;
    TAccountVerb verb;
    const char* operand;  // nullptr: none
    const char* description;
  } verbs[] = {
      {"add", TAccountVerb::Add, "NAME", "add an account; NAME is 1 to 63 letters, digits and hyphens"},
      {"passwd", TAccountVerb::Passwd, "NAME", "give an account a new password"},
      {"remove", TAccountVerb::Remove, "NAME", "remove an account with its nodes and their history"},
      {"list", TAccountVerb::List, nullptr, "list the accounts with their number of nodes"},
      {"import", TAccountVerb::Import, "FILE", "add the accounts of an accounts file (as --accounts reads it)"},
      {"set", TAccountVerb::Set, "NAME",
       "change how the account works: POST its events (address-changed, node-stale, dns-failing, dns-recovered) "
       "as signed JSON to a webhook, or let only its nodes' keys update them"},
      {"show", TAccountVerb::Show, "NAME", "the account's nodes, webhook, signing secret and its state"},
  };
  for (const auto& v : verbs) {
    CLI::App* command = accountCommand->add_subcommand(v.name, v.description);
    verbs_[command] = v.verb;
    commands_.push_back(command);
    if (v.operand) {
      CLI::Option* operand = command->add_option(v.operand, o.Operand)->required();
      missingOperand_[operand] =
          "account " + std::string(v.name) + " needs a " + (v.verb == TAccountVerb::Import ? "file" : "name");
    }
    if (v.verb == TAccountVerb::Add || v.verb == TAccountVerb::Passwd)
      command->add_flag("--password-stdin", o.PasswordStdin,
                        "read the password as one line from standard input instead of asking on the terminal");
    if (v.verb == TAccountVerb::Set) {
      // On the command itself: an option group of CLI11 2.1 loops for ever on
      // an empty argument followed by an unknown option.
      CLI::Option* webhook = command
                                 ->add_option_function<std::string>(
                                     "--webhook", [&o](const std::string& url) { o.Webhook = url; },
                                     "POST the account's events to URL (http or https); prints the "
                                     "signing secret; '' stops them")
                                 ->type_name("URL");
      CLI::Option* noWebhook = command->add_flag_callback(
          "--no-webhook", [&o] { o.Webhook = ""; }, "stop them");
      CLI::Option* keysOnly = command->add_flag_callback(
          "--keys-only", [&o] { o.KeysOnly = true; },
          "only the nodes' own keys update the account's nodes; the password still signs in to the page and the JSON");
      CLI::Option* password = command->add_flag_callback(
          "--no-keys-only", [&o] { o.KeysOnly = false; }, "the password updates the account's nodes again");
      Excludes(webhook, noWebhook, "--webhook and --no-webhook exclude each other");
      Excludes(keysOnly, password, "--keys-only and --no-keys-only exclude each other");
      setChanges_ = {webhook, noWebhook, keysOnly, password};
    }
    Db(*command, o.Db, defaultDb);
  }
}

void TDeclarations::DeclareNodeKey(TNodeKeyOptions& o, const std::string& defaultDb) {
  CLI::App* nodeCommand = app.add_subcommand("node", "the nodes' own keys")->require_subcommand(1);
  missingChoice_[nodeCommand] = "node needs key";
  nodeKey = nodeCommand->add_subcommand(
      "key",
      "make the node a key of its own, printed once on the last line, replacing its old one; the node need not have "
      "checked in yet. The key is the node's password on the check-in and dyndns2, for that node only");
  commands_.push_back(nodeKey);
  for (std::string* operand : {&o.Account, &o.Node})
    missingOperand_[nodeKey->add_option(operand == &o.Account ? "ACCOUNT" : "NODE", *operand)->required()] =
        "node key needs an account and a node";
  nodeKey->add_flag("--remove", o.Remove, "remove the node's key instead");
  Db(*nodeKey, o.Db, defaultDb);
}

void TDeclarations::DeclareBackup(TBackupOptions& o, const std::string& defaultDb) {
  backup = app.add_subcommand("backup",
                              "a consistent copy of the database, taken while the service runs, written whole to FILE "
                              "(readable by its owner only)");
  commands_.push_back(backup);
  missingOperand_[backup->add_option("FILE", o.File)->required()] = "backup needs the FILE to write the copy to";
  Db(*backup, o.Db, defaultDb);
}

void TDeclarations::DeclareMigrate(TMigrateOptions& o) {
  migrate = app.add_subcommand("migrate",
                               "copy everything an SQLite database holds into an empty PostgreSQL database, in one "
                               "transaction (stop the service first)");
  commands_.push_back(migrate);
  missingOperand_[migrate->add_option("--from", o.From, "the SQLite file, read only")->type_name("FILE")->required()] =
      "migrate needs --from FILE and --to postgresql://...";
  missingOperand_[migrate->add_option("--to", o.To, "the PostgreSQL database, one without accounts")
                      ->type_name("URI")
                      ->required()
                      ->check(CLI::Validator(
                          [](std::string& uri) {
                            return IsDatabaseUri(uri) ? std::string() : "takes a postgresql:// URI";
                          },
                          ""))] = "migrate needs --from FILE and --to postgresql://...";
}

void TDeclarations::Needs(CLI::Option* from, CLI::Option* to, std::string message) {
  from->needs(to);
  relations_.push_back({from, to, true, std::move(message)});
}

void TDeclarations::Excludes(CLI::Option* from, CLI::Option* to, std::string message) {
  from->excludes(to);
  relations_.push_back({from, to, false, std::move(message)});
}

void TDeclarations::Parse(int argc, const char* const* argv) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    const std::vector<const CLI::App*> chain = ParsedChain();
    options_.Command = TServiceCommand::Help;
    options_.HelpText = Help(*chain.back());
    return;
  } catch (const CLI::ParseError& e) {
    throw EUsage(Explain(e));
  }
  Finish(options_);
}

// The program, the command and the subcommand given, as far as they go.
std::vector<const CLI::App*> TDeclarations::ParsedChain() const {
  std::vector<const CLI::App*> chain{&app};
  for (bool deeper = true; deeper;) {
    deeper = false;
    for (const CLI::App* sub : chain.back()->get_subcommands([](const CLI::App* a) { return !a->get_name().empty(); }))
      if (sub->parsed()) {
        chain.push_back(sub);
        deeper = true;
        break;
      }
  }
  return chain;
}

// CLI11 says what went wrong in its own words; the rules declared here say
// it in ours.
std::string TDeclarations::Explain(const CLI::ParseError& e) const {
  if (dynamic_cast<const CLI::RequiresError*>(&e) || dynamic_cast<const CLI::ExcludesError*>(&e))
    for (const TRelation& r : relations_)
      if (r.from->count() > 0 && (r.to->count() > 0) != r.needs) return r.message;
  const std::vector<const CLI::App*> chain = ParsedChain();
  if (dynamic_cast<const CLI::RequiredError*>(&e)) {
    for (const CLI::App* command : chain) {
      for (const CLI::Option* operand : command->get_options())
        if (operand->get_required() && operand->count() == 0 && missingOperand_.contains(operand))
          return missingOperand_.at(operand);
      if (command->get_require_subcommand_min() > command->get_subcommands().size() && missingChoice_.contains(command))
        return missingChoice_.at(command);
    }
  }
  if (dynamic_cast<const CLI::ExtrasError*>(&e)) {
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
      const std::vector<std::string> extra = (*it)->remaining();
      if (extra.empty()) continue;
      if (extra.front().starts_with("-")) return "unknown option " + extra.front();
      return "too many arguments: " + (extra.front().empty() ? "''" : extra.front());
    }
  }
  return e.what();
}

// What can only be told from the options together, and the order they came in.
void TDeclarations::Finish(TServiceOptions& o) const {
  const std::vector<const CLI::App*> chain = ParsedChain();
  if (version->count() > 0) {
    o.Command = TServiceCommand::Version;
    return;
  }
  // "--db x account list" would otherwise list the default database's
  // accounts: an option of serving before a command is a mistake.
  if (chain.size() > 1 && !app.parse_order().empty())
    throw EUsage(app.parse_order().front()->get_name() + " is an option of serving; a command's options come after it");
  if (chain.back() == nodeKey) {
    o.Command = TServiceCommand::NodeKey;
    return;
  }
  if (chain.back() == backup) {
    o.Command = TServiceCommand::Backup;
    return;
  }
  if (chain.back() == migrate) {
    o.Command = TServiceCommand::Migrate;
    return;
  }
  if (verbs_.contains(chain.back())) {
    o.Command = TServiceCommand::Account;
    o.Account.Verb = verbs_.at(chain.back());
    if (o.Account.Verb == TAccountVerb::Set &&
        std::none_of(setChanges_.begin(), setChanges_.end(), [](const CLI::Option* c) { return c->count() > 0; }))
      throw EUsage("account set takes --webhook URL or --no-webhook, --keys-only or --no-keys-only, and only them");
    return;
  }
  TServeOptions& serve = o.Serve;
  // A run of --host options one after the other names the addresses together,
  // and a --host after any other option starts them anew: the unit's own pair
  // comes first on its command line, and the administrator's options after it
  // replace it.
  std::size_t hostAt = 0, accountAt = 0, accountsAt = 0;
  const CLI::Option* previous = nullptr;
  // Each of these options takes one value each time it is given, so its
  // n-th appearance in the order is its n-th value.
  for (const CLI::Option* given : app.parse_order()) {
    if (given == host && hostAt < host->results().size()) {
      if (previous != host) serve.Hosts.clear();
      const std::string& text = host->results()[hostAt++];
      if (std::find(serve.Hosts.begin(), serve.Hosts.end(), text) == serve.Hosts.end()) serve.Hosts.push_back(text);
    } else if (given == account && accountAt < account->results().size()) {
      const std::string& text = account->results()[accountAt++];
      const std::size_t colon = text.find(':');
      serve.Accounts.push_back({text.substr(0, colon), text.substr(colon + 1), ""});
    } else if (given == accounts && accountsAt < accounts->results().size()) {
      serve.Accounts.push_back({"", "", accounts->results()[accountsAt++]});
    }
    previous = given;
  }
  if (serve.Create && IsDatabaseUri(serve.Db))
    throw EUsage(
        "--create is for an SQLite file; a PostgreSQL database is made by its administrator (createdb), "
        "its tables by the service");
  serve.Publish = dnsZone->count() > 0;
  // One zone for both: a dyndns2 host is the very name the node is published under.
  if (serve.Publish) {
    const std::string published = serve.Dns.Zone.substr(0, serve.Dns.Zone.size() - 1);
    if (!serve.Zone.empty() && serve.Zone != published)
      throw EUsage("--zone " + serve.Zone + " and --dns-zone " + published +
                   " differ; dyndns2 hosts are the names published in DNS, so --dns-zone alone sets both");
    serve.Zone = published;
  }
}

// ---- help ----

// text broken into lines of at most kWidth, the first after first (padded to
// kColumn), the others indented to kColumn.
std::string Wrapped(std::string first, const std::string& text) {
  std::string out;
  std::string line = first.size() + 2 > kColumn ? first + "  " : first + std::string(kColumn - first.size(), ' ');
  bool empty = true;
  std::istringstream words(text);
  for (std::string word; words >> word;) {
    if (!empty && line.size() + 1 + word.size() > kWidth) {
      out += line + "\n";
      line = std::string(kColumn, ' ');
      empty = true;
    }
    line += (empty ? "" : " ") + word;
    empty = false;
  }
  return out + line + "\n";
}

// A paragraph, broken into lines of at most kWidth.
std::string Paragraph(const std::string& text) {
  std::string out, line;
  std::istringstream words(text);
  for (std::string word; words >> word;) {
    if (!line.empty() && line.size() + 1 + word.size() > kWidth) out += line + "\n", line.clear();
    line += (line.empty() ? "" : " ") + word;
  }
  return out + line + "\n";
}

// The value an option takes, after a blank; "" for a flag.
std::string ValueName(const CLI::Option& option) {
  return option.get_type_size_max() == 0 || option.get_type_name().empty() ? "" : " " + option.get_type_name();
}

// withHelp: with the command's own --help (the program's list of every
// command's options leaves theirs out).
std::string OptionLines(const CLI::App& command, bool withHelp) {
  std::string out;
  for (const CLI::Option* option : command.get_options()) {
    if (option->get_positional() || (option == command.get_help_ptr() && !withHelp)) continue;
    std::string description = option->get_description();
    if (!option->get_default_str().empty()) description += " (" + option->get_default_str() + ")";
    out += Wrapped("  " + option->get_name() + ValueName(*option), description);
  }
  return out;
}

// The words after the program's name: the command, its operands and options.
std::string CommandLine(const CLI::App& command) {
  std::vector<const CLI::App*> path;
  for (const CLI::App* a = &command; a->get_parent(); a = a->get_parent()) path.insert(path.begin(), a);
  std::string line;
  for (const CLI::App* a : path) line += " " + a->get_name();
  auto add = [&line](const CLI::Option* option) {
    if (option->get_name() == "--help" || option->get_name() == "--version") return;
    if (option->get_positional()) {
      line += " " + option->get_name();
      return;
    }
    // A required option is no choice: no brackets.
    if (option->get_required()) {
      line += " " + option->get_name() + ValueName(*option);
      return;
    }
    line += " [" + option->get_name() + ValueName(*option) + "]";
    if (option->get_multi_option_policy() == CLI::MultiOptionPolicy::TakeAll) line += "...";
  };
  for (const CLI::Option* option : command.get_options()) add(option);
  return line;
}

// A usage line: lead, the program's name and its words, broken between
// bracketed items where a line would grow too long.
std::string UsageLine(const std::string& lead, const std::string& words) {
  std::string out, line = lead + kProgram, item;
  const std::string indent(line.size(), ' ');
  std::istringstream items(words);
  for (std::string word; items >> word;) {
    item += (item.empty() ? "" : " ") + word;
    if (item.front() == '[' && word.back() != ']' && !word.ends_with("]...")) continue;
    if (line.size() > indent.size() && line.size() + 1 + item.size() > kWidth && item.front() == '[')
      out += line + "\n", line = indent;
    line += " " + item;
    item.clear();
  }
  return out + line + "\n";
}

std::string TDeclarations::Usage() const {
  std::string out = UsageLine("usage: ", CommandLine(app));
  for (const CLI::App* command : commands_) out += UsageLine("       ", CommandLine(*command));
  return out + "       " + kProgram + " --help | --version\n";
}

std::string TDeclarations::Help(const CLI::App& about) const {
  if (&about != &app) {
    std::string out = UsageLine("usage: ", CommandLine(about)) + "\n" + Paragraph(about.get_description()) + "\n";
    const auto named = about.get_subcommands([](const CLI::App* a) { return !a->get_name().empty(); });
    if (named.empty()) return out + OptionLines(about, true);
    for (const CLI::App* command : named) out += Wrapped("  " + command->get_name(), command->get_description());
    return out;
  }
  std::string out = Usage() + "\n" + kAbout + "\n" + OptionLines(app, true) + "\n" + kCommandsAbout;
  for (const CLI::App* command : commands_) {
    out += "\n" + Wrapped(" " + CommandLine(*command).substr(
                                    0, std::min(CommandLine(*command).find(" ["), CommandLine(*command).find(" -"))),
                          command->get_description());
    out += OptionLines(*command, false);
  }
  return out;
}

// The option's heading in roff: its name in bold, its value in italics with
// the punctuation between the value's words in roman.
std::string ManHeading(const CLI::Option& option) {
  auto roff = [](const std::string& text) {
    std::string out;
    for (char c : text) out += c == '-' ? std::string("\\-") : std::string(1, c);
    return out;
  };
  if (ValueName(option).empty()) return ".B " + roff(option.get_name());
  std::string value;
  bool italic = true;
  for (char c : option.get_type_name()) {
    const bool word = (c >= 'A' && c <= 'Z') || c == '_';
    if (word != italic) value += word ? "\\fI" : "\\fR";
    italic = word;
    value += c;
  }
  return ".BI " + roff(option.get_name()) + " \" " + value + "\"";
}
}  // namespace

TServiceOptions TServiceOptions::Parse(int argc, const char* const* argv, const std::string& defaultDb) {
  TServiceOptions options;
  TDeclarations declarations(options, defaultDb);
  declarations.Parse(argc, argv);
  return options;
}

std::string TServiceOptions::Usage() {
  TServiceOptions options;
  return TDeclarations(options, "").Usage();
}

std::vector<TServiceOptions::TManEntry> TServiceOptions::ManEntries() {
  TServiceOptions options;
  const TDeclarations declarations(options, "");
  std::vector<TManEntry> entries;
  for (const CLI::Option* option : declarations.app.get_options())
    entries.push_back({ManHeading(*option), option->get_default_str()});
  return entries;
}
