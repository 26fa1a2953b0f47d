// The check-in's parameters as any client may send them, through the service's
// rules onto an in-memory store, and what comes back out into its pages: a
// refused request records nothing, a recorded one holds only names the rules
// take, and nothing a client sent reaches a page (the nodes, the page asking
// to remove one) or the JSON unescaped.
//
// Input: lines "account", "digest", "node", "caller's address",
// "X-Forwarded-For"; the whole input is also read as an accounts file.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/ServiceFuzzInput.h"
#include "service/core/AccountList.h"
#include "runtime/IpAddress.h"
#include "service/core/NameRules.h"
#include "service/core/PasswordHash.h"
#include "service/core/ServiceCore.h"
#include "service/http/NodePages.h"
#include "service/http/TrustedProxies.h"
#include "service/store/MemoryStore.h"

namespace {
const char kDigest[] = "5ebe2294ecd0e0f08eab7690d2a6ee69";

bool TakenAsName(std::string_view name) {
  try {
    CheckRequestName("", name);
    return true;
  } catch (const EBadName&) {
    return false;
  }
}

// Markup comes from the page alone: with every node renamed to a plain
// name, the page has exactly as many < > " characters, and each name is
// in it as escaped text.
void CheckEscaped(const TAccountRecord& account, const std::vector<TNodeView>& nodes, TServiceTime staleAfter) {
  std::vector<TNodeView> plain = nodes;
  for (std::size_t i = 0; i < plain.size(); ++i) plain[i].Name = "n" + std::to_string(i);
  // Every node with a key, and one key of a node still to come named as the first node is.
  std::vector<TNodeKeyRecord> keys, plainKeys;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    keys.push_back({nodes[i].Name, "", 1000});
    plainKeys.push_back({plain[i].Name, "", 1000});
  }
  if (!nodes.empty()) {
    keys.push_back({nodes[0].Name + "-new", "", 1000});
    plainKeys.push_back({plain[0].Name + "-new", "", 1000});
  }
  const std::string html = NodesPage(account, nodes, 2000, staleAfter, "", keys);
  const std::string reference = NodesPage(account, plain, 2000, staleAfter, "", plainKeys);
  for (char c : {'<', '>', '"'})
    if (std::count(html.begin(), html.end(), c) != std::count(reference.begin(), reference.end(), c)) std::abort();
  for (const TNodeView& node : nodes)
    if (!node.Name.empty() && html.find(HtmlEscape(node.Name)) == std::string::npos) std::abort();
  // The page that asks whether to remove a node, and sends its name back in a form.
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const std::string ask = RemoveNodePage(account, nodes[i], "token");
    const std::string plainAsk = RemoveNodePage(account, plain[i], "token");
    for (char c : {'<', '>', '"'})
      if (std::count(ask.begin(), ask.end(), c) != std::count(plainAsk.begin(), plainAsk.end(), c)) std::abort();
  }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view all(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> in = FuzzLines(all, 5);

  TMemoryStore store;
  store.AddAccount("alice", TPasswordHash::Plain(kDigest), 0);
  store.AddAccount("bob", TPasswordHash::Make(kDigest, 1), 0);
  TServiceRules rules;
  rules.MaxNodesPerAccount = 4;
  rules.DummyHashIterations = 1;  // a refusal's slow hash would make each run take a second
  TServiceCore core(store, rules);

  TTrustedProxies proxies;
  proxies.Add("10.0.0.0/8");
  const std::string caller = proxies.Caller(in[3], {in[4]});
  if (caller != in[3] && !CanonicalAddress(caller)) std::abort();

  for (int round = 0; round < 2; ++round) {
    const TCheckInResult r = core.CheckIn(in[0], in[1], in[2], caller, 1000 + round);
    if (r.Answer == TAnswer::Ok) {
      if (!TakenAsName(in[2]) || !TakenAsName(in[0])) std::abort();
      if (CanonicalAddress(r.Address) != r.Address) std::abort();
      const std::vector<TNodeView> nodes = core.Nodes(r.Account, 2000);
      if (nodes.empty() || nodes.size() > rules.MaxNodesPerAccount) std::abort();
      CheckEscaped(r.Account, nodes, rules.StaleAfter);
      const std::string json = NodesJson(r.Account, nodes, rules.StaleAfter);
      for (char c : json)
        if (static_cast<unsigned char>(c) < 0x20 && c != '\n') std::abort();
      if (json.find('<') != std::string::npos) std::abort();
    } else if (r.Answer == TAnswer::BadRequest && r.Problem.empty()) {
      std::abort();
    }
  }
  for (const TAccountRecord& account : store.Accounts())
    for (const TNodeRecord& node : store.Nodes(account.Id))
      if (!TakenAsName(node.Name)) std::abort();

  try {
    for (const TListedAccount& a : ReadAccountList(all, "f"))
      if (a.Name.empty() || !IsDigest(a.Digest) || !TakenAsName(a.Name)) std::abort();
  } catch (const EAccountList& e) {
    if (e.Message().rfind("f:", 0) != 0) std::abort();
  }
  return 0;
}
