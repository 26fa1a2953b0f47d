#include "service/http/DoorContext.h"

#include "runtime/SysUtils.h"
#include "service/http/NodePublisher.h"

std::string TDoorContext::Caller(const TFrontRequest& req) const {
  std::vector<std::string> forwarded;
  if (!Proxies.Empty()) forwarded = req.Head.AllFields("X-Forwarded-For");
  return Proxies.Caller(req.Peer, forwarded);
}

bool TDoorContext::Https(const TFrontRequest& req) const {
  if (req.Tls) return true;
  return SameText(req.Header("X-Forwarded-Proto"), "https") && Proxies.Trusted(req.Peer);
}

std::vector<TNodeView> TDoorContext::Nodes(const TAccountRecord& account, TServiceTime now) const {
  std::vector<TNodeView> nodes = Core.Nodes(account, now);
  if (Publisher)
    for (TNodeView& node : nodes) node.Dns = Publisher->View(node, account.Name);
  return nodes;
}
