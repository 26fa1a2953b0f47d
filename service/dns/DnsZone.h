// The zone the service publishes nodes in, and the rules for the names in it.
//
// A node is published as NODE.ACCOUNT.ZONE. Node and account names come from
// clients, so they become labels only when each is a valid host label:
// letters, digits and '-', 1 to 63 characters, not starting or ending with
// '-'. Anything else (an underscore, a dot, a blank, a byte outside ASCII)
// is never sent to the name server; the caller gets the reason to record and
// show. Names are compared without case, and published in lower case.
//
// Guarantees: OwnerName, Match and IsHostLabel never raise for any input
// text (the constructor refuses a zone, CheckLabel a label), and every name
// OwnerName returns fits a DNS name (at most 253 characters).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "runtime/Exception.h"
#include "service/model/BadName.h"

// A zone name that cannot be used (--dns-zone).
PINMARK_EXCEPTION_CLASS(EDnsZone, Exception);

// Whether a host name lies inside the zone, and which node it names.
struct TDnsHostMatch {
  enum TKind {
    OutsideZone,   // not in the zone (or not a host name at all)
    NotANodeName,  // in the zone, but not of the form NODE.ACCOUNT.ZONE with valid labels
    NodeName,      // NODE.ACCOUNT.ZONE: Node and Account hold the two labels as written
  } Kind = OutsideZone;
  std::string Node, Account;
};

// The published name of a node, or why it cannot have one.
struct TDnsOwnerName {
  std::string Name;    // "node.account.zone." in lower case; empty when Reason is set
  std::string Reason;  // why the node cannot be published, for the log and the web page
  bool Valid() const { return Reason.empty(); }
};

class TDnsZone {
 public:
  // zone: a domain name such as "dyn.example.org" (a trailing dot is taken);
  // every label a host label. Throws EDnsZone saying what is wrong.
  explicit TDnsZone(std::string_view zone);

  // The zone in lower case with its trailing dot ("dyn.example.org.").
  const std::string& Name() const { return name_; }

  // The name node of account is published under, or the reason it cannot be.
  TDnsOwnerName OwnerName(std::string_view node, std::string_view account) const;

  // Where a host name (as a dyndns2 client sends it; a trailing dot is
  // taken) lies: outside the zone, inside but not a node's name, or the
  // name of a node.
  TDnsHostMatch Match(std::string_view host) const;

  // A valid host label: letters, digits and '-', 1 to 63 characters, not
  // starting or ending with '-'.
  static bool IsHostLabel(std::string_view label);
  // Raises EBadName saying why label is not a host label ("the node name
  // holds a blank; ..."); what names it in the text.
  static void CheckLabel(std::string_view label, std::string_view what);

 private:
  std::string name_;
};
