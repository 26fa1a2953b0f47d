#include "service/http/ApiDoor.h"

#include "service/http/NodePages.h"
#include "service/http/RequestText.h"
#include "settings/md5.h"

namespace {
TFrontAnswer Refusal(int status, const std::string& error) {
  TFrontAnswer answer = TAnswers::Json(status, "{\"error\":" + JsonString(error) + "}\n");
  if (status == 401) TAnswers::BasicChallenge(answer);
  if (status == 503) TAnswers::RetryAfter(answer, TAnswers::RetryAfterSeconds * 1000LL);
  return answer;
}
}  // namespace

TFrontAnswer TApiDoor::Answer(const TFrontRequest& req) {
  const std::optional<TBasicCredentials> credentials = ParseBasicAuthorization(req.Header("Authorization"));
  if (!credentials) return Refusal(401, "sign in with the account's name and password (Basic)");
  const std::string caller = c_.Caller(req);
  const std::string who = TRequestLog::Field("user", credentials->User) + TRequestLog::Field("address", caller);
  auto line = [&](const char* outcome, const std::string& reason = "") {
    return std::string("event=api outcome=") + outcome + who + (reason.empty() ? "" : TRequestLog::Field("reason", reason));
  };
  const TSignIn r = c_.Core.SignIn(credentials->User, DigestToHex(MD5OfString(credentials->Password)), caller, c_.Now());
  c_.Metrics.CountRequest(TMetricsDoor::Api, r.Answer);
  switch (r.Answer) {
    case TAnswer::Ok:
      break;
    case TAnswer::Limited: {
      c_.Log.Write(TLogPriority::Warning, line("limited", "too many failed attempts"));
      TFrontAnswer answer = Refusal(429, "too many failed sign-ins; try again later");
      TAnswers::RetryAfter(answer, r.RetryAfter);
      return answer;
    }
    case TAnswer::Unavailable:
      c_.Log.Write(TLogPriority::Error, line("unavailable", r.Problem));
      return Refusal(503, "the service cannot answer right now; try again shortly");
    case TAnswer::BadRequest:
      c_.Log.Write(TLogPriority::Warning, line("bad_request", r.Problem));
      return Refusal(400, r.Problem);
    default:
      c_.Log.Write(TLogPriority::Warning, line("bad_auth"));
      return Refusal(401, "unknown account or wrong password");
  }
  try {
    return TAnswers::Json(200, NodesJson(r.Account, c_.Nodes(r.Account, c_.Now()), c_.Core.Rules().StaleAfter));
  } catch (const EStoreError& e) {
    c_.Log.Write(TLogPriority::Error, line("unavailable", e.Message()));
    return Refusal(503, "the service cannot answer right now; try again shortly");
  }
}
