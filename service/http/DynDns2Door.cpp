#include "service/http/DynDns2Door.h"

#include "service/http/RequestText.h"
#include "settings/md5.h"

TFrontAnswer TDynDns2Door::Answer(const TFrontRequest& req) {
  const std::string caller = c_.Caller(req);
  if (req.CrossSiteNavigation()) {
    c_.Log.Write(TLogPriority::Warning, "event=dyndns2" + TRequestLog::Field("address", caller) +
                                            " answer=badagent reason=an%20update%20by%20another%20site's%20link");
    return TAnswers::Text(403, "badagent\n");
  }
  const std::optional<TBasicCredentials> credentials = ParseBasicAuthorization(req.Header("Authorization"));
  if (!credentials) {
    TFrontAnswer answer = TAnswers::Text(401, "badauth\n");
    TAnswers::BasicChallenge(answer);
    return answer;
  }
  TSignIn signIn;
  const std::vector<TDynDns2Line> lines =
      c_.Core.DynDns2Update(credentials->User, DigestToHex(MD5OfString(credentials->Password)), req.Param("hostname"),
                            req.Param("myip"), req.Param("myipv6"), caller, c_.Now(), &signIn);
  c_.Metrics.CountRequest(TMetricsDoor::DynDns2, signIn.Answer);
  std::string body;
  const std::string who = TRequestLog::Field("user", credentials->User) + TRequestLog::Field("address", caller);
  for (const TDynDns2Line& line : lines) {
    body += line.Answer + "\n";
    const std::size_t blank = line.Answer.find(' ');
    const std::string word = line.Answer.substr(0, blank);
    const TLogPriority priority = word == "good" || word == "nochg" ? TLogPriority::Info
                                  : word == "911"                   ? TLogPriority::Error
                                                                    : TLogPriority::Warning;
    std::string text = "event=dyndns2" + (line.Host.empty() ? "" : TRequestLog::Field("host", line.Host)) + who +
                       TRequestLog::Field("answer", word);
    if (blank != std::string::npos) text += TRequestLog::Field("ip", line.Answer.substr(blank + 1));
    if (!signIn.KeyNode.empty()) text += TRequestLog::Field("by", "key");
    if (!signIn.Problem.empty()) text += TRequestLog::Field("reason", signIn.Problem);
    c_.Log.Write(priority, text);
  }
  TFrontAnswer answer = TAnswers::Text(200, body);
  answer.Set("Cache-Control", "no-store");
  return answer;
}
