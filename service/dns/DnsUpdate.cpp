#include "service/dns/DnsUpdate.h"

// ldns defines bool, true and false as macros unless stdbool.h came first,
// and those macros break the C++ headers.
#include <stdbool.h>

#include <ldns/ldns.h>

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <memory>

#include "runtime/IpAddress.h"

namespace {

struct TPktFree {
  void operator()(ldns_pkt* p) const { ldns_pkt_free(p); }
};
struct TRdfFree {
  void operator()(ldns_rdf* r) const { ldns_rdf_deep_free(r); }
};
struct TRrListFree {
  void operator()(ldns_rr_list* l) const { ldns_rr_list_deep_free(l); }
};
using TPkt = std::unique_ptr<ldns_pkt, TPktFree>;
using TRdf = std::unique_ptr<ldns_rdf, TRdfFree>;
using TRrList = std::unique_ptr<ldns_rr_list, TRrListFree>;

constexpr uint16_t TypeTsig = 250;
constexpr uint16_t ClassAny = 255;
constexpr uint8_t OpcodeUpdate = 5;

void Put16(std::string& out, uint16_t v) {
  out += static_cast<char>(v >> 8);
  out += static_cast<char>(v & 0xff);
}
void Put48(std::string& out, int64_t v) {
  for (int shift = 40; shift >= 0; shift -= 8) out += static_cast<char>((static_cast<uint64_t>(v) >> shift) & 0xff);
}
uint16_t Get16(std::string_view s, std::size_t at) {
  return static_cast<uint16_t>((static_cast<uint8_t>(s[at]) << 8) | static_cast<uint8_t>(s[at + 1]));
}

// A checked, lower-case, fully qualified name in wire form, uncompressed:
// the canonical form TSIG signs names in.
std::string NameWire(const std::string& name) {
  std::string out;
  std::size_t start = 0;
  while (start < name.size()) {
    std::size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    out += static_cast<char>(dot - start);
    out.append(name, start, dot - start);
    start = dot + 1;
  }
  out += '\0';
  return out;
}

std::string Hmac(const TDnsKey& key, const std::string& data) {
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  const EVP_MD* md = key.Algorithm == TDnsKeyAlgorithm::HmacSha512 ? EVP_sha512() : EVP_sha256();
  if (HMAC(md, key.Secret.data(), static_cast<int>(key.Secret.size()),
           reinterpret_cast<const unsigned char*>(data.data()), data.size(), mac, &size) == nullptr)
    throw EDnsUpdate("cannot sign the DNS update: HMAC failed");
  return std::string(reinterpret_cast<const char*>(mac), size);
}

const char* RcodeName(unsigned rcode) {
  switch (rcode) {
    case 1:
      return "FORMERR: the name server could not read the update";
    case 2:
      return "SERVFAIL: the name server failed to apply the update";
    case 3:
      return "NXDOMAIN";
    case 4:
      return "NOTIMP: the name server does not take dynamic updates";
    case 5:
      return "REFUSED: the name server does not let this key update the zone";
    case 6:
      return "YXDOMAIN";
    case 7:
      return "YXRRSET";
    case 8:
      return "NXRRSET";
    case 9:
      // Knot answers an update its ACL refuses with NOTAUTH (and BADKEY),
      // so the update rule is as likely a cause as the key.
      return "NOTAUTH: the name server refuses this update: it does not know the key, its update rule does not "
             "let the key change this name or record type, or it is not authoritative for the zone";
    case 10:
      return "NOTZONE: the name is not inside the zone the name server has";
    default:
      return nullptr;
  }
}

const char* TsigErrorName(unsigned error) {
  switch (error) {
    case 16:
      return "BADSIG: the name server does not accept the signature (is the secret the same on both sides?)";
    case 17:
      return "BADKEY: the name server refuses this update: it does not know the key (or knows it with another "
             "algorithm), or its update rule does not let the key change this name or record type";
    case 18:
      return "BADTIME: the clocks of this machine and of the name server differ too much";
    default:
      return nullptr;
  }
}

std::string ErrorText(unsigned code, bool tsig) {
  const char* name = tsig ? TsigErrorName(code) : RcodeName(code);
  if (name != nullptr) return name;
  return std::string(tsig ? "TSIG error " : "error code ") + std::to_string(code) + " from the name server";
}

TDnsOutcome Unverified(std::string reason) { return {TDnsOutcome::Unverified, std::move(reason)}; }

// Whether message is whole records throughout with at most one TSIG record,
// and that one the last. ldns keeps only the last TSIG record it meets and
// loses the memory of any before it, so such a message never reaches it.
bool OneTsigAtTheEnd(std::string_view message) {
  std::size_t at = 12;
  auto skipName = [&] {
    for (int labels = 0; labels < 128; ++labels) {
      if (at >= message.size()) return false;
      const uint8_t length = static_cast<uint8_t>(message[at]);
      if ((length & 0xc0) == 0xc0) {
        at += 2;
        return at <= message.size();
      }
      if ((length & 0xc0) != 0) return false;
      at += 1 + length;
      if (length == 0) return true;
    }
    return false;
  };
  for (unsigned i = 0; i < Get16(message, 4); ++i) {
    if (!skipName() || (at += 4) > message.size()) return false;
  }
  const unsigned records = Get16(message, 6) + Get16(message, 8) + Get16(message, 10);
  for (unsigned i = 0; i < records; ++i) {
    if (!skipName() || at + 10 > message.size()) return false;
    const bool tsig = Get16(message, at) == TypeTsig;
    at += 10 + Get16(message, at + 8);
    if (at > message.size() || (tsig && i + 1 != records)) return false;
  }
  return true;
}

}  // namespace

