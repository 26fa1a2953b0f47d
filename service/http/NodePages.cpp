#include "service/http/NodePages.h"

#include <algorithm>
#include <ctime>

#include "runtime/SysUtils.h"
#include "service/core/NameRules.h"

namespace {
const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// Calls put for each well-formed UTF-8 sequence of text (whole), and with
// U+FFFD for each byte that is not part of one.
template <class F>
void EachCharacter(std::string_view text, F put) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = Utf8Length(text, i);
    if (n == 0) {
      put(std::string_view(kReplacement));
      ++i;
    } else {
      put(text.substr(i, n));
      i += n;
    }
  }
}

// time in UTC by strftime's format; unknown for a time far outside any real
// check-in (a damaged store): no date rather than a wrong one.
std::string FormatTime(TServiceTime time, const char* format, const char* unknown) {
  std::tm tm{};
  const std::time_t seconds = static_cast<std::time_t>(time / 1000);
  if (time < 0 || time > 253402300799999 || gmtime_r(&seconds, &tm) == nullptr) return unknown;
  char text[40];
  std::strftime(text, sizeof text, format, &tm);
  return text;
}

std::string Plural(long long n, const char* unit) { return std::to_string(n) + " " + unit + (n == 1 ? "" : "s"); }

// How long ago then was, in its largest unit ("5 minutes", "3 hours", "2 days").
std::string Elapsed(TServiceTime then, TServiceTime now) {
  const long long seconds = then > now ? 0 : (now - then) / 1000;
  if (seconds < 60) return Plural(seconds, "second");
  if (seconds < 3600) return Plural(seconds / 60, "minute");
  if (seconds < 2 * 86400) return Plural(seconds / 3600, "hour");
  return Plural(seconds / 86400, "day");
}

// A configured length of time in the largest whole unit.
std::string Duration(TServiceTime milliseconds) {
  const long long minutes = milliseconds / 60000;
  if (minutes >= 60 && minutes % (24 * 60) == 0) return Plural(minutes / (24 * 60), "day");
  if (minutes >= 60 && minutes % 60 == 0) return Plural(minutes / 60, "hour");
  return Plural(minutes, "minute");
}

std::string Head(std::string_view title) {
  return "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
         "<title>" +
         HtmlEscape(title) +
         "</title>\n<link rel=\"stylesheet\" href=\"/style.css\">\n</head>\n<body>\n"
         "<header><a class=\"brand\" href=\"/\">Pinmark</a><a href=\"/nodes\">Your nodes</a></header>\n<main>\n";
}

const char kFoot[] = "</main>\n</body>\n</html>\n";

// "2024-05-01 12:34:56 UTC (5 minutes ago)" for a time; nothing when it is unknown.
std::string When(TServiceTime time, TServiceTime now) {
  if (time <= 0) return "";
  return " <time datetime=\"" + IsoTime(time) + "\">" + ReadableTime(time) + "</time> (" + TimeAgo(time, now) + ")";
}

// An IP address, never broken across lines: a phone shows it whole or on a line of its own.
std::string Ip(std::string_view address) { return "<span class=\"address ip\">" + HtmlEscape(address) + "</span>"; }

// The node's name in DNS, the addresses there and how its last update went.
std::string DnsRows(const TNodeDnsView& dns, TServiceTime now) {
  if (dns.Name.empty())
    return "<dt>Name in DNS</dt><dd class=\"dns not-published\">not published: " + HtmlEscape(dns.Reason) + "</dd>\n";
  std::string html = "<dt>Name in DNS</dt><dd class=\"address\">" + HtmlEscape(dns.Name) + "</dd>\n";
  std::string addresses;
  for (const std::string& address : dns.Addresses) addresses += (addresses.empty() ? "" : ", ") + Ip(address);
  html += "<dt>Address in DNS</dt><dd>" + (addresses.empty() ? "none yet" : addresses) + "</dd>\n";
  html += "<dt>DNS update</dt><dd class=\"dns " + HtmlEscape(dns.State) + "\">" + HtmlEscape(dns.State);
  if (dns.Since > 0) html += (dns.State == "published" ? "" : " since") + When(dns.Since, now);
  if (!dns.Reason.empty()) html += ": " + HtmlEscape(dns.Reason);
  return html + "</dd>\n";
}

