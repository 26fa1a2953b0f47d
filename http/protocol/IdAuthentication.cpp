#include "http/protocol/IdAuthentication.h"

#include <mutex>
#include <utility>
#include <vector>

#include "http/openssl/IdOpenSSL.h"
#include "runtime/Base64.h"
#include "runtime/SysUtils.h"

namespace {
struct Registry {
  std::mutex lock;
  std::vector<std::pair<std::string, TIdAuthenticationClass>> schemes{
      {"Basic", AuthenticationClassOf<TIdBasicAuthentication>()},
      {"Digest", AuthenticationClassOf<TIdDigestAuthentication>()}};
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

// Splits a challenge's parameter text at ", " outside double quotes, so that
// a quoted realm may hold a comma.
std::vector<std::string> SplitParams(std::string_view text) {
  std::vector<std::string> items;
  std::string current;
  bool inQuotes = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '"') inQuotes = !inQuotes;
    if (!inQuotes && c == ',' && i + 1 < text.size() && text[i + 1] == ' ') {
      items.push_back(std::move(current));
      current.clear();
      ++i;
      continue;
    }
    current += c;
  }
  if (!current.empty()) items.push_back(std::move(current));
  return items;
}
// The name=value parameters of a challenge, split at commas outside double
// quotes; quoted values lose their quotes and backslash escapes. Names are
// returned in lower case.
std::vector<std::pair<std::string, std::string>> ChallengeParams(std::string_view text) {
  std::vector<std::pair<std::string, std::string>> params;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == ',')) ++i;
    const std::size_t nameStart = i;
    while (i < text.size() && text[i] != '=' && text[i] != ',') ++i;
    std::string name = LowerCase(Trim(text.substr(nameStart, i - nameStart)));
    std::string value;
    if (i < text.size() && text[i] == '=') {
      ++i;
      while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
      if (i < text.size() && text[i] == '"') {
        for (++i; i < text.size() && text[i] != '"'; ++i) {
          if (text[i] == '\\' && i + 1 < text.size()) ++i;
          value += text[i];
        }
        ++i;  // the closing quote
        while (i < text.size() && text[i] != ',') ++i;
      } else {
        const std::size_t valueStart = i;
        while (i < text.size() && text[i] != ',') ++i;
        value = Trim(text.substr(valueStart, i - valueStart));
      }
    }
    if (!name.empty()) params.emplace_back(std::move(name), std::move(value));
  }
  return params;
}

// A value for a quoted-string: backslash before a quote or a backslash.
std::string Quoted(std::string_view value) {
  std::string quoted = "\"";
  for (char c : value) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

const TIdOpenSSLApi& Ssl() { return TIdOpenSSL::Bound(); }

std::string HexDigest(const EVP_MD* md, std::string_view data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (Ssl().EVP_Digest(data.data(), data.size(), digest, &size, md, nullptr) != 1)
    throw EIdException("Digest authentication: the hash could not be computed.");
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < size; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
}

const EVP_MD* DigestAlgorithm(std::string_view algorithm) {
  // Without OpenSSL no hash can be computed.
  if (TIdOpenSSL::Api() == nullptr) throw EIdException("Digest authentication: the hash could not be computed.");
  if (algorithm.empty() || SameText(algorithm, "MD5") || SameText(algorithm, "MD5-sess")) return Ssl().EVP_md5();
  if (SameText(algorithm, "SHA-256") || SameText(algorithm, "SHA-256-sess")) return Ssl().EVP_sha256();
  return nullptr;
}
}  // namespace

void RegisterScheme(std::string_view name, TIdAuthenticationClass schemeClass) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  for (const auto& [registered, cls] : r.schemes)
    if (SameText(registered, name))
      throw EIdAlreadyRegisteredAuthenticationMethod(
          Format("This authentication method is already registered with class name %s.", cls->ClassName));
  r.schemes.emplace_back(std::string(name), schemeClass);
}

TIdAuthenticationClass FindScheme(std::string_view name) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  for (const auto& [registered, cls] : r.schemes)
    if (SameText(registered, name)) return cls;
  return nullptr;
}

TIdAuthentication::TIdAuthentication() { SchemeParams.FoldOnWrite = false; }

void TIdAuthentication::SetPassword(std::string_view value) { SchemeParams.SetValue("Password", value); }

void TIdAuthentication::SetUsername(std::string_view value) { SchemeParams.SetValue("Username", value); }

TIdHeaderList& TIdAuthentication::ChallengeLines() {
  if (!challengeLines_) challengeLines_ = std::make_unique<TIdHeaderList>();
  return *challengeLines_;
}

TIdAuthWhatsNext TIdAuthentication::FirstStepOnly() const {
  if (CurrentStep == 0) return Username().empty() ? auAskProgram : auSendRequest;
  return auFail;
}

