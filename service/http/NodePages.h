// The service's web pages and the JSON of /api/nodes, made from plain
// values so that they can be tested and fuzzed without a server.
//
// Every value is escaped where it is written: node names and addresses come
// from clients. In HTML, & < > " ' become references; in JSON, quotes,
// backslashes and control characters are escaped, and < > & as \u003c etc.
// so that the text is safe inside any page too. A byte that is not part of
// well-formed UTF-8 is written as U+FFFD in both. The pages work without
// JavaScript (there is none) and read on a narrow phone screen as well as on
// a desktop (one column of cards, the style sheet at /style.css).
//
// Times are shown in UTC ("2024-05-01 12:34:56 UTC") with how long ago they
// were; JSON has them in RFC 3339 ("2024-05-01T12:34:56Z").
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "service/core/ServiceCore.h"

std::string HtmlEscape(std::string_view text);
std::string JsonString(std::string_view text);
std::string ReadableTime(TServiceTime time);
std::string IsoTime(TServiceTime time);
// "just now", "5 minutes ago", "3 hours ago", "2 days ago".
std::string TimeAgo(TServiceTime then, TServiceTime now);

extern const char StyleSheet[];

// The home page: what the service is, where its nodes are seen, how to
// check in; zone is the dyndns2 zone (may be empty), inDns whether nodes
// are published in DNS under it.
std::string HomePage(std::string_view zone, bool inDns = false);
// The sign-in form; name is filled in again after a failure, error is shown
// above the form when not empty, notice (what was just done) likewise. Each
// form of a page carries formToken, which the service checks against the
// browser's cookie when the form comes back.
std::string SignInPage(std::string_view name, std::string_view error, std::string_view formToken = "",
                       std::string_view notice = "");
// The account's nodes, each with a link to remove it; notice says what was
// just done. keys: the account's node keys; a node's card offers to make or
// remove its key, and keys of nodes that have not checked in yet are listed
// apart.
std::string NodesPage(const TAccountRecord& account, const std::vector<TNodeView>& nodes, TServiceTime now,
                      TServiceTime staleAfter, std::string_view formToken = "",
                      const std::vector<TNodeKeyRecord>& keys = {}, std::string_view notice = "");
// The signed-in person's account: changing its password (the current one
// asked again, the new one twice) and signing out everywhere. notice says
// what was just done, error why it was not.
std::string AccountPage(const TAccountRecord& account, std::string_view formToken, std::string_view notice = "",
                        std::string_view error = "");
// Asks whether to remove node (with its history and its name in DNS); the
// form sends the node's name back.
std::string RemoveNodePage(const TAccountRecord& account, const TNodeView& node, std::string_view formToken);
// A node's key row and its make and remove buttons (POST /nodekey), for its
// card; keysOnly: the account's password does not update the node.
std::string NodeKeyForm(std::string_view node, const TNodeKeyRecord* key, bool keysOnly, TServiceTime now,
                        std::string_view formToken);
// The keys of nodes that have not checked in yet, and the form that makes a
// key for a new node.
std::string WaitingKeysPanel(const std::vector<TNodeKeyRecord>& waiting, TServiceTime now, std::string_view formToken);
// The one page that shows a new key, with how a machine is set up with it;
// zone is the dyndns2 zone (may be empty).
std::string NodeKeyPage(const TAccountRecord& account, std::string_view node, std::string_view key,
                        std::string_view zone);
// A node's DNS state as a JSON object, "null" when the service does not
// publish nodes: {"name", "addresses", "state", "reason", "since"}.
std::string DnsJson(const TNodeDnsView& dns);
std::string NodesJson(const TAccountRecord& account, const std::vector<TNodeView>& nodes, TServiceTime staleAfter);
// A page that only says something (too many attempts, the service unavailable).
std::string MessagePage(std::string_view title, std::string_view text);
// The account's webhook: its URL, the secret that signs its deliveries, and
// whether it fails or is paused; with formToken, the form that sets the URL.
std::string WebhookSection(const TWebhookRecord& webhook, TServiceTime now, std::string_view formToken = "");
// page with section added at the end of its main part.
std::string WithSection(std::string page, std::string_view section);
