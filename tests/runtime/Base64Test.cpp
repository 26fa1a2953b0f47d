#include "runtime/Base64.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

using namespace std::string_view_literals;

TEST(Base64, EncodesTheStandardAlphabetWithPaddingAndReadsItBack) {
  const struct {
    std::string_view data, encoded;
  } cases[] = {{"", ""},
               {"f", "Zg=="},
               {"fo", "Zm8="},
               {"foo", "Zm9v"},
               {"foob", "Zm9vYg=="},
               {"foobar", "Zm9vYmFy"},
               {"\xff\xfe", "//4="},
               {"\xfb\xff", "+/8="},
               {"\0\0\0"sv, "AAAA"},
               {"user:pa:ss", "dXNlcjpwYTpzcw=="}};
  for (const auto& c : cases) {
    EXPECT_EQ(EncodeBase64(c.data), c.encoded) << c.encoded;
    EXPECT_EQ(DecodeBase64(c.encoded), std::string(c.data)) << c.encoded;
  }
  // No line breaks, however long the data.
  const std::string long_ = EncodeBase64(std::string(1000, 'a'));
  EXPECT_EQ(long_.size(), 1336u);
  EXPECT_EQ(long_.find_first_of("\r\n"), std::string::npos);
  EXPECT_EQ(DecodeBase64(long_), std::string(1000, 'a'));
}

TEST(Base64, RefusesEverythingButStrictBase64) {
  for (std::string_view bad : {"Zg"sv, "Zg="sv, "Zm9vY"sv,     // not a multiple of four
                               "Zg==Zg=="sv, "Z==="sv, "===="sv,  // padding not only at the end
                               "Zm=v"sv, "Zm9v=A=="sv, "Zg=A"sv,  // "=" inside
                               "Zm9v\n"sv, " Zm9v"sv, "Zm 9v"sv,  // no blanks or breaks
                               "Zm9-"sv, "Zm9_"sv,                // not the URL alphabet
                               "Zm\0v"sv, "Zm9\xc3"sv})
    EXPECT_FALSE(DecodeBase64(bad).has_value()) << std::string(bad);
}