std::string SignDnsMessage(std::string& wire, const TDnsKey& key, int64_t timeSigned, uint16_t fudge) {
  const std::string keyName = NameWire(key.Name);
  const std::string algorithm = NameWire(key.AlgorithmName());
  // The signed data: the message as it is, then the TSIG variables.
  std::string variables = keyName;
  Put16(variables, ClassAny);
  variables.append(4, '\0');  // TTL
  variables += algorithm;
  Put48(variables, timeSigned);
  Put16(variables, fudge);
  Put16(variables, 0);  // error
  Put16(variables, 0);  // other length
  const std::string mac = Hmac(key, wire + variables);

  std::string rdata = algorithm;
  Put48(rdata, timeSigned);
  Put16(rdata, fudge);
  Put16(rdata, static_cast<uint16_t>(mac.size()));
  rdata += mac;
  rdata.append(wire, 0, 2);  // original ID
  Put16(rdata, 0);           // error
  Put16(rdata, 0);           // other length

  wire += keyName;
  Put16(wire, TypeTsig);
  Put16(wire, ClassAny);
  wire.append(4, '\0');
  Put16(wire, static_cast<uint16_t>(rdata.size()));
  wire += rdata;
  const uint16_t additional = static_cast<uint16_t>(Get16(wire, 10) + 1);
  wire[10] = static_cast<char>(additional >> 8);
  wire[11] = static_cast<char>(additional & 0xff);
  return mac;
}

TDnsRecordType TDnsUpdate::TypeOf(const std::string& address) {
  // As written: an IPv4-mapped IPv6 address is an AAAA record's.
  if (const std::optional<TIpAddress> parsed = TIpAddress::Parse(address))
    return parsed->Family() == TIpFamily::IPv4 ? TDnsRecordType::A : TDnsRecordType::AAAA;
  throw EDnsUpdate("\"" + address + "\" is not an IP address");
}

TDnsUpdate TDnsUpdate::Make(const std::string& zone, const std::string& owner, const std::string& address, uint32_t ttl,
                            const TDnsKey& key, uint16_t id, int64_t timeSigned) {
  return Build(zone, owner, TypeOf(address), address, ttl, key, id, timeSigned);
}

TDnsUpdate TDnsUpdate::MakeWithdrawal(const std::string& zone, const std::string& owner, TDnsRecordType type,
                                      const TDnsKey& key, uint16_t id, int64_t timeSigned) {
  return Build(zone, owner, type, "", 0, key, id, timeSigned);
}

TDnsUpdate TDnsUpdate::Build(const std::string& zone, const std::string& owner, TDnsRecordType type,
                             const std::string& address, uint32_t ttl, const TDnsKey& key, uint16_t id,
                             int64_t timeSigned) {
  const auto rrType = static_cast<ldns_rr_type>(type);
  ldns_rdf* zoneName = ldns_dname_new_frm_str(zone.c_str());
  TRdf ownerName(ldns_dname_new_frm_str(owner.c_str()));
  TRdf rdata(address.empty() ? nullptr
                             : ldns_rdf_new_frm_str(type == TDnsRecordType::A ? LDNS_RDF_TYPE_A : LDNS_RDF_TYPE_AAAA,
                                                    address.c_str()));
  if (zoneName == nullptr || !ownerName || (!address.empty() && !rdata)) {
    ldns_rdf_deep_free(zoneName);
    throw EDnsUpdate("cannot make the DNS update of " + owner + " in the zone " + zone);
  }

  TRrList updates(ldns_rr_list_new());
  // Delete the whole set: class ANY, TTL 0, no data.
  ldns_rr* remove = ldns_rr_new();
  ldns_rr_set_owner(remove, ldns_rdf_clone(ownerName.get()));
  ldns_rr_set_type(remove, rrType);
  ldns_rr_set_class(remove, LDNS_RR_CLASS_ANY);
  ldns_rr_set_ttl(remove, 0);
  ldns_rr_list_push_rr(updates.get(), remove);
  // A withdrawal deletes the set and adds nothing.
  if (!address.empty()) {
    ldns_rr* add = ldns_rr_new();
    ldns_rr_set_owner(add, ownerName.release());
    ldns_rr_set_type(add, rrType);
    ldns_rr_set_class(add, LDNS_RR_CLASS_IN);
    ldns_rr_set_ttl(add, ttl);
    ldns_rr_push_rdf(add, rdata.release());
    ldns_rr_list_push_rr(updates.get(), add);
  }

  TPkt packet(ldns_update_pkt_new(zoneName, LDNS_RR_CLASS_IN, nullptr, updates.get(), nullptr));
  if (!packet) throw EDnsUpdate("cannot make the DNS update of " + owner);
  ldns_pkt_set_id(packet.get(), id);
  // ldns asks for recursion by default; that bit has no meaning in an update and stays clear.
  ldns_pkt_set_rd(packet.get(), false);
  uint8_t* bytes = nullptr;
  std::size_t size = 0;
  if (ldns_pkt2wire(&bytes, packet.get(), &size) != LDNS_STATUS_OK || bytes == nullptr)
    throw EDnsUpdate("cannot make the DNS update of " + owner);
  TDnsUpdate update;
  update.wire_.assign(reinterpret_cast<const char*>(bytes), size);
  LDNS_FREE(bytes);
  update.id_ = id;
  update.mac_ = SignDnsMessage(update.wire_, key, timeSigned, Fudge);
  return update;
}

