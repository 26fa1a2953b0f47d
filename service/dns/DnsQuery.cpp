#include "service/dns/DnsQuery.h"

// ldns defines bool, true and false as macros unless stdbool.h came first.
#include <stdbool.h>

#include <ldns/ldns.h>

#include <openssl/rand.h>

#include <algorithm>
#include <memory>
#include <random>

#include "runtime/IpAddress.h"

namespace {

struct TPktFree {
  void operator()(ldns_pkt* p) const { ldns_pkt_free(p); }
};
struct TRdfFree {
  void operator()(ldns_rdf* r) const { ldns_rdf_deep_free(r); }
};
using TPkt = std::unique_ptr<ldns_pkt, TPktFree>;
using TRdf = std::unique_ptr<ldns_rdf, TRdfFree>;

uint16_t Get16(std::string_view s, std::size_t at) {
  return static_cast<uint16_t>((static_cast<uint8_t>(s[at]) << 8) | static_cast<uint8_t>(s[at + 1]));
}

std::string RcodeText(unsigned rcode) {
  switch (rcode) {
    case 2:
      return "SERVFAIL: the name server failed to answer";
    case 5:
      return "REFUSED: the name server does not answer questions from this machine";
    case 9:
      return "NOTAUTH: the name server is not authoritative for the zone";
    default:
      return "error code " + std::to_string(rcode) + " from the name server";
  }
}

TDnsHeld Doubt(std::string reason) { return {TDnsHeld::Unverified, {}, std::move(reason)}; }

}  // namespace

uint16_t DnsRandomId() {
  unsigned char bytes[2];
  if (RAND_bytes(bytes, sizeof bytes) == 1) return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
  static thread_local std::mt19937 fallback{std::random_device{}()};
  return static_cast<uint16_t>(fallback());
}

TDnsQuery TDnsQuery::Make(const std::string& owner, TDnsRecordType type, uint16_t id) {
  ldns_rdf* name = ldns_dname_new_frm_str(owner.c_str());
  if (name == nullptr) throw EDnsUpdate("cannot ask the name server about " + owner);
  // The packet takes the name over.
  TPkt packet(ldns_pkt_query_new(name, static_cast<ldns_rr_type>(type), LDNS_RR_CLASS_IN, 0));
  if (!packet) throw EDnsUpdate("cannot ask the name server about " + owner);
  ldns_pkt_set_id(packet.get(), id);
  uint8_t* bytes = nullptr;
  std::size_t size = 0;
  if (ldns_pkt2wire(&bytes, packet.get(), &size) != LDNS_STATUS_OK || bytes == nullptr)
    throw EDnsUpdate("cannot ask the name server about " + owner);
  TDnsQuery query;
  query.wire_.assign(reinterpret_cast<const char*>(bytes), size);
  LDNS_FREE(bytes);
  query.owner_ = owner;
  query.type_ = type;
  query.id_ = id;
  return query;
}

TDnsHeld TDnsQuery::Read(std::string_view answer) const {
  if (answer.size() < 12) return Doubt("an answer shorter than a DNS header");
  if (Get16(answer, 0) != id_) return Doubt("an answer to another message");
  const uint8_t flags = static_cast<uint8_t>(answer[2]);
  if ((flags & 0x80) == 0 || ((flags >> 3) & 0x0f) != 0) return Doubt("a message that is no answer to a question");
  ldns_pkt* parsed = nullptr;
  const ldns_status status = ldns_wire2pkt(&parsed, reinterpret_cast<const uint8_t*>(answer.data()), answer.size());
  TPkt packet(parsed);
  if (status != LDNS_STATUS_OK || !packet)
    return Doubt(std::string("an unreadable answer (") + ldns_get_errorstr_by_id(status) + ")");

  const ldns_rr_list* question = ldns_pkt_question(packet.get());
  TRdf owner(ldns_dname_new_frm_str(owner_.c_str()));
  if (!owner || question == nullptr || ldns_rr_list_rr_count(question) != 1) return Doubt("an answer to another question");
  const ldns_rr* asked = ldns_rr_list_rr(question, 0);
  if (ldns_dname_compare(ldns_rr_owner(asked), owner.get()) != 0 ||
      ldns_rr_get_type(asked) != static_cast<ldns_rr_type>(type_) || ldns_rr_get_class(asked) != LDNS_RR_CLASS_IN)
    return Doubt("an answer to another question");

  const unsigned rcode = static_cast<unsigned>(answer[3]) & 0x0f;
  if (rcode != 0 && rcode != 3) return {TDnsHeld::Failed, {}, RcodeText(rcode)};
  // A resolver or a secondary that is behind would describe another state
  // of the zone than the one the updates go to.
  if (!ldns_pkt_aa(packet.get()))
    return {TDnsHeld::Failed, {}, "the name server's answer is not authoritative (is it the zone's primary?)"};
  TDnsHeld held;
  held.Kind = TDnsHeld::Answered;
  const ldns_rr_list* records = ldns_pkt_answer(packet.get());
  const std::size_t count = records == nullptr ? 0 : ldns_rr_list_rr_count(records);
  const std::size_t size = type_ == TDnsRecordType::A ? 4 : 16;
  for (std::size_t i = 0; i < count; ++i) {
    const ldns_rr* rr = ldns_rr_list_rr(records, i);
    if (ldns_rr_get_type(rr) != static_cast<ldns_rr_type>(type_) || ldns_rr_get_class(rr) != LDNS_RR_CLASS_IN ||
        ldns_dname_compare(ldns_rr_owner(rr), owner.get()) != 0)
      continue;
    const ldns_rdf* data = ldns_rr_rd_count(rr) == 1 ? ldns_rr_rdf(rr, 0) : nullptr;
    if (data == nullptr || ldns_rdf_size(data) != size) return Doubt("an answer with a broken address record");
    held.Addresses.push_back(TIpAddress::FromBytes(ldns_rdf_data(data), size).Text());
  }
  std::sort(held.Addresses.begin(), held.Addresses.end());
  held.Addresses.erase(std::unique(held.Addresses.begin(), held.Addresses.end()), held.Addresses.end());
  return held;
}
