// pinmark-service's command line in process: what each argument vector
// becomes, or the exact problem it is refused with; and the manual page's
// OPTIONS section against the declarations.
#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <sstream>

#include "service/cli/ServiceOptions.h"
#include "tests/support/TempDir.h"

namespace {
const std::string kDigest = "0123456789abcdef0123456789abcdef";
const std::vector<std::string> kDns = {"--dns-zone",     "Dyn.Example.org", "--dns-server",
                                       "127.0.0.1:5353", "--dns-key",       "k"};
constexpr std::int64_t kMinute = 60 * 1000;

std::vector<std::string> With(std::vector<std::string> args, const std::vector<std::string>& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

TServiceOptions Parse(const std::vector<std::string>& args) {
  std::vector<const char*> argv{"pinmark-service"};
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  return TServiceOptions::Parse(static_cast<int>(argv.size()), argv.data(), "/default.db");
}

using TExpect = std::function<void(const TServiceOptions&)>;
struct TCase {
  std::vector<std::string> args;
  std::string refused;  // the exact problem; empty: parsed, and expect holds
  TExpect expect = [](const TServiceOptions&) {};
};

void Check(const TCase& c) {
  std::string joined;
  for (const std::string& arg : c.args) joined += " " + arg;
  try {
    const TServiceOptions o = Parse(c.args);
    EXPECT_EQ(c.refused, "") << joined << ": taken";
    if (c.refused.empty()) {
      SCOPED_TRACE(joined);
      c.expect(o);
    }
  } catch (const EUsage& e) {
    EXPECT_EQ(e.Message(), c.refused) << joined;
  }
}
}  // namespace

TEST(ServiceOptions, ServingTakesEachOptionInItsRangeAndThePairsAndTriosTogether) {
  const TCase cases[] = {
      {{},
       "",
       [](const TServiceOptions& o) {
         EXPECT_EQ(o.Command, TServiceCommand::Serve);
         EXPECT_EQ(o.Serve.Hosts, std::vector<std::string>{"127.0.0.1"});
         EXPECT_EQ(o.Serve.Port, 8080);
         EXPECT_EQ(o.Serve.Db, "") << "in memory, not the commands' default database";
         EXPECT_EQ(o.Serve.StaleAfterMs, 120 * kMinute);
         EXPECT_EQ(o.Serve.MetricsFrom, (std::vector<std::string>{"127.0.0.0/8", "::1"}));
         EXPECT_FALSE(o.Serve.Publish);
       }},
      // The hosts of the last run count: the unit's pair, then the administrator's.
      {{"--host", "127.0.0.1", "--host", "::1", "--port", "8080", "--host", "10.0.0.1", "--host", "::1", "--host",
        "10.0.0.1"},
       "",
       [](const TServiceOptions& o) {
         EXPECT_EQ(o.Serve.Hosts, (std::vector<std::string>{"10.0.0.1", "::1"}));
       }},
      {{"--host", "127.0.0.1", "--host", "::1", "--zone", "dyn.example.org"},
       "",
       [](const TServiceOptions& o) {
         EXPECT_EQ(o.Serve.Hosts, (std::vector<std::string>{"127.0.0.1", "::1"}));
       }},
      {{"--host", ""}, "--host: takes an address or a name"},
      {{"--port", "0", "--port", "65535"}, "", [](const TServiceOptions& o) { EXPECT_EQ(o.Serve.Port, 65535); }},
      {{"--port", "65536"}, "--port: takes 0 to 65535, not 65536"},
      {{"--port", "-1"}, "--port: takes 0 to 65535, not -1"},
      {{"--port", "80x"}, "--port: takes 0 to 65535, not 80x"},
      {{"--stale-after", "90s", "--remember-for", "0", "--healthy-queue-age", "7"},
       "",
       [](const TServiceOptions& o) {
         EXPECT_EQ(o.Serve.StaleAfterMs, 90 * 1000);
         EXPECT_EQ(o.Serve.RememberForMs, 0);
         EXPECT_EQ(o.Serve.HealthyQueueAgeMs, 7 * kMinute);
       }},
      {{"--stale-after", "5256000", "--remember-for", "10080", "--healthy-queue-age", "604800s"},
       "",
       [](const TServiceOptions& o) {
         EXPECT_EQ(o.Serve.StaleAfterMs, 5256000 * kMinute);
         EXPECT_EQ(o.Serve.RememberForMs, 10080 * kMinute);
         EXPECT_EQ(o.Serve.HealthyQueueAgeMs, 604800 * 1000);
       }},
      {{"--stale-after", "0"}, "--stale-after: takes minutes, 1 to 5256000, or seconds with an s (90s), not 0"},
      {{"--stale-after", "s"}, "--stale-after: takes minutes, 1 to 5256000, or seconds with an s (90s), not s"},
      {{"--remember-for", "10081"}, "--remember-for: takes 0 to 10080 minutes, not 10081"},
      {{"--healthy-queue-age", "604801s"},
       "--healthy-queue-age: takes minutes, 1 to 10080, or seconds with an s (30s), not 604801s"},
      {{"--max-connections", "1000000", "--max-per-address", "1", "--head-timeout", "3600", "--idle-timeout", "1"},
       "",
       [](const TServiceOptions& o) {
         EXPECT_EQ(o.Serve.MaxConnections, 1000000u);
         EXPECT_EQ(o.Serve.MaxPerAddress, 1u);
         EXPECT_EQ(o.Serve.HeadSeconds, 3600);
         EXPECT_EQ(o.Serve.BodySeconds, 10);
         EXPECT_EQ(o.Serve.IdleSeconds, 1);
       }},
      {{"--max-per-address", "0"}, "--max-per-address: takes 1 to 1000000, not 0"},
      {{"--body-timeout", "3601"}, "--body-timeout: takes 1 to 3600 seconds, not 3601"},
      // The first --metrics-from replaces the default list.
      {{"--metrics-from", "10.0.0.0/8", "--metrics-from", "2001:db8::/32", "--trusted-proxy", "::1"},
       "",
       [](const TServiceOptions& o) {
         EXPECT_EQ(o.Serve.MetricsFrom, (std::vector<std::string>{"10.0.0.0/8", "2001:db8::/32"}));
         EXPECT_EQ(o.Serve.TrustedProxies, std::vector<std::string>{"::1"});
       }},
      {{"--trusted-proxy", "localhost"}, "--trusted-proxy: takes an address or ADDR/BITS, not localhost"},
      {{"--trusted-proxy", "::1", "10.0.0.1"}, "too many arguments: 10.0.0.1"},
      {{"--metrics-from", "10.0.0.0/33"}, "--metrics-from: takes an address or ADDR/BITS, not 10.0.0.0/33"},
      // Accounts in memory keep the order they were given in.
      {{"--accounts", "a.txt", "--account", "alice:" + kDigest, "--accounts", "b.txt"},
       "",
       [](const TServiceOptions& o) {
         EXPECT_EQ(o.Serve.Accounts,
                   (std::vector<TAccountSource>{{"", "", "a.txt"}, {"alice", kDigest, ""}, {"", "", "b.txt"}}));
       }},
      {{"--account", "alice:" + kDigest.substr(1)},
       "--account: takes NAME:DIGEST, DIGEST the 32-digit MD5 hex digest of the password"},
      {{"--account", ":" + kDigest},
       "--account: takes NAME:DIGEST, DIGEST the 32-digit MD5 hex digest of the password"},
      {{"--db", "x.db", "--create"}, "", [](const TServiceOptions& o) { EXPECT_TRUE(o.Serve.Create); }},
      {{"--create"}, "--create is for --db"},
      {{"--accounts", "a.txt", "--db", "x.db"},
       "--account and --accounts keep accounts in memory; with --db, add them with \"account add\""},
      {{"--tls-cert", "c.pem"}, "--tls-cert and --tls-key go together"},
      {{"--tls-key", "k.pem"}, "--tls-cert and --tls-key go together"},
      {{"--tls-key", "k.pem", "--tls-cert", "c.pem"},
       "",
       [](const TServiceOptions& o) { EXPECT_EQ(o.Serve.TlsCert + " " + o.Serve.TlsKey, "c.pem k.pem"); }},
      // The DNS zone is the dyndns2 zone too.
      {With(kDns, {"--zone", "dyn.example.org.", "--dns-ttl", "0", "--dns-verify", "90s"}), "",
       [](const TServiceOptions& o) {
         EXPECT_TRUE(o.Serve.Publish);
         EXPECT_EQ(o.Serve.Dns.Zone, "dyn.example.org.");
         EXPECT_EQ(o.Serve.Zone, "dyn.example.org");
         EXPECT_EQ(o.Serve.Dns.Server + " " + o.Serve.Dns.KeyFile, "127.0.0.1:5353 k");
         EXPECT_EQ(o.Serve.Dns.Ttl, 0u);
         EXPECT_EQ(o.Serve.Dns.VerifyEvery, std::chrono::seconds(90));
       }},
      {{"--zone", "Dyn.Example.org."},
       "",
       [](const TServiceOptions& o) { EXPECT_EQ(o.Serve.Zone, "dyn.example.org"); }},
      {{"--zone", "."}, "--zone: takes a DNS name such as dyn.example.org"},
      {With(kDns, {"--zone", "other.example.org"}),
       "--zone other.example.org and --dns-zone dyn.example.org differ; dyndns2 hosts are the names published in "
       "DNS, so --dns-zone alone sets both"},
      {{"--dns-zone", "dyn.example.org", "--dns-key", "k"},
       "--dns-zone, --dns-server and --dns-key go together; --dns-server is missing"},
      {{"--dns-server", "127.0.0.1"}, "--dns-zone, --dns-server and --dns-key go together; --dns-zone is missing"},
      {{"--dns-server", "127.0.0.1", "--dns-zone", "dyn.example.org"},
       "--dns-zone, --dns-server and --dns-key go together; --dns-key is missing"},
      {{"--dns-ttl", "60"}, "--dns-ttl is for publishing in DNS (--dns-zone, --dns-server, --dns-key)"},
      {{"--dns-verify", "1h"}, "--dns-verify is for publishing in DNS (--dns-zone, --dns-server, --dns-key)"},
      {{"--dns-zone", "_dyn.example.org"},
       "--dns-zone: the DNS zone \"_dyn.example.org\" is not a host name: the "
       "label \"_dyn\" holds '_'; only letters, digits and '-' can be published"},
      {{"--frobnicate"}, "unknown option --frobnicate"},
      {{"serve"}, "too many arguments: serve"},
      {{"--version"}, "", [](const TServiceOptions& o) { EXPECT_EQ(o.Command, TServiceCommand::Version); }},
  };
  for (const TCase& c : cases) Check(c);
}

TEST(ServiceOptions, EachCommandTakesItsOperandsAndOptionsOnly) {
  const TCase cases[] = {
      {{"account", "add", "alice", "--password-stdin", "--db", "a.db"},
       "",
       [](const TServiceOptions& o) {
         EXPECT_EQ(o.Command, TServiceCommand::Account);
         EXPECT_EQ(o.Account.Verb, TAccountVerb::Add);
         EXPECT_EQ(o.Account.Operand, "alice");
         EXPECT_TRUE(o.Account.PasswordStdin);
         EXPECT_EQ(o.Account.Db, "a.db");
       }},
      {{"account", "list"},
       "",
       [](const TServiceOptions& o) {
         EXPECT_EQ(o.Account.Verb, TAccountVerb::List);
         EXPECT_EQ(o.Account.Db, "/default.db");
       }},
      {{"account", "set", "bob", "--no-webhook", "--keys-only"},
       "",
       [](const TServiceOptions& o) {
         EXPECT_EQ(o.Account.Verb, TAccountVerb::Set);
         EXPECT_EQ(o.Account.Webhook, "");
         EXPECT_EQ(o.Account.KeysOnly, true);
       }},
      {{"account", "set", "bob", "--webhook", "https://hooks.example/x"},
       "",
       [](const TServiceOptions& o) {
         EXPECT_EQ(o.Account.Webhook, "https://hooks.example/x");
         EXPECT_EQ(o.Account.KeysOnly, std::nullopt);
       }},
      {{"account", "set", "bob", "--db", "a.db"},
       "account set takes --webhook URL or --no-webhook, --keys-only or --no-keys-only, and only them"},
      {{"account", "set", "bob", "--keys-only", "--no-keys-only"}, "--keys-only and --no-keys-only exclude each other"},
      {{"account", "set", "bob", "--webhook", "", "--no-webhook"}, "--webhook and --no-webhook exclude each other"},
      {{"account", "remove", "bob", "--password-stdin"}, "unknown option --password-stdin"},
      {{"account", "set", "bob", "", "--no-webhook"}, "too many arguments: ''"},
      {{"account", "set", "bob", "", "--frobnicate"}, "too many arguments: ''"},
      {{"account", "add", "--password-stdin"}, "account add needs a name"},
      {{"account", "import"}, "account import needs a file"},
      {{"account", "list", "bob"}, "too many arguments: bob"},
      {{"account", "show", "bob", "carol"}, "too many arguments: carol"},
      {{"account"}, "account needs add, passwd, remove, list, import, set or show"},
      {{"account", "frobnicate"}, "account needs add, passwd, remove, list, import, set or show"},
      {{"node", "key", "alice", "laptop", "--remove", "--db", "a.db"},
       "",
       [](const TServiceOptions& o) {
         EXPECT_EQ(o.Command, TServiceCommand::NodeKey);
         EXPECT_EQ(o.NodeKey.Account + " " + o.NodeKey.Node + " " + o.NodeKey.Db, "alice laptop a.db");
         EXPECT_TRUE(o.NodeKey.Remove);
       }},
      {{"node", "key", "alice"}, "node key needs an account and a node"},
      {{"node"}, "node needs key"},
      {{"backup", "copy.db"},
       "",
       [](const TServiceOptions& o) {
         EXPECT_EQ(o.Command, TServiceCommand::Backup);
         EXPECT_EQ(o.Backup.File + " " + o.Backup.Db, "copy.db /default.db");
       }},
      {{"backup", "--db", "a.db"}, "backup needs the FILE to write the copy to"},
      {{"backup", "copy.db", "--port", "1"}, "unknown option --port"},
      {{"migrate", "--to", "postgresql:///pinmark", "--from", "a.db"},
       "",
       [](const TServiceOptions& o) {
         EXPECT_EQ(o.Command, TServiceCommand::Migrate);
         EXPECT_EQ(o.Migrate.From + " " + o.Migrate.To, "a.db postgresql:///pinmark");
       }},
      {{"migrate", "--from", "a.db"}, "migrate needs --from FILE and --to postgresql://..."},
      {{"migrate", "--from", "a.db", "--to", "b.db"}, "--to: takes a postgresql:// URI"},
      {{"migrate", "--from", "a.db", "--to", "postgresql:///p", "--db", "c.db"}, "unknown option --db"},
      // Not the default database's accounts when another was meant.
      {{"--db", "a.db", "account", "list"}, "--db is an option of serving; a command's options come after it"},
      // Help is the asked command's own.
      {{"account", "set", "--help"},
       "",
       [](const TServiceOptions& o) {
         EXPECT_EQ(o.Command, TServiceCommand::Help);
         EXPECT_EQ(o.HelpText.rfind("usage: pinmark-service account set NAME [--webhook URL] [--no-webhook]\n", 0), 0u)
             << o.HelpText;
         EXPECT_NE(o.HelpText.find("\n  --no-keys-only "), std::string::npos) << o.HelpText;
       }},
      {{"--help"},
       "",
       [](const TServiceOptions& o) { EXPECT_EQ(o.HelpText.rfind(TServiceOptions::Usage(), 0), 0u) << o.HelpText; }},
  };
  for (const TCase& c : cases) Check(c);
}

// The page's option entries are those of the declarations, in their order,
// each with its default; what the page says of them beyond is its own.
TEST(ServiceOptions, TheManualPageListsTheDeclaredOptionsWithTheirDefaults) {
  const std::string page = TempDir::Read(MAN_PAGE);
  const std::size_t begin = page.find("\n.SH OPTIONS\n"), end = page.find("\n.SH ", begin + 1);
  ASSERT_NE(begin, std::string::npos);
  std::istringstream section(page.substr(begin, end - begin));
  struct TEntry {
    std::string heading, text;
  };
  std::vector<TEntry> entries;
  bool heading = false;
  for (std::string line; std::getline(section, line);) {
    if (line == ".TP") {
      heading = true;
    } else if (heading) {
      entries.push_back({line, ""});
      heading = false;
    } else if (!entries.empty()) {
      entries.back().text += std::regex_replace(line, std::regex(R"(\\-)"), "-") + " ";
    }
  }
  const std::vector<TServiceOptions::TManEntry> declared = TServiceOptions::ManEntries();
  std::string expected, found;
  for (const auto& d : declared) expected += d.Heading + "\n";
  for (const TEntry& e : entries) found += e.heading + "\n";
  ASSERT_EQ(found, expected) << "the OPTIONS section's headings, in order, are to be:\n" << expected;
  for (std::size_t i = 0; i < declared.size(); ++i) {
    if (declared[i].Default.empty()) continue;
    EXPECT_NE(entries[i].text.find("(" + declared[i].Default), std::string::npos)
        << declared[i].Heading << " says its default, " << declared[i].Default << ": " << entries[i].text;
  }
}