TDnsOutcome TDnsUpdate::Check(std::string_view answer, const TDnsKey& key, int64_t now) const {
  if (answer.size() < 12) return Unverified("an answer shorter than a DNS header");
  if (Get16(answer, 0) != id_) return Unverified("an answer to another message");
  const uint8_t flags = static_cast<uint8_t>(answer[2]);
  if ((flags & 0x80) == 0 || ((flags >> 3) & 0x0f) != OpcodeUpdate)
    return Unverified("a message that is no answer to an update");

  if (!OneTsigAtTheEnd(answer)) return Unverified("an unreadable answer (not whole records, or a misplaced signature)");
  ldns_pkt* parsed = nullptr;
  const ldns_status status = ldns_wire2pkt(&parsed, reinterpret_cast<const uint8_t*>(answer.data()), answer.size());
  TPkt packet(parsed);
  if (status != LDNS_STATUS_OK || !packet)
    return Unverified(std::string("an unreadable answer (") + ldns_get_errorstr_by_id(status) + ")");

  const unsigned rcode = static_cast<unsigned>(answer[3]) & 0x0f;
  const ldns_rr* tsig = ldns_pkt_tsig(packet.get());
  if (tsig != nullptr && ldns_rr_rd_count(tsig) < 7) return Unverified("an answer with a broken signature record");
  const unsigned tsigError = tsig ? ldns_rdf2native_int16(ldns_rr_rdf(tsig, 5)) : 0;
  // Refusals over the signature itself come unsigned (the server could not
  // sign with a key it does not accept), so they are taken as they are: a
  // forged refusal costs at most a retry.
  if (tsigError != 0) return {TDnsOutcome::Failed, ErrorText(tsigError, true)};
  if (rcode != 0) return {TDnsOutcome::Failed, ErrorText(rcode, false)};

  if (tsig == nullptr) return Unverified("an answer that is not signed");
  const ldns_rdf* algorithm = ldns_rr_rdf(tsig, 0);
  TRdf expected(ldns_dname_new_frm_str(key.AlgorithmName().c_str()));
  if (!expected || ldns_dname_compare(algorithm, expected.get()) != 0)
    return Unverified("an answer signed with another algorithm");
  std::string macField;
  Put16(macField, static_cast<uint16_t>(mac_.size()));
  macField += mac_;
  TRdf requestMac(ldns_rdf_new_frm_data(LDNS_RDF_TYPE_INT16_DATA, macField.size(), macField.data()));
  if (!requestMac || !ldns_pkt_tsig_verify(packet.get(), reinterpret_cast<const uint8_t*>(answer.data()), answer.size(),
                                           key.Name.c_str(), key.SecretBase64().c_str(), requestMac.get()))
    return Unverified("an answer whose signature does not match the key");
  const ldns_rdf* time = ldns_rr_rdf(tsig, 1);
  if (ldns_rdf_size(time) != 6) return Unverified("an answer with a broken signature time");
  int64_t signedAt = 0;
  for (std::size_t i = 0; i < 6; ++i) signedAt = (signedAt << 8) | ldns_rdf_data(time)[i];
  // Our own window, not the answer's fudge: whoever could raise that could replay old answers.
  const int64_t skew = signedAt > now ? signedAt - now : now - signedAt;
  if (skew > Fudge) return Unverified("an answer signed " + std::to_string(skew) + " s away from this machine's clock");
  return {TDnsOutcome::Done, ""};
}
