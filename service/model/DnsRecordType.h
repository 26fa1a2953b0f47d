// The two record types a node's address is published as.
#pragma once

#include <cstdint>

enum class TDnsRecordType : std::uint16_t { A = 1, AAAA = 28 };

inline const char* DnsRecordTypeName(TDnsRecordType type) { return type == TDnsRecordType::AAAA ? "AAAA" : "A"; }