TIdAuthWhatsNext TIdBasicAuthentication::DecideStep() {
  std::string challenge;
  TIdHeaderList& lines = ChallengeLines();
  for (int i = 0; i < lines.Count(); ++i) {
    if (lines[i].rfind("Basic", 0) == 0) {
      challenge = lines[i];
      break;
    }
  }

  std::size_t space = challenge.find(' ');
  std::string params = space == std::string::npos ? std::string() : challenge.substr(space + 1);
  for (std::string& item : SplitParams(params)) {
    std::size_t eq = item.find('=');
    if (eq != std::string::npos) item.replace(eq, 1, ": ");
    // The first value of a name stands, as a lookup would find it first;
    // adding it again on every round of asking would only grow the list.
    std::size_t colon = item.find(':');
    std::string name = colon == std::string::npos ? std::string() : item.substr(0, colon);
    if (colon != std::string::npos && SchemeParams.IndexOfHeader(name) >= 0) continue;
    if (SchemeParams.IndexOf(item) >= 0) continue;
    SchemeParams.Add(std::move(item));
  }

  Realm = SchemeParams.ValueOf("realm");
  if (Realm.size() >= 2 && Realm.front() == '"' && Realm.back() == '"') Realm = Realm.substr(1, Realm.size() - 2);

  return FirstStepOnly();
}

std::string TIdBasicAuthentication::HeaderValue() { return "Basic " + EncodeBase64(Username() + ":" + Password()); }

TIdAuthWhatsNext TIdDigestAuthentication::DecideStep() {
  TIdHeaderList& lines = ChallengeLines();
  answerable_ = false;
  for (int i = 0; i < lines.Count(); ++i) {
    const std::string& line = lines[i];
    if (line.size() < 6 || !SameText(std::string_view(line).substr(0, 6), "Digest") ||
        (line.size() > 6 && line[6] != ' '))
      continue;
    realm_.clear();
    nonce_.clear();
    opaque_.clear();
    algorithm_.clear();
    std::string qops;
    for (const auto& [name, value] : ChallengeParams(std::string_view(line).substr(6))) {
      if (name == "realm")
        realm_ = value;
      else if (name == "nonce")
        nonce_ = value;
      else if (name == "opaque")
        opaque_ = value;
      else if (name == "algorithm")
        algorithm_ = value;
      else if (name == "qop")
        qops = value;
    }
    // "auth" among the offered qops, or none offered at all (the old form).
    bool qopOk = qops.empty();
    for (const auto& [offered, unused] : ChallengeParams(qops))
      if (offered == "auth") qopOk = true;
    qop_ = qops.empty() ? "" : "auth";
    answerable_ = !nonce_.empty() && DigestAlgorithm(algorithm_) && qopOk;
    nonceCount_ = 0;
    break;
  }
  if (!answerable_) return auFail;
  return FirstStepOnly();
}

void TIdDigestAuthentication::SetRequest(std::string_view method, std::string_view target) {
  method_ = std::string(method);
  target_ = std::string(target);
}

std::string TIdDigestAuthentication::HeaderValue() {
  const EVP_MD* md = DigestAlgorithm(algorithm_);
  if (!answerable_ || !md) return {};
  std::string cnonce = FixedClientNonce;
  if (cnonce.empty()) {
    unsigned char random[16];
    if (Ssl().RAND_bytes(random, sizeof random) != 1)
      throw EIdException("Digest authentication: no random client nonce could be made.");
    cnonce = HexDigest(Ssl().EVP_md5(), std::string_view(reinterpret_cast<const char*>(random), sizeof random));
  }
  const std::string nc = Format("%08x", ++nonceCount_);
  std::string ha1 = HexDigest(md, Username() + ":" + realm_ + ":" + Password());
  if (algorithm_.size() > 5 && SameText(std::string_view(algorithm_).substr(algorithm_.size() - 5), "-sess"))
    ha1 = HexDigest(md, ha1 + ":" + nonce_ + ":" + cnonce);
  const std::string ha2 = HexDigest(md, method_ + ":" + target_);
  const std::string response =
      qop_.empty() ? HexDigest(md, ha1 + ":" + nonce_ + ":" + ha2)
                   : HexDigest(md, ha1 + ":" + nonce_ + ":" + nc + ":" + cnonce + ":" + qop_ + ":" + ha2);
  std::string value = "Digest username=" + Quoted(Username()) + ", realm=" + Quoted(realm_) +
                      ", nonce=" + Quoted(nonce_) + ", uri=" + Quoted(target_);
  if (!algorithm_.empty()) value += ", algorithm=" + algorithm_;
  if (!qop_.empty()) value += ", qop=" + qop_ + ", nc=" + nc + ", cnonce=" + Quoted(cnonce);
  value += ", response=" + Quoted(response);
  if (!opaque_.empty()) value += ", opaque=" + Quoted(opaque_);
  return value;
}

void TIdAuthenticationManager::AddAuthentication(const TIdAuthentication& authentication, const TIdURI& uri) {
  std::string url;
  try {
    url = uri.ComposeText();
  } catch (const EIdURIException&) {
    // A target without protocol or host is still worth remembering by path.
    url = uri.Directory + uri.DocumentName + uri.Query;
  }
  items_.push_back({std::move(url), authentication.ClassName(), authentication.SchemeParams.Items()});
}
