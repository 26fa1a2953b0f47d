#include "service/http/FrontRequest.h"

#include "runtime/SysUtils.h"
#include "service/http/RequestText.h"

TFrontRequest TFrontRequest::Make(TRequestHead head, std::string body, std::string peer, bool tls) {
  TFrontRequest req;
  req.Params = FormParams(head.Query);
  const std::string type = head.Field("Content-Type").value_or("");
  if (StartsText("application/x-www-form-urlencoded", type))
    for (auto& param : FormParams(body)) req.Params.push_back(std::move(param));
  req.Head = std::move(head);
  req.Body = std::move(body);
  req.Peer = std::move(peer);
  req.Tls = tls;
  return req;
}

bool TFrontRequest::Has(std::string_view name) const {
  for (const auto& [n, v] : Params)
    if (n == name) return true;
  return false;
}

std::string TFrontRequest::Param(std::string_view name) const {
  for (const auto& [n, v] : Params)
    if (n == name) return v;
  return "";
}

std::string TFrontRequest::Header(std::string_view name) const { return Head.Field(name).value_or(""); }

bool TFrontRequest::FromAnotherSite() const {
  if (const std::optional<std::string> site = Head.Field("Sec-Fetch-Site"))
    if (!SameText(*site, "same-origin") && !SameText(*site, "none")) return true;
  const std::optional<std::string> origin = Head.Field("Origin");
  if (!origin) return false;
  // The scheme is left aside: behind a proxy that ends TLS the service sees
  // http while the browser saw https. Host and port must be ours.
  // Our pages send no referrer, and a browser then says "null" for its own
  // forms too: that tells nothing, and the form's token decides.
  const std::size_t scheme = origin->find("://");
  if (scheme == std::string::npos) return !SameText(*origin, "null");
  return !SameText(origin->substr(scheme + 3), Header("Host"));
}

bool TFrontRequest::CrossSiteNavigation() const {
  return SameText(Header("Sec-Fetch-Mode"), "navigate") && SameText(Header("Sec-Fetch-Site"), "cross-site");
}
