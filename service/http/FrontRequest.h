// A request as the doors see it: its checked head, its body, the address of
// the connection it came on, and its parameters (the query's, then a form
// body's). Also what a browser tells about where a request comes from, so
// that the doors can refuse what another site makes a browser send.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "service/http/RequestCheck.h"

struct TFrontRequest {
  TRequestHead Head;
  std::string Body;
  std::string Peer;  // the connection's address
  bool Tls = false;  // the connection is TLS
  std::vector<std::pair<std::string, std::string>> Params;

  // Fills Params from the query and, for a form, from the body.
  static TFrontRequest Make(TRequestHead head, std::string body, std::string peer, bool tls);

  bool Has(std::string_view name) const;
  // The first parameter of that name, or "".
  std::string Param(std::string_view name) const;
  // The first header of that name, or "".
  std::string Header(std::string_view name) const;

  // The browser says the request was started by a page of another origin
  // (Origin, or Sec-Fetch-Site other than same-origin or none).
  bool FromAnotherSite() const;
  // A browser following a link or a form from another site to here: no
  // update client sends these headers.
  bool CrossSiteNavigation() const;
};
