#include "service/http/CheckInDoor.h"

TFrontAnswer TCheckInDoor::Answer(const TFrontRequest& req) {
  const std::string caller = c_.Caller(req);
  if (req.CrossSiteNavigation()) {
    c_.Log.Write(TLogPriority::Warning, "event=checkin outcome=cross_site" + TRequestLog::Field("address", caller) +
                                            " reason=a%20check-in%20by%20another%20site's%20link");
    return TAnswers::Text(403, "a check-in is not taken from another site's link\n");
  }
  if (!req.Has("userid") || !req.Has("enc")) return TAnswers::Text(400, "missing userid or enc\n");
  const std::string name = req.Param("userid");
  const std::string node = req.Param("node");
  return Respond(c_.Core.CheckIn(name, req.Param("enc"), node, caller, c_.Now()), name, node, caller);
}

bool TCheckInDoor::AnswerSoon(const TFrontRequest& req, std::function<void(std::optional<TFrontAnswer>)> done) {
  if (req.CrossSiteNavigation() || !req.Has("userid") || !req.Has("enc")) return false;
  std::string caller = c_.Caller(req), name = req.Param("userid"), node = req.Param("node");
  return c_.Core.SendCheckIn(name, req.Param("enc"), node, caller, c_.Now(),
                             [this, name, node, caller, done = std::move(done)](std::optional<TCheckInResult> r) {
                               if (!r) return done(std::nullopt);
                               done(Respond(*r, name, node, caller));
                             });
}

TFrontAnswer TCheckInDoor::Respond(const TCheckInResult& r, const std::string& name, const std::string& node,
                                   const std::string& caller) {
  c_.Metrics.CountRequest(TMetricsDoor::CheckIn, r.Answer);
  const std::string who =
      TRequestLog::Field("node", node) + TRequestLog::Field("user", name) + TRequestLog::Field("address", caller);
  auto line = [&](const char* outcome, const std::string& reason = "") {
    return std::string("event=checkin outcome=") + outcome + who + (reason.empty() ? "" : TRequestLog::Field("reason", reason));
  };
  switch (r.Answer) {
    case TAnswer::Ok:
      ++c_.CheckIns;
      c_.Log.Write(TLogPriority::Info, line("ok") + (r.KeyNode.empty() ? "" : TRequestLog::Field("by", "key")));
      return TAnswers::Text(200, r.Address);
    case TAnswer::BadRequest:
      c_.Log.Write(TLogPriority::Warning, line("bad_request", r.Problem));
      return TAnswers::Text(400, r.Problem + "\n");
    case TAnswer::Limited: {
      c_.Log.Write(TLogPriority::Warning, line("limited", "too many failed attempts"));
      TFrontAnswer answer = TAnswers::Text(429, "too many failed check-ins; try again later\n");
      TAnswers::RetryAfter(answer, r.RetryAfter);
      return answer;
    }
    case TAnswer::TooManyNodes:
      c_.Log.Write(TLogPriority::Warning, line("too_many_nodes"));
      return TAnswers::Text(403, "this account has as many nodes as it may have\n");
    case TAnswer::Unavailable: {
      c_.Log.Write(TLogPriority::Error, line("unavailable", r.Problem));
      TFrontAnswer answer =
          TAnswers::Text(503, "the service cannot record check-ins right now; try again later\n");
      TAnswers::RetryAfter(answer, TAnswers::RetryAfterSeconds * 1000LL);
      return answer;
    }
    case TAnswer::BadAuth:
      break;
  }
  c_.Log.Write(TLogPriority::Warning, line("bad_auth"));
  return TAnswers::Text(403, "unknown account or wrong password\n");
}
