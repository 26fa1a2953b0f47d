// Pieces of a request that the service reads itself: Basic credentials,
// cookies, query and form parameters. Each takes the header's text as it came and never
// fails loudly: what does not parse is absent.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct TBasicCredentials {
  std::string User, Password;
};

// "Basic BASE64(user:password)" (scheme without regard to case, padding
// required as Base64 has it). Nothing for another scheme, text that is no
// Base64, or a decoded text without ':' or over 1024 bytes.
std::optional<TBasicCredentials> ParseBasicAuthorization(std::string_view header);
// The value of the cookie called name in a Cookie header ("a=1; b=2"), or
// nothing.
std::optional<std::string> CookieValue(std::string_view header, std::string_view name);
// Percent-decoded text ("%41" is "A"; with plusIsSpace, as in a query or a
// form, "+" is a blank); a "%" not followed by two hex digits stays as it is.
std::string UrlDecode(std::string_view text, bool plusIsSpace);
// The parameters of a query or of a form body ("a=1&b=2"), decoded, in order.
std::vector<std::pair<std::string, std::string>> FormParams(std::string_view text);
