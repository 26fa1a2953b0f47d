#include "service/dns/DnsKey.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/support/TempDir.h"

namespace {
// "0123456789abcdef0123456789abcdef" in base64.
const char kSecret[] = "MDEyMzQ1Njc4OWFiY2RlZjAxMjM0NTY3ODlhYmNkZWY=";
const char kSecretBytes[] = "0123456789abcdef0123456789abcdef";

struct KeyForm {
  const char* what;
  std::string text;
  const char* name;
  TDnsKeyAlgorithm algorithm;
};
}  // namespace

TEST(DnsKey, ReadsTheFormsNameServersAndTheirToolsWrite) {
  const std::string s = kSecret;
  const KeyForm forms[] = {
      {"tsig-keygen", "key \"pinmark-update\" {\n\talgorithm hmac-sha256;\n\tsecret \"" + s + "\";\n};\n",
       "pinmark-update.", TDnsKeyAlgorithm::HmacSha256},
      {"key statement with comments, unquoted name, upper case",
       "# made by hand\n/* for the\n service */ KEY Update.Key. { // the name\n ALGORITHM HMAC-SHA512; secret " + s +
           "; };",
       "update.key.", TDnsKeyAlgorithm::HmacSha512},
      {"keymgr -t",
       "# hmac-sha512:pinmark:" + s + "\nkey:\n  - id: pinmark\n    algorithm: hmac-sha512\n    secret: " + s + "\n",
       "pinmark.", TDnsKeyAlgorithm::HmacSha512},
      {"YAML with quotes and the id on its own line",
       "key:\n  -\n    id: \"a.b\"\n    secret: '" + s + "'  # comment\n    algorithm: hmac-sha256\n", "a.b.",
       TDnsKeyAlgorithm::HmacSha256},
      {"knsupdate line with algorithm", "hmac-sha512:k1:" + s + "\n", "k1.", TDnsKeyAlgorithm::HmacSha512},
      {"knsupdate line without algorithm", "  k_2:" + s, "k_2.", TDnsKeyAlgorithm::HmacSha256},
  };
  for (const KeyForm& form : forms) {
    SCOPED_TRACE(form.what);
    const TDnsKey key = TDnsKey::Parse(form.text);
    EXPECT_EQ(key.Name, form.name);
    EXPECT_EQ(key.Algorithm, form.algorithm);
    EXPECT_EQ(key.Secret, kSecretBytes);
    EXPECT_EQ(key.SecretBase64(), kSecret);
  }
}

TEST(DnsKey, RefusesWhatCannotSignSayingWhatIsWrongAndNeverTheSecret) {
  const std::string s = kSecret;
  const std::pair<std::string, const char*> bad[] = {
      {"", "holds no key"},
      {"# nothing but a comment\n", "holds no key"},
      {"key \"k\" { algorithm hmac-md5; secret \"" + s + "\"; };", "hmac-md5 is not supported"},
      {"key \"k\" { algorithm hmac-sha256; };", "no secret"},
      {"key \"k\" { secret \"" + s + "\"; };", "no algorithm"},
      {"key \"k\" { algorithm hmac-sha256; secret \"not base64!\"; };", "not base64"},
      {"key \"k\" { algorithm hmac-sha256; secret \"QUJD=ERG\"; };", "not base64"},
      {"key \"k\" { algorithm hmac-sha256; secret \"" + s + "\" };", "expected ';' after the secret"},
      {"key \"k\" { algorithm hmac-sha256; secret \"" + s + "\"; }", "line 1: expected ';'"},
      {"key \"a\" { algorithm hmac-sha256; secret \"" + s + "\"; };\nkey \"b\" { algorithm hmac-sha256; secret \"" + s +
           "\"; };",
       "line 2: the file holds more than one key"},
      {"options { directory \"/var\"; };", "expected a key statement"},
      {"key \"k\" {\n algorithm hmac-sha256;\n owner me;\n};", "line 3: unknown field \"owner\""},
      {"key \"k\" { algorithm hmac-sha256; secret \"" + s + "; };", "not closed"},
      {"key \"k\" { /* algorithm", "line 1: a comment is not closed"},
      {"key \"bad name!\" { algorithm hmac-sha256; secret \"" + s + "\"; };", "holds a character other than"},
      {"key:\n  - id: a\n    secret: " + s + "\n    algorithm: hmac-sha256\n  - id: b\n",
       "line 5: the file holds more"},
      {"server:\n  listen: 0.0.0.0\nkey:\n", "line 1: expected only a key section"},
      {"key:\n  - id: a\n    secret: " + s + "\n    secret: " + s + "\n", "secret is given twice"},
      {"hmac-sha256:k:" + s + "\nhmac-sha256:j:" + s, "more than one line"},
      {"a:b:c:d", "[algorithm:]name:secret"},
      {"just words here", "[algorithm:]name:secret"},
      {std::string("k:") + s + std::string(1, '\0'), "not text"},
  };
  for (const auto& [text, expected] : bad) {
    SCOPED_TRACE(text);
    try {
      TDnsKey::Parse(text, "the key file /etc/k");
      ADD_FAILURE() << "accepted";
    } catch (const EDnsKey& error) {
      EXPECT_NE(error.Message().find("the key file /etc/k: "), std::string::npos) << error.Message();
      EXPECT_NE(error.Message().find(expected), std::string::npos) << error.Message();
      EXPECT_EQ(error.Message().find(kSecret), std::string::npos) << error.Message();
    }
  }
}

TEST(DnsKey, RefusesAFileOthersCanReadOrWriteAndWhatIsNoKeyFile) {
  TempDir dir;
  const std::string path = dir.File("update.key");
  TempDir::Write(path, std::string("key \"k\" { algorithm hmac-sha256; secret \"") + kSecret + "\"; };\n");
  struct Case {
    mode_t mode;
    const char* refusal;  // nullptr: taken
  };
  for (const Case& c : {Case{0644, "readable by others (mode 0644)"}, Case{0602, "writable by others (mode 0602)"},
                        Case{0600, nullptr}, Case{0640, nullptr}, Case{0400, nullptr}}) {
    SCOPED_TRACE(c.mode);
    ASSERT_EQ(::chmod(path.c_str(), c.mode), 0);
    if (c.refusal == nullptr) {
      EXPECT_EQ(TDnsKey::Load(path).Name, "k.");
      continue;
    }
    try {
      TDnsKey::Load(path);
      ADD_FAILURE() << "accepted";
    } catch (const EDnsKey& error) {
      EXPECT_NE(error.Message().find(c.refusal), std::string::npos) << error.Message();
      EXPECT_NE(error.Message().find("chmod o-rwx " + path), std::string::npos) << error.Message();
    }
  }

  const std::string big = dir.File("big.key");
  TempDir::Write(big, std::string(TDnsKey::MaxFileSize + 1, '#'));
  ::chmod(big.c_str(), 0600);
  const std::pair<std::string, const char*> unusable[] = {
      {dir.File("missing.key"), "No such file"},
      {dir.Path().string(), "not a regular file"},
      {big, "larger than 64 KiB"},
  };
  for (const auto& [file, expected] : unusable) {
    try {
      TDnsKey::Load(file);
      ADD_FAILURE() << file << " accepted";
    } catch (const EDnsKey& error) {
      EXPECT_NE(error.Message().find(expected), std::string::npos) << error.Message();
    }
  }
}
