// The first line of a response, parsed once, when it is read: the text as it
// came, the status code and the protocol version it names.
//
// The code is the word after the first blank, trimmed and read as an integer
// ("HTTP/1.1 404 Not Found" gives 404), or -1 when that word is no number.
// The version is the one whose text ("1.0" or "1.1", in any letter case)
// stands at characters 6 to 8, or none. Parsing never fails and keeps the
// text exactly as it came; the exchange refuses a line that is not
// WellFormed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

enum TIdHTTPProtocolVersion : uint8_t { pv1_0, pv1_1 };

// "1.0" or "1.1": the version as a request line writes it.
const char* HTTPVersionText(TIdHTTPProtocolVersion version);

struct TIdHTTPStatusLine {
  std::string Text;
  int32_t Code = -1;
  std::optional<TIdHTTPProtocolVersion> Version;
  // The line is one an HTTP/1.x server writes: "HTTP/1.0" or "HTTP/1.1" (the
  // name in any letter case), blanks, a three-digit code, then a blank and a
  // reason or nothing.
  bool WellFormed = false;
  // "HTTP/" and a version other than 1.0 and 1.1 ("HTTP/2", "HTTP/9.9").
  bool OtherVersion = false;

  static TIdHTTPStatusLine Parse(std::string text);
};
