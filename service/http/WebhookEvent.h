// What a webhook delivery carries: the event's JSON body, and its signature.
//
// The body is one JSON object:
//   {"event": "address-changed" | "node-stale" | "dns-failing" | "dns-recovered",
//    "account": "...", "node": "...",
//    "addresses": {"ipv4": "192.0.2.1" | null, "ipv6": "2001:db8::1" | null},
//    "time": "2026-12-10T04:05:06Z",
//    "title": "...", "message": "..."}
// title and message say the same in words, so that receivers that show a
// message (Gotify's /message takes the body as it is; ntfy with its
// template options) need no code of their own.
//
// The signature is HMAC-SHA-256 of the body's exact bytes, keyed with the
// account's secret as its text shows it (the 64 hexadecimal digits as ASCII),
// sent as "X-Pinmark-Signature: sha256=" and the MAC in lower-case hex.
#pragma once

#include <string>
#include <string_view>

#include "runtime/Exception.h"
#include "service/model/ServiceStore.h"

// OpenSSL could not sign or draw a secret.
PINMARK_EXCEPTION_CLASS(EWebhookError, Exception);

struct TWebhookEvent {
  std::string Event;  // one of the four names above
  std::string Account, Node;
  std::string IPv4, IPv6;  // "" is null
  TServiceTime Time = 0;
  std::string Title, Message;

  std::string Body() const;

  // address-changed: the node's addresses after a check-in that created the node or moved it.
  static TWebhookEvent AddressChanged(std::string_view account, std::string_view node, std::string_view ipv4,
                                      std::string_view ipv6, std::string_view previous, std::string_view address,
                                      TServiceTime time);
  // node-stale: no check-in since lastCheckIn.
  static TWebhookEvent NodeStale(std::string_view account, const TNodeRecord& node, TServiceTime time);
  // dns-failing (with the reason) or dns-recovered, for the node's published name.
  static TWebhookEvent DnsChanged(std::string_view account, const TNodeRecord& node, std::string_view name,
                                  bool failing, std::string_view reason, TServiceTime time);
};

// "sha256=" and the HMAC-SHA-256 of body under secret, in lower-case hex.
std::string WebhookSignature(std::string_view secret, std::string_view body);
// A new secret: 32 random bytes as 64 lower-case hexadecimal digits.
std::string NewWebhookSecret();