// "FROM -> TO"; a line may break only at the arrow.
std::string Move(const THistoryEntry& h) {
  return (h.From.empty() ? std::string("(none)") : Ip(h.From)) + " &#8594;&#160;" + Ip(h.To);
}

// Text for a query's value: everything but unreserved characters as %XX.
std::string QueryValue(std::string_view text) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
        c == '_' || c == '~') {
      out += ch;
    } else {
      out += '%';
      out += digits[c >> 4];
      out += digits[c & 15];
    }
  }
  return out;
}

// What its owner can do with a node: each on a page of its own, where it is confirmed.
std::string NodeActions(const TNodeView& node) {
  return "<p class=\"actions\"><a href=\"/nodes/remove?node=" + QueryValue(node.Name) + "\">Remove this node</a></p>\n";
}

std::string NodeCard(const TNodeView& node, TServiceTime now, TServiceTime staleAfter, std::string_view actions) {
  const std::string name = node.Name.empty() ? "(no name)" : node.Name;
  std::string html = std::string("<section class=\"node") + (node.Stale ? " stale" : "") + "\">\n<h2>" +
                     HtmlEscape(name) + " <span class=\"badge\">" + (node.Stale ? "stale" : "up to date") +
                     "</span></h2>\n<dl>\n";
  html += "<dt>Address</dt><dd>" + Ip(node.Address) + "</dd>\n";
  // Each family's own address and check-in: one may have gone quiet while the other goes on.
  for (const TAddressFamily family : {TAddressFamily::IPv4, TAddressFamily::IPv6}) {
    const TFamilyRecord& f = node.Family(family);
    html += std::string("<dt>") + FamilyName(family) + "</dt><dd class=\"family\">";
    if (f.Address.empty()) {
      html += "<span class=\"quiet\">none</span></dd>\n";
      continue;
    }
    html += Ip(f.Address) + ", last check-in" + When(f.LastCheckIn, now);
    if (node.FamilyStale(family)) html += " <span class=\"note\">stale</span>";
    html += "</dd>\n";
  }
  html += "<dt>Last check-in</dt><dd><time datetime=\"" + IsoTime(node.LastCheckIn) + "\">" +
          ReadableTime(node.LastCheckIn) + "</time> (" + TimeAgo(node.LastCheckIn, now) + ")</dd>\n";
  html += "<dt>First check-in</dt><dd><time datetime=\"" + IsoTime(node.FirstCheckIn) + "\">" +
          ReadableTime(node.FirstCheckIn) + "</time></dd>\n";
  html += "<dt>Check-ins</dt><dd>" + std::to_string(node.CheckIns) + "</dd>\n";
  if (node.Dns.Shown) html += DnsRows(node.Dns, now);
  html += "</dl>\n";
  if (node.Stale)
    html += "<p class=\"note\">Stale: no check-in for " + Elapsed(node.LastCheckIn, now) + " (stale after " +
            Duration(staleAfter) + ").</p>\n";
  if (node.History.empty()) {
    html += "<p class=\"quiet\">The address has not changed since the first check-in.</p>\n";
  } else {
    const THistoryEntry& last = node.History.front();
    html += "<p class=\"change\">Last change: " + Move(last) + "," + When(last.Time, now) + "</p>\n";
    html += "<details><summary>Address history (" + Plural(static_cast<long long>(node.History.size()), "change") +
            ")</summary>\n<table class=\"history\">\n<thead><tr><th>When</th><th>Family</th><th>Change</th></tr>"
            "</thead>\n<tbody>\n";
    for (const THistoryEntry& h : node.History)
      html += "<tr><td class=\"when\"><time datetime=\"" + IsoTime(h.Time) + "\">" + ReadableTime(h.Time) +
              "</time></td><td class=\"family\">" + FamilyName(h.Family) + "</td><td class=\"move\">" + Move(h) +
              "</td></tr>\n";
    html += "</tbody>\n</table>\n</details>\n";
  }
  return html + std::string(actions) + NodeActions(node) + "</section>\n";
}
}  // namespace

