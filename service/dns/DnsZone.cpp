#include "service/dns/DnsZone.h"

#include <vector>

namespace {

bool IsLetterOrDigit(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) { return a.size() == b.size() && Lower(a) == Lower(b); }

std::vector<std::string_view> Labels(std::string_view name) {
  std::vector<std::string_view> labels;
  std::size_t start = 0;
  for (std::size_t dot; (dot = name.find('.', start)) != std::string_view::npos; start = dot + 1)
    labels.push_back(name.substr(start, dot - start));
  labels.push_back(name.substr(start));
  return labels;
}

// The longest text a DNS name can have (255 octets on the wire).
constexpr std::size_t MaxNameLength = 253;

}  // namespace

bool TDnsZone::IsHostLabel(std::string_view label) {
  if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') return false;
  for (char c : label)
    if (!IsLetterOrDigit(c) && c != '-') return false;
  return true;
}

void TDnsZone::CheckLabel(std::string_view label, std::string_view what) {
  // The text is made only for a refusal: good names pass on every check-in.
  const auto subject = [what] { return "the " + std::string(what); };
  if (label.empty()) throw EBadName(subject() + " is empty");
  if (label.size() > 63) throw EBadName(subject() + " is longer than 63 characters");
  for (char c : label) {
    if (IsLetterOrDigit(c) || c == '-') continue;
    // The name itself stays out of the text: it comes from a client.
    if (c > ' ' && c < 0x7f)
      throw EBadName(subject() + " holds '" + std::string(1, c) + "'; only letters, digits and '-' can be published");
    if (c == ' ') throw EBadName(subject() + " holds a blank; only letters, digits and '-' can be published");
    throw EBadName(subject() + " holds a character other than letters, digits and '-', which cannot be published");
  }
  if (label.front() == '-' || label.back() == '-') throw EBadName(subject() + " starts or ends with '-'");
}

TDnsZone::TDnsZone(std::string_view zone) {
  std::string_view text = zone;
  if (!text.empty() && text.back() == '.') text.remove_suffix(1);
  if (text.empty()) throw EDnsZone("the DNS zone is empty");
  if (text.size() > MaxNameLength - 4)
    throw EDnsZone("the DNS zone " + std::string(text) + " is too long to hold names below it");
  for (std::string_view label : Labels(text)) {
    // Zones such as _dyn.example.org are legal DNS but no host name can end in them.
    if (IsHostLabel(label)) continue;
    try {
      CheckLabel(label, "label \"" + std::string(label) + "\"");
    } catch (const EBadName& e) {
      throw EDnsZone("the DNS zone \"" + std::string(text) + "\" is not a host name: " + e.Message());
    }
  }
  name_ = Lower(text) + ".";
}

TDnsOwnerName TDnsZone::OwnerName(std::string_view node, std::string_view account) const {
  TDnsOwnerName result;
  try {
    CheckLabel(node, "node name");
    CheckLabel(account, "account name");
  } catch (const EBadName& e) {
    result.Reason = e.Message();
    return result;
  }
  std::string name = Lower(node) + "." + Lower(account) + "." + name_;
  // The length counts without the final dot, as names are written.
  if (name.size() - 1 > MaxNameLength) {
    result.Reason = "the node's name in the zone " + name_ + " would be longer than 253 characters";
    return result;
  }
  result.Name = std::move(name);
  return result;
}

TDnsHostMatch TDnsZone::Match(std::string_view host) const {
  TDnsHostMatch match;
  if (!host.empty() && host.back() == '.') host.remove_suffix(1);
  const std::string_view zone = std::string_view(name_).substr(0, name_.size() - 1);
  if (host.size() <= zone.size() + 1 || host[host.size() - zone.size() - 1] != '.' ||
      !EqualsIgnoringCase(host.substr(host.size() - zone.size()), zone))
    return match;
  match.Kind = TDnsHostMatch::NotANodeName;
  const std::vector<std::string_view> labels = Labels(host.substr(0, host.size() - zone.size() - 1));
  if (labels.size() != 2 || !IsHostLabel(labels[0]) || !IsHostLabel(labels[1]) || host.size() > MaxNameLength)
    return match;
  match.Kind = TDnsHostMatch::NodeName;
  match.Node = std::string(labels[0]);
  match.Account = std::string(labels[1]);
  return match;
}
