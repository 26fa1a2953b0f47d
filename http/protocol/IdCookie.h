// Cookie items: the Netscape form of "Set-cookie", the RFC 2109 form with
// max-age, version and comment, and the RFC 2965 form of "Set-cookie2" with
// comment URL, discard flag and port list.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/StringList.h"

class TIdNetscapeCookie {
 public:
  TIdNetscapeCookie() = default;
  virtual ~TIdNetscapeCookie() = default;
  TIdNetscapeCookie(const TIdNetscapeCookie&) = delete;
  TIdNetscapeCookie& operator=(const TIdNetscapeCookie&) = delete;

  std::string CookieText;  // the text last parsed
  std::string Domain;
  std::string Expires;  // the expiry date as text, empty for a session cookie
  std::string CookieName;
  std::string Path;
  bool Secure = false;
  std::string Value;
  uint8_t Style = 0;  // 0 Netscape, 1 RFC 2109, 2 RFC 2965

  // Reads "name=value; attr=value; flag; ..."; the same text again changes
  // nothing. Attribute names are matched ignoring case.
  void SetCookieText(std::string_view text);
  // Takes over every value of the other cookie that this class holds.
  virtual void AssignFrom(const TIdNetscapeCookie& other);

 protected:
  // Fills the fields from the attributes, each "NAME=value" or "NAME" with
  // the name upper-cased.
  virtual void LoadAttributes(const TStringList& attributes);
};

class TIdCookieRFC2109 : public TIdNetscapeCookie {
 public:
  TIdCookieRFC2109() { Style = 1; }

  int64_t MaxAge = -1;  // seconds; -1 when not given
  std::string Version;
  std::string Comment;

  void AssignFrom(const TIdNetscapeCookie& other) override;

 protected:
  // A max-age without an expiry date becomes the date that many seconds from
  // now, in UTC, so that expiry works alike for both.
  void LoadAttributes(const TStringList& attributes) override;
};

class TIdCookieRFC2965 : public TIdCookieRFC2109 {
 public:
  TIdCookieRFC2965() { Style = 2; }

  std::string CommentURL;
  bool Discard = false;
  // From "Port": a quoted comma list of ports; [80] when absent or an empty
  // quoted list; empty when not quoted. A part that is not a decimal port
  // from 1 to 65535, or an opening quote without its closing one, raises
  // EConvertError (the cookie manager then drops the cookie).
  std::vector<int32_t> PortList;

  void AssignFrom(const TIdNetscapeCookie& other) override;

 protected:
  void LoadAttributes(const TStringList& attributes) override;
};
