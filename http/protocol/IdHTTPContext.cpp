#include "http/protocol/IdHTTPContext.h"

#include "runtime/SysUtils.h"

namespace {
std::string FirstWord(const std::string& line) { return line.substr(0, line.find(' ')); }

// Asks the scheme what it needs until it can send or gives up. giveBack
// copies credentials the handler supplied back to where they came from.
bool DecideCredentials(TIdHTTPAuthContext& context, TIdAuthentication& authentication, const TIdOnAuthorization& handler,
                       const std::string& username, const std::string& password,
                       const std::function<void()>& giveBack) {
  bool asked = false;
  while (true) {
    switch (authentication.DecideStep()) {
      case auSendRequest:
        return true;
      case auFail:
        return false;
      case auAskProgram:
        // Nobody to ask, or the handler's answer (say, no user name) left the
        // scheme asking again: asking once more would give the same answer
        // for ever.
        if (!handler || asked) return false;
        asked = true;
        authentication.SetUsername(username);
        authentication.SetPassword(password);
        bool handled = false;
        handler(context.Sender, &authentication, handled);
        if (!handled) return false;
        giveBack();
        break;
    }
  }
}
}  // namespace

bool RequestServerCredentials(TIdHTTPAuthContext& context) {
  TIdRequestHeaderInfo& request = context.Request;
  TIdHeaderList& challenges = context.Response.WWWAuthenticate;
  ++context.AuthRetries;

  if (!request.Authentication) {
    TIdAuthenticationClass schemeClass = nullptr;
    for (int i = 0; i < challenges.Count() && !schemeClass; ++i) schemeClass = FindScheme(FirstWord(challenges[i]));
    if (!schemeClass) return false;
    if (context.OnSelectAuthorization) context.OnSelectAuthorization(context.Sender, schemeClass, &challenges);
    if (!schemeClass) return false;
    request.Authentication = schemeClass->Create();
  }

  if (!context.OnAuthorization && Trim(request.Password).empty()) return false;

  TIdAuthentication& authentication = *request.Authentication;
  authentication.SetUsername(request.Username);
  authentication.SetPassword(request.Password);
  authentication.SchemeParams.SetValue("Authorization", authentication.HeaderValue());
  authentication.ChallengeLines().Clear();
  authentication.ChallengeLines().AddStrings(challenges);

  return DecideCredentials(context, authentication, context.OnAuthorization, request.Username, request.Password,
                           [&] {
                             request.BasicAuthentication = true;
                             request.Username = authentication.Username();
                             request.Password = authentication.Password();
                           });
}

bool RequestProxyCredentials(TIdHTTPAuthContext& context) {
  TIdProxyConnectionInfo& proxy = context.ProxyParams;
  TIdHeaderList& challenges = context.Response.ProxyAuthenticate;
  ++context.AuthProxyRetries;

  if (!proxy.Authentication && challenges.Count() > 0) {
    TIdAuthenticationClass schemeClass = FindScheme(FirstWord(challenges[0]));
    if (schemeClass) {
      if (context.OnSelectProxyAuthorization) context.OnSelectProxyAuthorization(context.Sender, schemeClass, &challenges);
      if (schemeClass) proxy.Authentication = schemeClass->Create();
    }
  }

  if (!proxy.Authentication || !context.OnProxyAuthorization) return false;

  TIdAuthentication& authentication = *proxy.Authentication;
  authentication.SetUsername(proxy.ProxyUsername);
  authentication.SetPassword(proxy.ProxyPassword);
  authentication.ChallengeLines().Clear();
  authentication.ChallengeLines().AddStrings(challenges);

  return DecideCredentials(context, authentication, context.OnProxyAuthorization, proxy.ProxyUsername,
                           proxy.ProxyPassword, [&] {
                             proxy.ProxyUsername = authentication.Username();
                             proxy.ProxyPassword = authentication.Password();
                           });
}

void StoreCookies(TIdHTTPCookieContext& context) {
  if (!context.CookieManager && context.AllowCookies) {
    context.OwnedCookieManager = std::make_unique<TIdCookieManager>();
    context.CookieManager = context.OwnedCookieManager.get();
  }
  TIdCookieManager* manager = context.CookieManager;
  if (!manager) return;
  const TIdHeaderList& headers = context.Response.RawHeaders;
  for (int i = 0; i < headers.Count(); ++i)
    if (headers.HasNameText(i, "Set-cookie")) manager->AddServerCookie(headers.ValueAt(i), context.Host);
  for (int i = 0; i < headers.Count(); ++i)
    if (headers.HasNameText(i, "Set-cookie2")) manager->AddServerCookie2(headers.ValueAt(i), context.Host);
}

void AttachCookies(TIdHTTPCookieContext& context, const TIdURI& uri) {
  if (!context.CookieManager) return;
  std::string text = context.CookieManager->CookieHeaderFor(uri, context.IsTls);
  if (!text.empty()) context.Request.RawHeaders.SetValue("Cookie", text);
}

void AfterDisconnect(TIdHTTPAuthContext& context, const TIdURI& uri) {
  std::unique_ptr<TIdAuthentication>& request = context.Request.Authentication;
  if (request && request->CurrentStep >= request->StepCount()) {
    if (context.AuthenticationManager) context.AuthenticationManager->AddAuthentication(*request, uri);
    request.reset();
  }
  std::unique_ptr<TIdAuthentication>& proxy = context.ProxyParams.Authentication;
  if (proxy && proxy->CurrentStep >= proxy->StepCount()) proxy->ResetSteps();
}