std::string HtmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  EachCharacter(text, [&out](std::string_view c) {
    switch (c[0]) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  });
  return out;
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  EachCharacter(text, [&out](std::string_view c) {
    const unsigned char b = static_cast<unsigned char>(c[0]);
    if (c.size() == 1 && (b < 0x20 || b == 0x7F || b == '"' || b == '\\' || b == '<' || b == '>' || b == '&')) {
      static const char digits[] = "0123456789abcdef";
      out += "\\u00";
      out += digits[b >> 4];
      out += digits[b & 15];
    } else {
      out += c;
    }
  });
  return out + "\"";
}

std::string ReadableTime(TServiceTime time) { return FormatTime(time, "%Y-%m-%d %H:%M:%S UTC", "unknown time"); }

std::string IsoTime(TServiceTime time) { return FormatTime(time, "%Y-%m-%dT%H:%M:%SZ", "1970-01-01T00:00:00Z"); }

std::string TimeAgo(TServiceTime then, TServiceTime now) {
  if (then > now || now - then < 60000) return "just now";
  return Elapsed(then, now) + " ago";
}

const char StyleSheet[] = R"(:root { color-scheme: light dark; --fg: #1d232a; --bg: #f6f7f9; --card: #fff;
  --line: #d8dde3; --muted: #5b6672; --accent: #1f6feb; --ok: #1a7f37; --warn: #9a6700; }
