// The protocol steps the HTTP exchange runs around each request and
// response: answering a 401 or 407 challenge, storing the cookies a response
// sets, and attaching stored cookies to a request.
//
// The exchange keeps all state in its own members and hands each step what
// it works on through a context of references to them: the authentication
// steps a TIdHTTPAuthContext, the cookie steps a TIdHTTPCookieContext. Every
// change a step makes (attempt counts, a newly created cookie manager,
// credentials copied back into the request) lands directly in the exchange's
// members. The events are copies of the exchange's handlers.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "http/protocol/IdAuthentication.h"
#include "http/protocol/IdCookieManager.h"
#include "http/protocol/IdHeaderInfo.h"
#include "http/protocol/IdURI.h"

class TIdCustomHTTP;  // the exchange, sender of the events

// May replace the scheme class chosen for the challenge; AuthInfo is the
// challenge list ("WWW-Authenticate" or "Proxy-Authenticate" values).
using TIdOnSelectAuthorization =
    std::function<void(TIdCustomHTTP* Sender, TIdAuthenticationClass& AuthenticationClass, TIdHeaderList* AuthInfo)>;
// Asked when a scheme needs credentials: set the user name and password on
// Authentication and answer Handled = true (it comes preset to false) to try
// again, or leave it false to give up.
using TIdOnAuthorization = std::function<void(TIdCustomHTTP* Sender, TIdAuthentication* Authentication, bool& Handled)>;

// What answering a challenge, and ending an authentication with the
// connection, work on.
struct TIdHTTPAuthContext {
  TIdRequestHeaderInfo& Request;    // its credentials and authentication object
  TIdResponseHeaderInfo& Response;  // the challenges
  TIdProxyConnectionInfo& ProxyParams;
  int32_t& AuthRetries;       // server attempts in this exchange
  int32_t& AuthProxyRetries;  // proxy attempts in this exchange

  TIdCustomHTTP* Sender = nullptr;
  TIdAuthenticationManager* AuthenticationManager = nullptr;  // none unless the exchange attaches one
  TIdOnSelectAuthorization OnSelectAuthorization{};
  TIdOnSelectAuthorization OnSelectProxyAuthorization{};
  TIdOnAuthorization OnAuthorization{};
  TIdOnAuthorization OnProxyAuthorization{};
};

// What storing and attaching cookies work on.
struct TIdHTTPCookieContext {
  TIdRequestHeaderInfo& Request;          // gets the "Cookie" line
  const TIdResponseHeaderInfo& Response;  // its "Set-cookie" lines
  // The manager in use (assigned from outside or made by StoreCookies) and
  // the one the exchange owns: StoreCookies fills both when it creates a
  // manager, so "owns its manager" is OwnedCookieManager != nullptr.
  TIdCookieManager*& CookieManager;
  std::unique_ptr<TIdCookieManager>& OwnedCookieManager;

  bool AllowCookies = true;
  std::string Host{};  // the current target's host; cookies are stored for it
  bool IsTls = false;  // the connection is TLS: secure cookies may be sent
};

// After a 401: counts the attempt, finds (once) a registered scheme among the
// response's "WWW-Authenticate" lines and keeps an object of it in the
// request, and answers whether the request can be sent again with
// credentials. Credentials come from the request's Username and Password or
// from OnAuthorization. A scheme that asks for credentials when no
// OnAuthorization is set ends the attempt with false.
bool RequestServerCredentials(TIdHTTPAuthContext& context);
// After a 407: the same for the proxy, from the first "Proxy-Authenticate"
// line, ProxyUsername/ProxyPassword and OnProxyAuthorization, which must be
// set for the answer to be true.
bool RequestProxyCredentials(TIdHTTPAuthContext& context);
// After every response head: creates an owned cookie manager when there is
// none and AllowCookies is on, then stores every "Set-cookie" and
// "Set-cookie2" value for the current host. A cookie that cannot be read is
// dropped; storing cookies never fails the exchange.
void StoreCookies(TIdHTTPCookieContext& context);
// When the connection closes: a request authentication that has gone
// through all its steps is handed to the authentication manager (when there
// is one) and freed; a finished proxy authentication is reset. A Basic
// authentication never finishes, so it stays with the request.
void AfterDisconnect(TIdHTTPAuthContext& context, const TIdURI& uri);
// Before every request head is written (after BuildHeaders): sets the
// request's "Cookie" line from the manager's cookies for the URL.
void AttachCookies(TIdHTTPCookieContext& context, const TIdURI& uri);
