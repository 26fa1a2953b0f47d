#include "service/http/WebhookEvent.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include "runtime/SysUtils.h"
#include "service/http/NodePages.h"

namespace {
std::string Hex(const unsigned char* bytes, std::size_t size) {
  return BytesToHex(std::string_view(reinterpret_cast<const char*>(bytes), size));
}

std::string JsonOrNull(std::string_view text) { return text.empty() ? "null" : JsonString(text); }

std::string Addresses(std::string_view ipv4, std::string_view ipv6) {
  if (ipv4.empty()) return std::string(ipv6.empty() ? "no address" : ipv6);
  return std::string(ipv4) + (ipv6.empty() ? "" : " and " + std::string(ipv6));
}
}  // namespace

std::string TWebhookEvent::Body() const {
  return "{\"event\":" + JsonString(Event) + ",\"account\":" + JsonString(Account) + ",\"node\":" + JsonString(Node) +
         ",\"addresses\":{\"ipv4\":" + JsonOrNull(IPv4) + ",\"ipv6\":" + JsonOrNull(IPv6) + "},\"time\":\"" +
         IsoTime(Time) + "\",\"title\":" + JsonString(Title) + ",\"message\":" + JsonString(Message) + "}";
}

TWebhookEvent TWebhookEvent::AddressChanged(std::string_view account, std::string_view node, std::string_view ipv4,
                                            std::string_view ipv6, std::string_view previous,
                                            std::string_view address, TServiceTime time) {
  TWebhookEvent e{"address-changed", std::string(account), std::string(node), std::string(ipv4), std::string(ipv6),
                  time, "", ""};
  e.Title = e.Node + " of " + e.Account + ": address changed";
  e.Message = e.Node + " is now at " + Addresses(ipv4, ipv6) +
              (previous.empty() ? " (its first " + std::string(FamilyName(FamilyOf(address))) + " address)"
                                : " (" + std::string(address) + " was " + std::string(previous) + ")");
  return e;
}

TWebhookEvent TWebhookEvent::NodeStale(std::string_view account, const TNodeRecord& node, TServiceTime time) {
  TWebhookEvent e{"node-stale", std::string(account), node.Name, node.IPv4.Address, node.IPv6.Address, time, "", ""};
  e.Title = e.Node + " of " + e.Account + ": no check-in";
  e.Message = e.Node + " has not checked in since " + ReadableTime(node.LastCheckIn) + " (last at " +
              Addresses(node.IPv4.Address, node.IPv6.Address) + ")";
  return e;
}

TWebhookEvent TWebhookEvent::DnsChanged(std::string_view account, const TNodeRecord& node, std::string_view name,
                                        bool failing, std::string_view reason, TServiceTime time) {
  TWebhookEvent e{failing ? "dns-failing" : "dns-recovered", std::string(account), node.Name, node.IPv4.Address,
                  node.IPv6.Address, time, "", ""};
  std::string shown(name);
  if (!shown.empty() && shown.back() == '.') shown.pop_back();
  e.Title = e.Node + " of " + e.Account + (failing ? ": DNS update failing" : ": DNS updated again");
  e.Message = failing ? "The update of " + shown + " fails: " + std::string(reason)
                      : shown + " is updated in DNS again";
  return e;
}

std::string WebhookSignature(std::string_view secret, std::string_view body) {
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (!HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
            reinterpret_cast<const unsigned char*>(body.data()), body.size(), mac, &size))
    throw EWebhookError("OpenSSL could not sign a webhook delivery");
  return "sha256=" + Hex(mac, size);
}

std::string NewWebhookSecret() {
  unsigned char random[32];
  if (RAND_bytes(random, sizeof random) != 1) throw EWebhookError("OpenSSL could not draw a webhook secret");
  return Hex(random, sizeof random);
}
