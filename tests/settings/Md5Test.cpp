#include "settings/md5.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {
std::string Hex(std::string_view text) { return DigestToHex(MD5OfString(text)); }
}  // namespace

TEST(Md5, RfcTestSuite) {
  EXPECT_EQ(Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "d174ab98d277d9f5a5611c2c9f419d9f");
  EXPECT_EQ(Hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
            "57edf4a22be3c955ac49da2e2107b67a");
}

// 55, 56, 63, 64 and 65 bytes straddle the padding boundaries.
TEST(Md5, PaddingBoundaries) {
  EXPECT_EQ(Hex(std::string(55, 'a')), "ef1772b6dff9a122358552954ad0df65");
  EXPECT_EQ(Hex(std::string(56, 'a')), "3b0c8ac703f828b04c6c197006d17218");
  EXPECT_EQ(Hex(std::string(63, 'a')), "b06521f39153d618550606be297466d5");
  EXPECT_EQ(Hex(std::string(64, 'a')), "014842d480b571495a4a0363793f7367");
  EXPECT_EQ(Hex(std::string(65, 'a')), "c743a45e0d2e6a95cb859adae0248435");
}

TEST(Md5, TwoPiecesSplitAnywhereGiveTheSameDigest) {
  std::string text;
  for (int i = 0; i < 200; ++i) text += static_cast<char>('!' + i % 90);
  const TMD5Digest whole = MD5OfString(text);
  for (std::size_t split = 0; split <= text.size(); ++split) {
    TMD5Context ctx;
    MD5Init(ctx);
    MD5Update(ctx, text.data(), static_cast<uint32_t>(split));
    MD5Update(ctx, text.data() + split, static_cast<uint32_t>(text.size() - split));
    TMD5Digest digest;
    MD5Final(ctx, digest);
    ASSERT_EQ(digest, whole) << "split at " << split;
  }
}

TEST(Md5, FinalWipesTheContextAndHexIsLowerCase) {
  TMD5Context ctx;
  MD5Init(ctx);
  MD5Update(ctx, "secret", 6);
  TMD5Digest digest;
  MD5Final(ctx, digest);
  TMD5Context zero;
  std::memset(&zero, 0, sizeof zero);
  EXPECT_EQ(std::memcmp(&ctx, &zero, sizeof ctx), 0);
  std::string hex = DigestToHex(digest);
  EXPECT_EQ(hex.size(), 32u);
  EXPECT_EQ(hex.find_first_not_of("0123456789abcdef"), std::string::npos);
}
