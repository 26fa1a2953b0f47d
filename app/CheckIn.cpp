#include "app/CheckIn.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <memory>

#include "http/IdException.h"
#include "http/exchange/IdHTTP.h"
#include "http/protocol/IdURI.h"
#include "http/tls/IdTlsIOHandler.h"
#include "runtime/DateTime.h"
#include "runtime/Stream.h"
#include "runtime/StringList.h"
#include "runtime/SysUtils.h"
#include "settings/uPinmarkIni.h"

namespace {
const char kUnknown[] = "UNKNOWN";
const char kNone[] = "none";
const char kReachedOverIPv6[] = "the service's address is an IPv6 address";

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

// Why an exchange over IPv6 came to nothing, in one line. A name that is
// not found there (the IPv4 exchange found it) has no IPv6 address.
std::string IPv6FailureReason(const EIdException& e, const std::string& url) {
  std::string reason = Trim(ReplaceAll(e.Message(), "\r\n", " "));
  if (reason.empty()) reason = e.ClassName();
  const auto* socket = dynamic_cast<const EIdSocketError*>(&e);
  if (socket && (socket->SocketErrorCode == 11001 || socket->SocketErrorCode == 11004))
    reason = "no IPv6 address for " + TIdURI(url).Host + " (" + reason + ")";
  return reason;
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

std::string IPv6AddressFromAnswer(std::string_view answer) {
  const std::string text = Trim(answer);
  in6_addr address{};
  // The longest text form is 45 characters; anything longer is no address.
  if (text.size() > INET6_ADDRSTRLEN || text.find('\0') != std::string::npos ||
      ::inet_pton(AF_INET6, text.c_str(), &address) != 1)
    return kUnknown;
  // An IPv4 address in IPv6 clothes (mapped, or the retired compatible form)
  // is not this computer's IPv6 address.
  if (IN6_IS_ADDR_V4MAPPED(&address) || IN6_IS_ADDR_V4COMPAT(&address)) return kUnknown;
  char canonical[INET6_ADDRSTRLEN];
  return ::inet_ntop(AF_INET6, &address, canonical, sizeof canonical) ? std::string(canonical) : kUnknown;
}

bool IsIPv6ServiceURL(const std::string& url) {
  const TIdURI uri(url);
  return !uri.Host.empty() && uri.IPVersion == Id_IPv6;
}

uint32_t RefreshIntervalMs(int32_t minutes) { return static_cast<uint32_t>(minutes) * 60u * 1000u; }

std::string RecordAddressFromAnswer(TIniPinmark& settings) {
  const std::string address = AddressFromAnswer(settings.GetResponse());
  settings.SetIPAddress(address);
  return address;
}

TFamilyAddress ShownAddress(TIniPinmark& settings) {
  if (settings.IPv6 && IsIPv6ServiceURL(settings.URL)) return {kNone, kReachedOverIPv6};
  return {RecordAddressFromAnswer(settings), ""};
}

TFamilyAddress RecordIPv6AddressFromAnswer(TIniPinmark& settings) {
  if (std::string reason = settings.GetIPv6Error(); !reason.empty()) {
    settings.SetIPv6Address(kNone);
    return {kNone, std::move(reason)};
  }
  const std::string address = IPv6AddressFromAnswer(settings.GetIPv6Response());
  settings.SetIPv6Address(address);
  return {address, ""};
}

std::unique_ptr<TIdHTTP> TCheckIn::MakeClient(std::optional<TIdIPVersion> family) const {
  // Without limits a service that accepts the connection and never answers
  // would hold the caller, and a timer-started run the timer, for ever.
  auto http = std::make_unique<TIdHTTP>();
  http->SetConnectTimeout(Timeout);
  http->SetReadTimeout(Timeout);
  http->SetDeadline(TIdDeadline::After(Deadline));
  http->RequiredIPVersion = family;
  // An https service gets a TLS handler, owned and freed by the client.
  if (StartsText("https", settings_.URL)) http->SetIOHandler(std::make_unique<TIdTlsIOHandler>());
  return http;
}

std::string TCheckIn::RecordRequest() {
  settings_.SetRequest(CheckInRequest(settings_.URL, settings_.Name, settings_.Password, settings_.Computer));
  return settings_.GetRequest();
}

TFamilyAddress TCheckIn::ExchangeOverIPv6(const std::string& request) {
  const std::string answer = PostForAnswer(*MakeClient(Id_IPv6), request);
  const std::lock_guard<std::mutex> writing(writing_);
  settings_.SetIPv6Response(answer);
  settings_.SetIPv6Error("");
  return RecordIPv6AddressFromAnswer(settings_);
}

TCheckInAddresses TCheckIn::Run() {
  std::unique_lock<std::mutex> writing(writing_);
  const bool ipv6 = settings_.IPv6;
  // What is sent is the request as the settings file gives it back.
  const std::string request = RecordRequest();
  writing.unlock();
  TCheckInAddresses result;

  if (ipv6 && IsIPv6ServiceURL(settings_.URL)) {
    // The one exchange there is: it fails as the IPv4 one does otherwise.
    result.IPv6 = ExchangeOverIPv6(request);
    writing.lock();
    result.IPv4 = {kNone, kReachedOverIPv6};
    if (OnAddress) OnAddress(result.IPv4);
    if (OnIPv6Address) OnIPv6Address(*result.IPv6);
    settings_.SetRefreshTime(Now());
    return result;
  }

  // Exactly the exchange of a program without IPv6: the URL's own family.
  const std::string answer = PostForAnswer(*MakeClient(std::nullopt), request);
  writing.lock();
  settings_.SetResponse(answer);
  result.IPv4 = {RecordAddressFromAnswer(settings_), ""};
  if (OnAddress) OnAddress(result.IPv4);
  // The moment of the last answered exchange, valid address or not.
  settings_.SetRefreshTime(Now());
  writing.unlock();
  if (!ipv6) return result;

  try {
    result.IPv6 = ExchangeOverIPv6(request);
  } catch (const EIdHTTPProtocolException& e) {
    // The service was reached and refused: that is no missing route.
    if (e.ReplyCode >= 400 && e.ReplyCode < 500) throw;
    result.IPv6 = {kNone, IPv6FailureReason(e, settings_.URL)};
  } catch (const EIdException& e) {
    result.IPv6 = {kNone, IPv6FailureReason(e, settings_.URL)};
  }
  writing.lock();
  if (!result.IPv6->Reason.empty()) {
    // The next run tries again; until then the address is none, and why is kept.
    settings_.SetIPv6Error(result.IPv6->Reason);
    settings_.SetIPv6Address(kNone);
  }
  if (OnIPv6Address) OnIPv6Address(*result.IPv6);
  return result;
}
