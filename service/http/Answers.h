// The one place that writes the service's answers: plain text, pages with
// their security headers, JSON, the redirect after a form, refusals with
// Retry-After, the Basic challenge and the cookies. Doors say what to
// answer; how it looks on the wire is decided here, so that every door's
// page carries the same policy and every refusal the same shape.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct TFrontAnswer {
  int Status = 200;
  std::string ContentType = "text/plain";
  std::vector<std::pair<std::string, std::string>> Headers;
  std::string Body;
  // Close the connection after this answer (a refused request: where it
  // ends is not known, so nothing after it is read).
  bool Close = false;

  TFrontAnswer& Set(std::string name, std::string value);
  // The value of a header set here, or "" (for tests and the request log).
  std::string Header(std::string_view name) const;
};

class TAnswers {
 public:
  static constexpr int RetryAfterSeconds = 30;  // told with a 503
  static constexpr char SessionCookie[] = "pinmark_session";
  static constexpr char FormCookie[] = "pinmark_form";

  static TFrontAnswer Text(int status, std::string text);
  // "404 not found\n" and the like, for what no door answers.
  static TFrontAnswer Status(int status);
  // A refused request; the connection is closed after it.
  static TFrontAnswer Refused(int status, const std::string& reason);
  // An HTML page with the pages' security headers; a personal one is never cached.
  static TFrontAnswer Page(int status, std::string html, bool personal);
  static TFrontAnswer Json(int status, std::string json);
  static TFrontAnswer StyleSheet(std::string css);
  // 303 to /nodes, the answer to each form.
  static TFrontAnswer SeeNodes();
  // Adds Retry-After, in whole seconds rounded up.
  static void RetryAfter(TFrontAnswer& answer, long long milliseconds);
  // Adds the Basic challenge (with a 401).
  static void BasicChallenge(TFrontAnswer& answer);
  // A cookie for the pages: HttpOnly, SameSite=Strict, Secure over HTTPS;
  // an empty value with maxAge 0 removes it.
  static std::string Cookie(const char* name, const std::string& value, long long maxAgeSeconds, bool secure);
};
