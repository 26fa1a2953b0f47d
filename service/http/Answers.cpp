#include "service/http/Answers.h"

#include "runtime/SysUtils.h"

namespace {
// The pages hold no script and load nothing from elsewhere.
const char kPagePolicy[] =
    "default-src 'none'; style-src 'self'; img-src 'self'; form-action 'self'; frame-ancestors 'none'; "
    "base-uri 'none'";
}  // namespace

TFrontAnswer& TFrontAnswer::Set(std::string name, std::string value) {
  Headers.emplace_back(std::move(name), std::move(value));
  return *this;
}

std::string TFrontAnswer::Header(std::string_view name) const {
  for (const auto& [n, v] : Headers)
    if (SameText(n, name)) return v;
  return "";
}

TFrontAnswer TAnswers::Text(int status, std::string text) {
  TFrontAnswer answer;
  answer.Status = status;
  answer.Body = std::move(text);
  return answer;
}

TFrontAnswer TAnswers::Status(int status) {
  const char* reason = status == 400   ? "bad request"
                       : status == 403 ? "forbidden"
                       : status == 404 ? "not found"
                       : status == 405 ? "method not allowed"
                       : status == 408 ? "request timeout"
                       : status == 413 ? "request too large"
                       : status == 414 ? "request URI too long"
                       : status == 431 ? "request head too large"
                                       : "the request was not answered";
  return Text(status, std::to_string(status) + " " + reason + "\n");
}

TFrontAnswer TAnswers::Refused(int status, const std::string& reason) {
  TFrontAnswer answer = Text(status, reason + "\n");
  answer.Close = true;
  return answer;
}

TFrontAnswer TAnswers::Page(int status, std::string html, bool personal) {
  TFrontAnswer answer = Text(status, std::move(html));
  answer.ContentType = "text/html; charset=utf-8";
  answer.Set("Content-Security-Policy", kPagePolicy);
  answer.Set("X-Content-Type-Options", "nosniff");
  answer.Set("Referrer-Policy", "no-referrer");
  answer.Set("X-Frame-Options", "DENY");
  if (personal) answer.Set("Cache-Control", "no-store");
  return answer;
}

TFrontAnswer TAnswers::Json(int status, std::string json) {
  TFrontAnswer answer = Text(status, std::move(json));
  answer.ContentType = "application/json";
  answer.Set("Cache-Control", "no-store");
  answer.Set("X-Content-Type-Options", "nosniff");
  return answer;
}

TFrontAnswer TAnswers::StyleSheet(std::string css) {
  TFrontAnswer answer = Text(200, std::move(css));
  answer.ContentType = "text/css; charset=utf-8";
  answer.Set("Cache-Control", "max-age=3600");
  answer.Set("X-Content-Type-Options", "nosniff");
  return answer;
}

TFrontAnswer TAnswers::SeeNodes() {
  TFrontAnswer answer = Text(303, "see /nodes\n");
  answer.Set("Location", "/nodes");
  return answer;
}

void TAnswers::RetryAfter(TFrontAnswer& answer, long long milliseconds) {
  answer.Set("Retry-After", std::to_string((milliseconds + 999) / 1000));
}

void TAnswers::BasicChallenge(TFrontAnswer& answer) {
  answer.Set("WWW-Authenticate", "Basic realm=\"pinmark-service\", charset=\"UTF-8\"");
}

std::string TAnswers::Cookie(const char* name, const std::string& value, long long maxAgeSeconds, bool secure) {
  std::string cookie = std::string(name) + "=" + value + "; Path=/; Max-Age=" + std::to_string(maxAgeSeconds) +
                       "; HttpOnly; SameSite=Strict";
  if (secure) cookie += "; Secure";
  return cookie;
}
