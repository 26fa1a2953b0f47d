// A dyndns2 update as any router or client may send it: the Authorization
// header, the hostname list, myip, myipv6 and the zone, through the service's rules
// onto an in-memory store. Every answer line is one of the protocol's, there
// is at most one line per host, and a node is only ever made for the
// authenticated account in the zone, and only for its node "box" when the
// password is that node's key ("box-key"), whoever the user names; a good or
// nochg line names at most one address of each family, IPv4 first. Cookie
// headers go through the same run.
//
// Input: lines "Authorization", "hostname", "myip", "zone", "Cookie", "myipv6".
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/ServiceFuzzInput.h"
#include "runtime/SysUtils.h"
#include "service/core/DynDns2.h"
#include "runtime/IpAddress.h"
#include "service/core/NameRules.h"
#include "service/core/NodeKey.h"
#include "service/core/PasswordHash.h"
#include "service/core/ServiceCore.h"
#include "service/http/RequestText.h"
#include "service/store/MemoryStore.h"
#include "settings/md5.h"

namespace {
bool KnownAnswer(const std::string& answer) {
  for (const char* word : {"nohost", "notfqdn", "numhost", "badauth", "abuse", "badagent", "911"})
    if (answer == word) return true;
  for (const char* word : {"good ", "nochg "}) {
    if (answer.rfind(word, 0) != 0) continue;
    const std::string addresses = answer.substr(std::string(word).size());
    const std::size_t comma = addresses.find(',');
    if (comma == std::string::npos) return CanonicalAddress(addresses).has_value();
    const std::optional<std::string> v4 = CanonicalAddress(addresses.substr(0, comma));
    const std::optional<std::string> v6 = CanonicalAddress(addresses.substr(comma + 1));
    return v4 && v6 && v4->find(':') == std::string::npos && v6->find(':') != std::string::npos;
  }
  return false;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<std::string> in = FuzzLines(std::string_view(reinterpret_cast<const char*>(data), size), 6);
  const std::string zone = NormalZone(in[3]);
  if (!zone.empty() && NormalZone(zone) != zone) std::abort();

  TMemoryStore store;
  store.AddAccount("alice", TPasswordHash::Plain(DigestToHex(MD5OfString("secret"))), 0);
  TServiceRules rules;
  rules.Zone = in[3];
  rules.DummyHashIterations = 1;  // a refusal's slow hash would make each run take a second
  TServiceCore core(store, rules);
  const std::string secret = store.NodeKeySecret("fuzz");
  store.SetNodeKey(1, "box", TNodeKey::Hash(secret, 1, "box", TNodeKey::Digest("box-key")), 0);

  // Credentials from the header, or alice's when it holds none, so that the hosts are reached.
  const std::optional<TBasicCredentials> credentials = ParseBasicAuthorization(in[0]);
  if (credentials && credentials->User.size() + credentials->Password.size() > 1024) std::abort();
  const std::string user = credentials ? credentials->User : "alice";
  const std::string password = credentials ? credentials->Password : "secret";
  const std::vector<TDynDns2Line> lines =
      core.DynDns2Update(user, DigestToHex(MD5OfString(password)), in[1], in[2], in[5], "192.0.2.1", 1000);
  const std::optional<std::vector<std::string>> listed = SplitDynDns2Hosts(in[1]);
  const bool fits = listed.has_value();
  const std::vector<std::string> hosts = listed.value_or(std::vector<std::string>{});
  if (lines.empty() || lines.size() > DynDns2MaxHosts ||
      (fits && lines.size() > std::max<std::size_t>(1, hosts.size())))
    std::abort();
  for (const TDynDns2Line& line : lines)
    if (!KnownAnswer(line.Answer)) std::abort();

  for (const std::string& host : hosts) {
    const TDynDns2Host named = ParseDynDns2Host(host, zone);
    if (named.Kind == TDynDns2Host::Named && (!IsDnsLabel(named.Node) || !IsDnsLabel(named.Account))) std::abort();
  }
  for (const TAccountRecord& account : store.Accounts())
    for (const TNodeRecord& node : store.Nodes(account.Id))
      if (!IsDnsLabel(node.Name) || !SameText(account.Name, "alice") ||
          (password == "box-key" && !SameText(node.Name, "box")))
        std::abort();

  const std::optional<std::string> cookie = CookieValue(in[4], "pinmark_session");
  if (cookie && (cookie->size() > in[4].size() || cookie->find(';') != std::string::npos)) std::abort();
  return 0;
}