@media (prefers-color-scheme: dark) { :root { --fg: #e6edf3; --bg: #0d1117; --card: #161b22;
  --line: #30363d; --muted: #8d96a0; --accent: #4493f8; --ok: #3fb950; --warn: #d29922; } }
* { box-sizing: border-box; }
body { margin: 0; font: 16px/1.5 system-ui, -apple-system, "Segoe UI", Roboto, sans-serif;
  color: var(--fg); background: var(--bg); overflow-wrap: break-word; }
header { display: flex; gap: 1.25rem; align-items: baseline; padding: .75rem 1rem;
  border-bottom: 1px solid var(--line); background: var(--card); }
header a { color: var(--accent); text-decoration: none; }
header .brand { font-weight: 700; font-size: 1.15rem; color: var(--fg); }
main { max-width: 46rem; margin: 0 auto; padding: 1rem; }
h1 { font-size: 1.5rem; margin: .5rem 0 1rem; }
h2 { font-size: 1.15rem; margin: 0 0 .5rem; overflow-wrap: anywhere; }
code, .address { font-family: ui-monospace, "DejaVu Sans Mono", monospace; overflow-wrap: anywhere; }
.node, .panel { background: var(--card); border: 1px solid var(--line); border-radius: 8px;
  padding: 1rem; margin: 0 0 1rem; }
.node.stale { border-left: 4px solid var(--warn); }
.badge { font-size: .8rem; font-weight: 600; padding: .1rem .5rem; border-radius: 999px;
  border: 1px solid var(--ok); color: var(--ok); white-space: nowrap; vertical-align: middle; }
.stale .badge { border-color: var(--warn); color: var(--warn); }
dl { display: grid; grid-template-columns: max-content 1fr; gap: .25rem 1rem; margin: 0 0 .5rem; }
dt { color: var(--muted); }
dd { margin: 0; overflow-wrap: anywhere; }
.note { color: var(--warn); margin: .25rem 0; }
.dns.failing, .dns.not-published { color: var(--warn); }
.quiet, .hint { color: var(--muted); margin: .25rem 0; }
.change { margin: .25rem 0; overflow-wrap: anywhere; }
.ip, time, th { white-space: nowrap; overflow-wrap: normal; }
.panel > :first-child { margin-top: 0; }
.panel > :last-child { margin-bottom: 0; }
details summary { cursor: pointer; color: var(--accent); }
table { border-collapse: collapse; width: 100%; margin-top: .5rem; font-size: .9rem; }
th, td { text-align: left; padding: .25rem .5rem; border-bottom: 1px solid var(--line); overflow-wrap: anywhere; }
td.when, td.family { white-space: nowrap; }
form.signin, form.account { display: grid; gap: .75rem; max-width: 22rem; }
form.inline { display: inline; }
.key { border-top: 1px solid var(--line); margin-top: .5rem; padding-top: .5rem; }
.actions { display: flex; flex-wrap: wrap; gap: .5rem; }
button.secondary { background: transparent; color: var(--accent); border: 1px solid var(--accent); }
.newkey code { font-size: 1.1rem; overflow-wrap: normal; }
ul.keys { padding-left: 1.25rem; }
label { display: grid; gap: .25rem; font-weight: 600; }
input { font: inherit; padding: .5rem; border: 1px solid var(--line); border-radius: 6px;
  background: var(--bg); color: var(--fg); }
button { font: inherit; padding: .5rem 1rem; border: 0; border-radius: 6px; background: var(--accent);
  color: #fff; cursor: pointer; }
button.danger { background: #cf222e; }
.error { color: #cf222e; font-weight: 600; }
.done { color: var(--ok); font-weight: 600; }
.actions { display: flex; flex-wrap: wrap; gap: .5rem 1rem; align-items: center; margin: .5rem 0 0; }
.actions a, .bar a { color: var(--accent); }
.bar { display: flex; flex-wrap: wrap; gap: .5rem 1rem; align-items: center; justify-content: space-between;
  margin-bottom: 1rem; }
.bar h1 { margin: 0; }
.bar .actions { margin: 0; }
@media (max-width: 45rem) {
  dl { grid-template-columns: 1fr; gap: 0; }
  dd { margin-bottom: .35rem; }
  .ip { font-size: min(.85rem, 3.3vw); }
  table.history thead { display: none; }
  table.history tr { display: block; padding: .35rem 0; border-bottom: 1px solid var(--line); }
  table.history td { display: inline; padding: 0 .5rem 0 0; border: 0; }
  table.history td.move { display: block; padding: 0; }
}
@media (max-width: 30rem) { main { padding: .75rem; } .node, .panel { padding: .75rem; } }
)";

std::string HomePage(std::string_view zone, bool inDns) {
  std::string html = Head("Pinmark check-in service");
  html +=
      "<h1>Pinmark check-in service</h1>\n"
      "<div class=\"panel\">\n"
      "<p>This service keeps track of where your computers are on the internet. Pinmark, running on each "
      "computer (a <em>node</em>), checks in here once in a while; the service answers with the public address it "
      "sees the computer at and remembers it, with every change of address.</p>\n"
      "<p><a href=\"/nodes\">Sign in to see your nodes</a>: each one's current address, when it last checked in, "
      "and its address history.</p>\n</div>\n"
      "<div class=\"panel\">\n<h2>Checking in</h2>\n"
      "<p>Pinmark checks in at <code>/includes/r_update.php?userid=NAME&amp;enc=MD5-OF-PASSWORD&amp;node=NODE"
      "</code> and gets the address back as plain text. Accounts are made by the service's operator; ask them for "
      "one.</p>\n";
  if (!zone.empty())
    html +=
        "<p>Routers and update clients that speak the dyndns2 protocol update a node at <code>/nic/update?"
        "hostname=NODE.ACCOUNT." +
        HtmlEscape(zone) + "</code> with the account's name and password.</p>\n";
  if (inDns && !zone.empty())
    html += "<p>Each node is also a name in DNS, <code>NODE.ACCOUNT." + HtmlEscape(zone) +
            "</code>, that follows the node's address.</p>\n";
  html +=
      "<p>Scripts read the nodes as JSON at <code>/api/nodes</code> with the account's name and password "
      "(Basic authentication).</p>\n</div>\n";
  return html + kFoot;
}

namespace {
// What was just done, and what went wrong, above a page's forms.
std::string Notices(std::string_view notice, std::string_view error) {
  std::string html;
  if (!notice.empty()) html += "<p class=\"done\" role=\"status\">" + HtmlEscape(notice) + "</p>\n";
  if (!error.empty()) html += "<p class=\"error\" role=\"alert\">" + HtmlEscape(error) + "</p>\n";
  return html;
}

// The page's form token, sent back with the form so that only a form of ours is taken.
std::string FormToken(std::string_view token) {
  return "<input type=\"hidden\" name=\"form\" value=\"" + HtmlEscape(token) + "\">";
}
}  // namespace

std::string SignInPage(std::string_view name, std::string_view error, std::string_view formToken,
                       std::string_view notice) {
  std::string html = Head("Sign in - Pinmark");
  html += "<h1>Sign in</h1>\n<div class=\"panel\">\n" + Notices(notice, error);
  html +=
      "<form class=\"signin\" method=\"post\" action=\"/signin\">" +
      FormToken(formToken) +
      "\n"
      "<label>Account name<input name=\"name\" autocomplete=\"username\" autocapitalize=\"none\" "
      "spellcheck=\"false\" required maxlength=\"64\" value=\"" +
      HtmlEscape(name) +
      "\"></label>\n"
      "<label>Password<input name=\"password\" type=\"password\" autocomplete=\"current-password\" required></label>\n"
      "<button type=\"submit\">Sign in</button>\n</form>\n"
      "<p class=\"hint\">The account and password your Pinmark checks in with.</p>\n</div>\n";
  return html + kFoot;
}

std::string NodesPage(const TAccountRecord& account, const std::vector<TNodeView>& nodes, TServiceTime now,
                      TServiceTime staleAfter, std::string_view formToken, const std::vector<TNodeKeyRecord>& keys,
                      std::string_view notice) {
  std::string html = Head("Nodes of " + account.Name + " - Pinmark");
  html += "<div class=\"bar\"><h1>Nodes of " + HtmlEscape(account.Name) +
          "</h1>\n<div class=\"actions\"><a href=\"/account\">Account</a>"
          "<form method=\"post\" action=\"/signout\">" +
          FormToken(formToken) + "<button type=\"submit\">Sign out</button></form></div></div>\n" + Notices(notice, "");
  if (nodes.empty())
    html +=
        "<div class=\"panel\"><p>No node has checked in yet. Set this account in Pinmark on a computer and "
        "press Pin-Mark.</p></div>\n";
  std::vector<TNodeKeyRecord> waiting;
  for (const TNodeKeyRecord& key : keys)
    if (std::none_of(nodes.begin(), nodes.end(), [&](const TNodeView& n) { return SameText(n.Name, key.Node); }))
      waiting.push_back(key);
  for (const TNodeView& node : nodes) {
    const auto key =
        std::find_if(keys.begin(), keys.end(), [&](const TNodeKeyRecord& k) { return SameText(k.Node, node.Name); });
    html += NodeCard(node, now, staleAfter,
                     NodeKeyForm(node.Name, key == keys.end() ? nullptr : &*key, account.KeysOnly, now, formToken));
  }
  html += WaitingKeysPanel(waiting, now, formToken);
  html += "<p class=\"hint\">As of " + ReadableTime(now) + ". A node is stale after " + Duration(staleAfter) +
          " without a check-in.</p>\n";
  return html + kFoot;
}

std::string AccountPage(const TAccountRecord& account, std::string_view formToken, std::string_view notice,
                        std::string_view error) {
  std::string html = Head("Account " + account.Name + " - Pinmark");
  html += "<div class=\"bar\"><h1>Account " + HtmlEscape(account.Name) +
          "</h1>\n<div class=\"actions\"><a href=\"/nodes\">Nodes</a></div></div>\n" + Notices(notice, error);
  html +=
      "<div class=\"panel\">\n<h2>Change the password</h2>\n"
      "<form class=\"account\" method=\"post\" action=\"/account/password\">" +
      FormToken(formToken) + "\n<input type=\"hidden\" name=\"name\" autocomplete=\"username\" value=\"" +
      HtmlEscape(account.Name) +
      "\">\n"
      "<label>Current password<input name=\"current\" type=\"password\" autocomplete=\"current-password\" "
      "required></label>\n"
      "<label>New password<input name=\"password\" type=\"password\" autocomplete=\"new-password\" required "
      "maxlength=\"" +
      std::to_string(MaxPasswordBytes) +
      "\"></label>\n"
      "<label>The new password again<input name=\"again\" type=\"password\" autocomplete=\"new-password\" "
      "required></label>\n"
      "<button type=\"submit\">Change the password</button>\n</form>\n"
      "<p class=\"hint\">Every Pinmark, router or update client of this account needs the new password from "
      "then on. Every other session of the account is signed out.</p>\n</div>\n";
  html +=
      "<div class=\"panel\">\n<h2>Sign out everywhere</h2>\n"
      "<p>Ends every session of this account: in this browser and in every other one it is signed in to.</p>\n"
      "<form method=\"post\" action=\"/account/signout-everywhere\">" +
      FormToken(formToken) + "<button type=\"submit\">Sign out everywhere</button></form>\n</div>\n";
  return html + kFoot;
}

std::string RemoveNodePage(const TAccountRecord& account, const TNodeView& node, std::string_view formToken) {
  const std::string name = node.Name.empty() ? "(no name)" : node.Name;
  std::string html = Head("Remove " + name + " - Pinmark");
  html += "<h1>Remove the node " + HtmlEscape(name) + "?</h1>\n<div class=\"panel\">\n<p>The node " + HtmlEscape(name) +
          " of " + HtmlEscape(account.Name) + ", last at " + Ip(node.Address) + ", goes with its " +
          Plural(node.CheckIns, "check-in") + " and its address history";
  if (node.Dns.Shown && !node.Dns.Name.empty())
    html += "; its name <span class=\"address\">" + HtmlEscape(node.Dns.Name) + "</span> is withdrawn from DNS";
  html +=
      ".</p>\n<p class=\"hint\">If Pinmark still checks in from that computer, the node comes back with its next "
      "check-in, as a new node.</p>\n"
      "<form method=\"post\" action=\"/nodes/remove\" class=\"actions\">" +
      FormToken(formToken) + "<input type=\"hidden\" name=\"node\" value=\"" + HtmlEscape(node.Name) +
      "\"><button type=\"submit\" class=\"danger\">Remove this node</button><a href=\"/nodes\">Keep it</a>"
      "</form>\n</div>\n";
  return html + kFoot;
}

namespace {
std::string JsonOrNull(const std::string& text) { return text.empty() ? "null" : JsonString(text); }

const char* FamilyKey(TAddressFamily family) { return family == TAddressFamily::IPv4 ? "ipv4" : "ipv6"; }

// {"address", "last_check_in", "stale"}; address and time null for a family never seen.
std::string FamilyJson(const TNodeView& n, TAddressFamily family) {
  const TFamilyRecord& f = n.Family(family);
  return std::string("{\"address\":") + JsonOrNull(f.Address) +
         ",\"last_check_in\":" + (f.Address.empty() ? std::string("null") : "\"" + IsoTime(f.LastCheckIn) + "\"") +
         ",\"stale\":" + (n.FamilyStale(family) ? "true" : "false") + "}";
}
}  // namespace

std::string DnsJson(const TNodeDnsView& dns) {
  if (!dns.Shown) return "null";
  std::string addresses;
  for (const std::string& address : dns.Addresses) addresses += (addresses.empty() ? "" : ",") + JsonString(address);
  return "{\"name\":" + JsonOrNull(dns.Name) + ",\"addresses\":[" + addresses + "],\"state\":" + JsonString(dns.State) +
         ",\"reason\":" + JsonOrNull(dns.Reason) +
         ",\"since\":" + (dns.Since > 0 ? "\"" + IsoTime(dns.Since) + "\"" : std::string("null")) + "}";
}

std::string NodesJson(const TAccountRecord& account, const std::vector<TNodeView>& nodes, TServiceTime staleAfter) {
  std::string json = "{\"account\":" + JsonString(account.Name) +
                     ",\"stale_after_seconds\":" + std::to_string(staleAfter / 1000) + ",\"nodes\":[";
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const TNodeView& n = nodes[i];
    json += std::string(i ? "," : "") + "{\"name\":" + JsonString(n.Name) + ",\"address\":" + JsonString(n.Address) +
            ",\"first_check_in\":\"" + IsoTime(n.FirstCheckIn) + "\",\"last_check_in\":\"" + IsoTime(n.LastCheckIn) +
            "\",\"check_ins\":" + std::to_string(n.CheckIns) + ",\"stale\":" + (n.Stale ? "true" : "false") +
            ",\"ipv4\":" + FamilyJson(n, TAddressFamily::IPv4) + ",\"ipv6\":" + FamilyJson(n, TAddressFamily::IPv6) +
            ",\"history\":[";
    for (std::size_t k = 0; k < n.History.size(); ++k) {
      const THistoryEntry& h = n.History[k];
      json += std::string(k ? "," : "") + "{\"time\":\"" + IsoTime(h.Time) + "\",\"family\":\"" +
              FamilyKey(h.Family) + "\",\"from\":" + JsonString(h.From) + ",\"to\":" + JsonString(h.To) + "}";
    }
    json += "],\"dns\":" + DnsJson(n.Dns) + "}";
  }
  return json + "]}\n";
}

std::string MessagePage(std::string_view title, std::string_view text) {
  return Head(std::string(title) + " - Pinmark") + "<h1>" + HtmlEscape(title) + "</h1>\n<div class=\"panel\"><p>" +
         HtmlEscape(text) + "</p><p><a href=\"/nodes\">Back</a></p></div>\n" + kFoot;
}

std::string WebhookSection(const TWebhookRecord& webhook, TServiceTime now, std::string_view formToken) {
  std::string html = "<div class=\"panel\" id=\"webhook\">\n<h2>Webhook</h2>\n<dl>\n";
  html += "<dt>URL</dt><dd>" + (webhook.Url.empty() ? std::string("none") : "<code>" + HtmlEscape(webhook.Url) + "</code>") +
          "</dd>\n";
  if (!webhook.Secret.empty()) html += "<dt>Secret</dt><dd><code>" + HtmlEscape(webhook.Secret) + "</code></dd>\n";
  html += "<dt>State</dt><dd";
  if (webhook.Url.empty())
    html += ">no events are sent";
  else if (webhook.Paused)
    html += " class=\"note\">paused: it failed from " + ReadableTime(webhook.FailingSince) +
            " on; nothing is sent until its URL is set again";
  else if (webhook.FailingSince != 0)
    html += " class=\"note\">failing since" + When(webhook.FailingSince, now) + "; tried again";
  else
    html += ">delivering";
  html += "</dd>\n";
  if (!webhook.LastError.empty() && !webhook.Url.empty())
    html += "<dt>Last failure</dt><dd>" + HtmlEscape(webhook.LastError) + "</dd>\n";
  html += "</dl>\n";
  if (!formToken.empty())
    html += "<form method=\"post\" action=\"/webhook\" class=\"signin\">" + FormToken(formToken) +
            "<label>URL (http or https; empty stops the events)<input name=\"url\" type=\"url\" maxlength=\"2048\" "
            "value=\"" + HtmlEscape(webhook.Url) + "\" placeholder=\"https://ntfy.sh/topic\"></label>"
            "<button type=\"submit\">Save the webhook</button></form>\n";
  html += "<p class=\"hint\">Each delivery is signed: <code>X-Pinmark-Signature: sha256=</code> and the "
          "HMAC-SHA-256 of the body under this secret.</p>\n</div>\n";
  return html;
}

std::string WithSection(std::string page, std::string_view section) {
  const std::size_t end = page.rfind(kFoot);
  if (end == std::string::npos) return page + std::string(section);
  page.insert(end, section);
  return page;
}

namespace {
// One button's form: POST /nodekey with the node and what to do.
std::string KeyButton(std::string_view node, const char* what, const char* label, std::string_view formToken,
                      const char* style = "") {
  return "<form class=\"inline\" method=\"post\" action=\"/nodekey\">" + FormToken(formToken) +
         "<input type=\"hidden\" name=\"node\" value=\"" + HtmlEscape(node) +
         "\"><input type=\"hidden\" name=\"do\" value=\"" + what + "\"><button type=\"submit\"" + style + ">" +
         label + "</button></form>";
}
}  // namespace

std::string NodeKeyForm(std::string_view node, const TNodeKeyRecord* key, bool keysOnly, TServiceTime now,
                        std::string_view formToken) {
  std::string html = "<div class=\"key\"><p class=\"quiet\">";
  if (key)
    html += "Key: made" + When(key->Made, now) + ". It updates this node alone" +
            (keysOnly ? "; the account's password does not." : ", as the account's password does.");
  else
    html += keysOnly ? "No key: nothing can update this node, the account takes keys only."
                     : "No key of its own: the account's password updates this node.";
  html += "</p>\n<div class=\"actions\">" +
          KeyButton(node, "make", key ? "Make a new key" : "Make a key", formToken);
  if (key) html += KeyButton(node, "remove", "Remove the key", formToken, " class=\"secondary\"");
  return html + "</div></div>\n";
}

std::string WaitingKeysPanel(const std::vector<TNodeKeyRecord>& waiting, TServiceTime now, std::string_view formToken) {
  std::string html = "<section class=\"panel\">\n<h2>A key for a new node</h2>\n";
  if (!waiting.empty()) {
    html += "<p>Keys of nodes that have not checked in yet:</p>\n<ul class=\"keys\">\n";
    for (const TNodeKeyRecord& key : waiting)
      html += "<li><span class=\"address\">" + HtmlEscape(key.Node) + "</span>, made" + When(key.Made, now) + " " +
              KeyButton(key.Node, "remove", "Remove the key", formToken, " class=\"secondary\"") + "</li>\n";
    html += "</ul>\n";
  }
  html += "<form class=\"signin\" method=\"post\" action=\"/nodekey\">" + FormToken(formToken) +
          "<input type=\"hidden\" name=\"do\" value=\"make\">\n"
          "<label>Node name<input name=\"node\" autocapitalize=\"none\" spellcheck=\"false\" required "
          "maxlength=\"64\"></label>\n<button type=\"submit\">Make a key</button>\n</form>\n"
          "<p class=\"hint\">A new machine can be given its own key before its first check-in.</p>\n</section>\n";
  return html;
}

std::string NodeKeyPage(const TAccountRecord& account, std::string_view node, std::string_view key,
                        std::string_view zone) {
  std::string html = Head("Key of " + std::string(node) + " - Pinmark");
  html += "<h1>The key of " + HtmlEscape(node) + "</h1>\n<div class=\"panel\">\n"
          "<p>This key is shown this once; the service keeps only a hash of it. Any earlier key of this node no "
          "longer works.</p>\n<p class=\"newkey\"><code>" + HtmlEscape(key) + "</code></p>\n"
          "<p>On the machine, set Pinmark's account to <code>" + HtmlEscape(account.Name) + "</code>, its node to <code>" +
          HtmlEscape(node) + "</code> and its password to this key.</p>\n";
  if (!zone.empty())
    html += "<p>A dyndns2 client updates <code>" + HtmlEscape(node) + "." + HtmlEscape(account.Name) + "." +
            HtmlEscape(zone) + "</code> with this key as the password and that name (or the account's) as the "
            "user.</p>\n";
  html += "<p>The key updates this node only, and does not sign in to these pages.</p>\n"
          "<p><a href=\"/nodes\">Back to your nodes</a></p>\n</div>\n";
  return html + kFoot;
}
