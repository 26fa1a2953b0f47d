// Any argument vector (the input cut at its NUL bytes) on pinmark-service's
// command line: parsed, or refused with a message, never a crash; what is
// taken holds the values the service relies on without checking again.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "service/cli/ServiceOptions.h"
#include "service/http/TrustedProxies.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  std::vector<std::string> args{"pinmark-service"};
  std::string arg;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.push_back(arg);
      arg.clear();
    } else {
      arg += static_cast<char>(data[i]);
    }
  }
  args.push_back(arg);
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  TServiceOptions o;
  try {
    o = TServiceOptions::Parse(static_cast<int>(argv.size()), argv.data(), "/default.db");
  } catch (const EUsage& e) {
    if (e.Message().empty()) std::abort();
    return 0;
  }
  if (o.Command == TServiceCommand::Help && o.HelpText.empty()) std::abort();
  if (o.Command != TServiceCommand::Serve) return 0;
  const TServeOptions& s = o.Serve;
  if (s.Hosts.empty() || s.Port < 0 || s.Port > 65535 || s.MaxConnections < 1 || s.MaxPerAddress < 1) std::abort();
  if (s.StaleAfterMs < 1000 || s.RememberForMs < 0 || s.HealthyQueueAgeMs < 1000) std::abort();
  if (s.Create && s.Db.empty()) std::abort();
  if (!s.Db.empty() && !s.Accounts.empty()) std::abort();
  if (s.TlsCert.empty() != s.TlsKey.empty()) std::abort();
  if (s.Publish && (s.Dns.Zone.empty() || s.Dns.Server.empty() || s.Dns.KeyFile.empty())) std::abort();
  // What the options took, the service must take too.
  try {
    for (const std::string& network : s.TrustedProxies) TTrustedProxies().Add(network);
    for (const std::string& network : s.MetricsFrom) TTrustedProxies().Add(network);
  } catch (const ETrustedProxy&) {
    std::abort();
  }
  return 0;
}
