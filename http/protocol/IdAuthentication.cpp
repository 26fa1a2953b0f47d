#include "http/protocol/IdAuthentication.h"

#include <mutex>
#include <utility>
#include <vector>

#include "runtime/SysUtils.h"

namespace {
struct Registry {
  std::mutex lock;
  std::vector<std::pair<std::string, TIdAuthenticationClass>> schemes{
      {"Basic", AuthenticationClassOf<TIdBasicAuthentication>()}};
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

  if (CurrentStep == 0) return Username().empty() ? auAskProgram : auSendRequest;
  return auFail;
}

std::string TIdBasicAuthentication::HeaderValue() { return "Basic " + EncodeBase64(Username() + ":" + Password()); }

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

std::string EncodeBase64(std::string_view data) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 2 < data.size(); i += 3) {
    uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(data[i])) << 16 |
                 static_cast<uint32_t>(static_cast<unsigned char>(data[i + 1])) << 8 |
                 static_cast<unsigned char>(data[i + 2]);
    out += kAlphabet[v >> 18 & 63];
    out += kAlphabet[v >> 12 & 63];
    out += kAlphabet[v >> 6 & 63];
    out += kAlphabet[v & 63];
  }
  std::size_t left = data.size() - i;
  if (left > 0) {
    uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(data[i])) << 16;
    if (left == 2) v |= static_cast<uint32_t>(static_cast<unsigned char>(data[i + 1])) << 8;
    out += kAlphabet[v >> 18 & 63];
    out += kAlphabet[v >> 12 & 63];
    out += left == 2 ? kAlphabet[v >> 6 & 63] : '=';
    out += '=';
  }
  return out;
}
