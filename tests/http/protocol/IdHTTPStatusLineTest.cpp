#include "http/protocol/IdHTTPStatusLine.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

TEST(IdHTTPStatusLine, CodeAndVersionAreReadOnceFromTheLineAsItCame) {
  struct Case {
    std::string line;
    int32_t code;
    std::optional<TIdHTTPProtocolVersion> version;
  };
  const Case cases[] = {
      {"HTTP/1.1 404 Not Found", 404, pv1_1},
      {"HTTP/1.0 200 OK", 200, pv1_0},
      {"http/1.0 204", 204, pv1_0},  // the version in any letter case
      {"HTTP/1.1   301   Moved", 301, pv1_1},
      {"HTTP/1.1 OK", -1, pv1_1},  // no number after the first blank
      {"HTTP/1.1 2OO OK", -1, pv1_1},
      {"HTTP/2 200 OK", 200, std::nullopt},
      {"XXXXX1.0 500 Oops", 500, pv1_0},  // only characters 6 to 8 name the version
      {"HTTP/1.1", -1, pv1_1},
      {"HTTP/", -1, std::nullopt},
      {"", -1, std::nullopt},
      {"HTTP/1.1 100 Continue", 100, pv1_1},
  };
  for (const Case& c : cases) {
    const TIdHTTPStatusLine status = TIdHTTPStatusLine::Parse(c.line);
    EXPECT_EQ(status.Text, c.line);
    EXPECT_EQ(status.Code, c.code) << c.line;
    EXPECT_EQ(status.Version, c.version) << c.line;
  }
}

TEST(IdHTTPStatusLine, RequestLinesWriteTheSameVersionTexts) {
  EXPECT_STREQ(HTTPVersionText(pv1_0), "1.0");
  EXPECT_STREQ(HTTPVersionText(pv1_1), "1.1");
}
