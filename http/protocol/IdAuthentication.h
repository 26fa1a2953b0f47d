// Authentication schemes: the process-wide registry from scheme name to
// scheme class, the scheme base class, and the Basic and Digest schemes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <vector>

#include "http/IdException.h"
#include "http/protocol/IdHeaderList.h"
#include "http/protocol/IdURI.h"

class TIdAuthentication;

// What a scheme wants next after looking at a challenge.
enum TIdAuthWhatsNext : uint8_t { auAskProgram = 0, auSendRequest = 1, auFail = 2 };

// A scheme class: its name and how to make an object of it.
struct TIdAuthenticationClassInfo {
  const char* ClassName;
  std::unique_ptr<TIdAuthentication> (*Create)();
};
using TIdAuthenticationClass = const TIdAuthenticationClassInfo*;

// The class of T, for T with a static kClassName and a default constructor.
template <class T>
TIdAuthenticationClass AuthenticationClassOf() {
  static const TIdAuthenticationClassInfo info{
      T::kClassName, []() -> std::unique_ptr<TIdAuthentication> { return std::make_unique<T>(); }};
  return &info;
}

// The registry lives for the whole process and starts with "Basic" and
// "Digest". Names
// are compared ignoring case. Registering a name twice raises
// EIdAlreadyRegisteredAuthenticationMethod naming the class already there.
void RegisterScheme(std::string_view name, TIdAuthenticationClass schemeClass);
// The class registered under the name, or nullptr.
TIdAuthenticationClass FindScheme(std::string_view name);

class TIdAuthentication {
 public:
  TIdAuthentication();
  virtual ~TIdAuthentication() = default;
  TIdAuthentication(const TIdAuthentication&) = delete;
  TIdAuthentication& operator=(const TIdAuthentication&) = delete;

  virtual const char* ClassName() const = 0;

  // Looks at the challenge lines and says whether the request can be sent,
  // the program must be asked for credentials, or the attempt has failed.
  virtual TIdAuthWhatsNext DecideStep() = 0;
  // The steps after which the scheme is finished; 0 for the base class.
  virtual uint32_t StepCount() const { return 0; }
  virtual void SetPassword(std::string_view value);
  virtual void SetUsername(std::string_view value);
  virtual void ResetSteps() { CurrentStep = 0; }
  // The value of the "Authorization" (or "Proxy-Authorization") header.
  virtual std::string HeaderValue() = 0;
  // The request the next header value is for; only schemes that sign the
  // request (Digest) use it.
  virtual void SetRequest(std::string_view /*method*/, std::string_view /*target*/) {}

  std::string Username() const { return SchemeParams.ValueOf("username"); }
  std::string Password() const { return SchemeParams.ValueOf("password"); }

  uint32_t CurrentStep = 0;
  // "Username", "Password" and the parameters of the challenge. Values are
  // never folded here: a credential folded and unfolded again would come back
  // with a blank inserted.
  TIdHeaderList SchemeParams;
  // The challenge lines ("WWW-Authenticate" values); created on first use.
  TIdHeaderList& ChallengeLines();

 protected:
  // The step of a scheme answered in one request: ask the program while
  // there is no user name, send it the first time, fail after that.
  TIdAuthWhatsNext FirstStepOnly() const;

 private:
  std::unique_ptr<TIdHeaderList> challengeLines_;
};

class TIdBasicAuthentication : public TIdAuthentication {
 public:
  static constexpr const char* kClassName = "TIdBasicAuthentication";
  const char* ClassName() const override { return kClassName; }

  // Takes the parameters of the first challenge line that begins with
  // "Basic" and asks the program for a user name while it has none.
  TIdAuthWhatsNext DecideStep() override;
  uint32_t StepCount() const override { return 1; }
  // "Basic " and the base64 of user name ":" password.
  std::string HeaderValue() override;

  // The realm of the last challenge, without its quotes.
  std::string Realm;
};

// The Digest scheme: answers the first "Digest" challenge with a response
// that proves the password without sending it. MD5 and SHA-256 (and their
// "-sess" forms), with "qop=auth" when the server offers it and without a
// qop when it offers none. A challenge it cannot answer (another algorithm,
// a qop of "auth-int" only, no nonce) is refused, never answered wrongly.
class TIdDigestAuthentication : public TIdAuthentication {
 public:
  static constexpr const char* kClassName = "TIdDigestAuthentication";
  const char* ClassName() const override { return kClassName; }

  TIdAuthWhatsNext DecideStep() override;
  uint32_t StepCount() const override { return 1; }
  std::string HeaderValue() override;
  void SetRequest(std::string_view method, std::string_view target) override;

  // For tests: the client nonce of the next header value instead of a random one.
  std::string FixedClientNonce;

 private:
  std::string realm_, nonce_, opaque_, algorithm_, qop_;
  bool answerable_ = false;
  uint32_t nonceCount_ = 0;
  std::string method_, target_;
};

// Keeps what finished authentications knew (the URL they were made for, the
// scheme and its parameters), so that an exchange that attaches a manager
// can look them up later.
class TIdAuthenticationManager {
 public:
  struct TIdAuthenticationItem {
    std::string URL;  // without user information and fragment
    std::string SchemeClassName;
    std::vector<std::string> Params;  // the scheme's parameter lines
  };

  virtual ~TIdAuthenticationManager() = default;
  virtual void AddAuthentication(const TIdAuthentication& authentication, const TIdURI& uri);
  const std::vector<TIdAuthenticationItem>& Items() const { return items_; }

 private:
  std::vector<TIdAuthenticationItem> items_;
};

