#include "app/CheckIn.h"

#include <memory>

#include "http/exchange/IdHTTP.h"
#include "http/tls/IdTlsIOHandler.h"
#include "runtime/DateTime.h"
#include "runtime/Stream.h"
#include "runtime/StringList.h"
#include "runtime/SysUtils.h"
#include "settings/uPinmarkIni.h"

namespace {
const char kUnknown[] = "UNKNOWN";

bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

// Posts the request and returns the answer's body, of which at most
// kMaxAnswer bytes are read. The head of an answer cut there is what the
// address is derived from, as it would be from all of it.
std::string PostForAnswer(TIdHTTP& http, const std::string& request) {
  TLimitedStringStream answer(TCheckIn::kMaxAnswer);
  try {
    http.PostFormStream(request, nullptr, answer);
  } catch (const EStreamLimitExceeded&) {
    // The rest is not read; the connection goes with the client.
  }
  return answer.DataString();
}
}  // namespace

std::string CheckInRequest(std::string_view url, std::string_view name, std::string_view digest,
                           std::string_view node) {
  return std::string(url) + "?userid=" + PercentEncode(name, IsUnreserved) +
         "&enc=" + PercentEncode(digest, IsUnreserved) + "&node=" + PercentEncode(node, IsUnreserved);
}

std::string AddressFromAnswer(std::string_view answer) {
  TStringList parts;
  parts.Delimiter = '.';
  parts.SetDelimitedText(std::string(answer));
  if (parts.Count() != 4) return kUnknown;
  for (const std::string& part : parts.Items()) {
    const int32_t n = StrToIntDef(part, -1);
    if (n < 0 || n > 255) return kUnknown;
  }
  return parts[0] + "." + parts[1] + "." + parts[2] + "." + parts[3];
}

uint32_t RefreshIntervalMs(int32_t minutes) { return static_cast<uint32_t>(minutes) * 60u * 1000u; }

std::string RecordAddressFromAnswer(TIniPinmark& settings) {
  const std::string address = AddressFromAnswer(settings.GetResponse());
  settings.SetIPAddress(address);
  return address;
}

std::string TCheckIn::Run() {
  // Without limits a service that accepts the connection and never answers
  // would hold the caller, and a timer-started run the timer, for ever.
  auto http = std::make_unique<TIdHTTP>();
  http->SetConnectTimeout(Timeout);
  http->SetReadTimeout(Timeout);
  http->SetDeadline(TIdDeadline::After(Deadline));
  // An https service gets a TLS handler, owned and freed by the client.
  if (StartsText("https", settings_.URL)) http->SetIOHandler(std::make_unique<TIdTlsIOHandler>());
  return Run(*http);
}

std::string TCheckIn::Run(TIdHTTP& client) {
  std::unique_lock<std::mutex> writing(writing_);
  // What is sent is the request as the settings file gives it back.
  settings_.SetRequest(CheckInRequest(settings_.URL, settings_.Name, settings_.Password, settings_.Computer));
  const std::string request = settings_.GetRequest();
  writing.unlock();
  const std::string answer = PostForAnswer(client, request);
  writing.lock();
  settings_.SetResponse(answer);
  const std::string address = RecordAddressFromAnswer(settings_);
  if (OnAddress) OnAddress(address);
  // The moment of the last answered exchange, valid address or not.
  settings_.SetRefreshTime(Now());
  return address;
}
