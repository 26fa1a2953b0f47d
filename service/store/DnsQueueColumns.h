// The DNS update queue's table as both database stores keep it: its
// columns in the order the stores read them, and the record type and
// state written as text (DnsRecordTypeName, DnsStateName), read back here.
// A row no queue could have written is refused as damaged (EStoreCorrupt).
#pragma once

#include <string>

#include "service/model/DnsQueueStore.h"
#include "service/model/ServiceStore.h"

inline constexpr char kDnsQueueColumns[] =
    "name, type, address, version, published_address, state, reason, since_ms, attempts, due_ms";

inline TDnsRecordType DnsTypeFromText(const std::string& text, const std::string& name) {
  if (text == "A") return TDnsRecordType::A;
  if (text == "AAAA") return TDnsRecordType::AAAA;
  throw EStoreCorrupt("the DNS queue's entry for " + name + " has the unknown record type \"" + text + "\"");
}

inline TDnsState DnsStateFromText(const std::string& text, const std::string& name) {
  for (TDnsState state : {TDnsState::Published, TDnsState::Pending, TDnsState::Failing})
    if (text == DnsStateName(state)) return state;
  throw EStoreCorrupt("the DNS queue's entry for " + name + " has the unknown state \"" + text + "\"");
}
