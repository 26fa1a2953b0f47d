#include "http/protocol/IdAuthentication.h"

#include <gtest/gtest.h>

#include "runtime/Base64.h"

namespace {
class TTestScheme : public TIdBasicAuthentication {
 public:
  static constexpr const char* kClassName = "TTestScheme";
  const char* ClassName() const override { return kClassName; }
};

void Prepare(TIdBasicAuthentication& auth, const std::vector<std::string>& challenges, const std::string& user) {
  for (const std::string& line : challenges) auth.ChallengeLines().Add(line);
  auth.SetUsername(user);
}
}  // namespace

TEST(IdAuthentication, RegistryKnowsBasicAndRefusesANameTwice) {
  EXPECT_EQ(FindScheme("basic"), AuthenticationClassOf<TIdBasicAuthentication>());
  EXPECT_EQ(FindScheme("Test-Scheme"), nullptr);
  RegisterScheme("Test-Scheme", AuthenticationClassOf<TTestScheme>());
  ASSERT_EQ(FindScheme("TEST-SCHEME"), AuthenticationClassOf<TTestScheme>());
  EXPECT_STREQ(FindScheme("test-scheme")->Create()->ClassName(), "TTestScheme");

  struct Case {
    const char* name;
    const char* message;
  } cases[] = {
      {"BASIC", "This authentication method is already registered with class name TIdBasicAuthentication."},
      {"test-scheme", "This authentication method is already registered with class name TTestScheme."},
  };
  for (const Case& c : cases) {
    try {
      RegisterScheme(c.name, AuthenticationClassOf<TIdBasicAuthentication>());
      ADD_FAILURE() << c.name;
    } catch (const EIdAlreadyRegisteredAuthenticationMethod& e) {
      EXPECT_EQ(e.Message(), c.message);
    }
  }
}

TEST(IdAuthentication, BasicDecidesFromItsChallengeAndUser) {
  struct Case {
    std::vector<std::string> challenges;
    std::string user;
    uint32_t step;
    TIdAuthWhatsNext next;
    std::string realm;
  } cases[] = {
      {{"Basic realm=\"Pinmark\""}, "u", 0, auSendRequest, "Pinmark"},
      {{"Basic realm=\"Pinmark\""}, "", 0, auAskProgram, "Pinmark"},
      {{"Basic realm=\"Pinmark\""}, "u", 1, auFail, "Pinmark"},
      {{"Digest realm=\"d\"", "Basic realm=\"a, b\", charset=\"UTF-8\""}, "u", 0, auSendRequest, "a, b"},
      {{"basic realm=\"lower\""}, "u", 0, auSendRequest, ""},
      {{"Basic realm=plain"}, "u", 0, auSendRequest, "plain"},
      {{"Basic realm=\""}, "u", 0, auSendRequest, "\""},
      {{"Basic"}, "", 0, auAskProgram, ""},
      {{}, "u", 0, auSendRequest, ""},
  };
  for (Case& c : cases) {
    TIdBasicAuthentication auth;
    Prepare(auth, c.challenges, c.user);
    auth.CurrentStep = c.step;
    EXPECT_EQ(auth.DecideStep(), c.next) << c.challenges.size();
    EXPECT_EQ(auth.Realm, c.realm);
  }
}

TEST(IdAuthentication, BasicHeaderValueKeepsCredentialsIntact) {
  TIdBasicAuthentication auth;
  auth.SetUsername("Aladdin");
  auth.SetPassword("open sesame");
  EXPECT_EQ(auth.HeaderValue(), "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==");

  // Long credentials with commas and blanks are stored unfolded and come back
  // exactly; a challenge parameter never replaces them.
  std::string user = "user, with, commas and blanks " + std::string(80, 'u');
  std::string password = std::string(90, 'p') + ", x y";
  auth.SetUsername(user);
  auth.SetPassword(password);
  auth.ChallengeLines().Add("Basic realm=\"r\", username=\"intruder\"");
  EXPECT_EQ(auth.DecideStep(), auSendRequest);
  EXPECT_EQ(auth.Username(), user);
  EXPECT_EQ(auth.Password(), password);
  EXPECT_EQ(auth.HeaderValue(), "Basic " + EncodeBase64(user + ":" + password));

  // Deciding again and again does not pile up parameters.
  int lines = auth.SchemeParams.Count();
  for (int i = 0; i < 5; ++i) auth.DecideStep();
  EXPECT_EQ(auth.SchemeParams.Count(), lines);
}

// The worked examples of RFC 7616 (section 3.9.1), MD5 and SHA-256, and
// challenges the scheme must refuse rather than answer wrongly.
TEST(IdAuthentication, DigestAnswersAsTheStandardsExamplesAndRefusesWhatItCannotAnswer) {
  const std::string params =
      "realm=\"http-auth@example.org\", qop=\"auth, auth-int\", nonce=\"7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v\","
      "opaque=\"FQhe/qaU925kfnzjCev0ciny7QMkPqMAFRtzCUYo5tdS\"";
  const struct {
    std::string challenge;
    std::string expected;  // the response, or empty when the challenge must be refused
  } cases[] = {
      {"Digest " + params + ", algorithm=MD5", "8ca523f5e9506fed4657c9700eebdbec"},
      {"Digest " + params + ", algorithm=SHA-256", "753927fa0e85d155564e2e272a28d1802ca10daf4496794697cf8db5856cb6c1"},
      {"Digest " + params + ", algorithm=SHA-512-256", ""},
      {"Digest realm=\"r\", nonce=\"n\", qop=\"auth-int\"", ""},
      {"Digest realm=\"r\"", ""},
      {"Basic realm=\"r\"", ""},
  };
  for (const auto& c : cases) {
    TIdDigestAuthentication digest;
    digest.ChallengeLines().Add(c.challenge);
    digest.SetUsername("Mufasa");
    digest.SetPassword("Circle of Life");
    digest.FixedClientNonce = "f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ";
    const TIdAuthWhatsNext next = digest.DecideStep();
    if (c.expected.empty()) {
      EXPECT_EQ(next, auFail) << c.challenge;
      continue;
    }
    ASSERT_EQ(next, auSendRequest) << c.challenge;
    digest.SetRequest("GET", "/dir/index.html");
    const std::string value = digest.HeaderValue();
    EXPECT_NE(value.find("response=\"" + c.expected + "\""), std::string::npos) << value;
    EXPECT_EQ(value.rfind("Digest username=\"Mufasa\", realm=\"http-auth@example.org\", nonce=\"7ypf/", 0), 0u)
        << value;
    EXPECT_NE(value.find(", uri=\"/dir/index.html\", "), std::string::npos) << value;
    EXPECT_NE(value.find(", qop=auth, nc=00000001, cnonce=\"f2/wE4q"), std::string::npos) << value;
    EXPECT_NE(value.find(", opaque=\"FQhe/qaU925kfnzjCev0ciny7QMkPqMAFRtzCUYo5tdS\""), std::string::npos) << value;
  }
  EXPECT_EQ(FindScheme("digest"), AuthenticationClassOf<TIdDigestAuthentication>());
}
