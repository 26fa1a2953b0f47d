#include "service/dns/DnsUpdate.h"

// ldns defines bool, true and false as macros unless stdbool.h came first,
// and those macros break the C++ headers.
#include <stdbool.h>

#include <ldns/ldns.h>

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <ctime>

#include "tests/service/dns/UdpLoopback.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace {
const char kZone[] = "dyn.example.org.";
const char kOwner[] = "laptop.alice.dyn.example.org.";
const char kSecret[] = "cGlubWFyay10ZXN0LXNlY3JldC0zMi1ieXRlcyEhISE=";

TDnsKey Key(const std::string& algorithm = "hmac-sha256", const std::string& secret = kSecret) {
  return TDnsKey::Parse(algorithm + ":pinmark-update:" + secret);
}

// The first datagram a client sends to a loopback port of ours, which
// never answers: the client's update as it would go to a name server.
std::string CaptureUpdate(const std::string& client, const std::vector<std::string>& options,
                          const std::string& address) {
  int port = 0;
  const int fd = UdpLoopback(&port);
  TempDir dir;
  const std::string script = dir.File("update");
  TempDir::Write(script, "server 127.0.0.1 " + std::to_string(port) + "\nzone " + kZone + "\nupdate delete " + kOwner +
                             " A\nupdate add " + kOwner + " 60 A " + address + "\nsend\n");
  std::vector<std::string> args = options;
  args.push_back("-y");
  args.push_back(std::string("hmac-sha256:pinmark-update:") + kSecret);
  args.push_back(script);
  ChildProcess child(client, args);
  pollfd p{fd, POLLIN, 0};
  std::string datagram;
  if (::poll(&p, 1, 20000) == 1) {
    char buffer[4096];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n > 0) datagram.assign(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  child.Signal(SIGTERM);
  child.Wait();
  return datagram;
}

uint16_t Id(const std::string& wire) {
  return static_cast<uint16_t>((static_cast<uint8_t>(wire[0]) << 8) | static_cast<uint8_t>(wire[1]));
}

// The time in a signed message's TSIG record, as ldns reads it.
int64_t TimeSigned(const std::string& wire) {
  ldns_pkt* pkt = nullptr;
  EXPECT_EQ(ldns_wire2pkt(&pkt, reinterpret_cast<const uint8_t*>(wire.data()), wire.size()), LDNS_STATUS_OK);
  if (pkt == nullptr || ldns_pkt_tsig(pkt) == nullptr) return 0;
  const ldns_rdf* time = ldns_rr_rdf(ldns_pkt_tsig(pkt), 1);
  int64_t t = 0;
  for (std::size_t i = 0; i < ldns_rdf_size(time); ++i) t = (t << 8) | ldns_rdf_data(time)[i];
  ldns_pkt_free(pkt);
  return t;
}

// A message as ldns prints it, without the ID, the signature (which
// depend on the moment) and the size, so two spellings of one update compare equal.
std::string Text(const std::string& wire) {
  ldns_pkt* pkt = nullptr;
  if (ldns_wire2pkt(&pkt, reinterpret_cast<const uint8_t*>(wire.data()), wire.size()) != LDNS_STATUS_OK) return "";
  ldns_pkt_set_id(pkt, 0);
  ldns_pkt_set_size(pkt, 0);
  ldns_rr_free(ldns_pkt_tsig(pkt));
  ldns_pkt_set_tsig(pkt, nullptr);
  char* text = ldns_pkt2str(pkt);
  std::string out = text;
  free(text);
  ldns_pkt_free(pkt);
  return out;
}

// ldns's own verdict on a signed request.
bool LdnsVerifies(const std::string& wire, const std::string& secret) {
  ldns_pkt* pkt = nullptr;
  if (ldns_wire2pkt(&pkt, reinterpret_cast<const uint8_t*>(wire.data()), wire.size()) != LDNS_STATUS_OK) return false;
  const bool ok = ldns_pkt_tsig_verify(pkt, reinterpret_cast<const uint8_t*>(wire.data()), wire.size(),
                                       "pinmark-update.", secret.c_str(), nullptr);
  ldns_pkt_free(pkt);
  return ok;
}

// The name server's answer to update, made and signed by ldns (with the
// current time) the way a name server answers: header and zone section,
// the given rcode, signed over the request's MAC unless secret is empty.
std::string Answer(const TDnsUpdate& update, ldns_pkt_rcode rcode, const std::string& secret = kSecret,
                   uint16_t tsigError = 0) {
  ldns_pkt* pkt = nullptr;
  EXPECT_EQ(ldns_wire2pkt(&pkt, reinterpret_cast<const uint8_t*>(update.Wire().data()), update.Wire().size()),
            LDNS_STATUS_OK);
  ldns_rr_free(ldns_pkt_tsig(pkt));
  ldns_pkt_set_tsig(pkt, nullptr);
  ldns_rr_list_deep_free(ldns_pkt_authority(pkt));
  ldns_pkt_set_authority(pkt, ldns_rr_list_new());
  ldns_pkt_set_nscount(pkt, 0);
  ldns_pkt_set_qr(pkt, true);
  ldns_pkt_set_rcode(pkt, rcode);
  if (!secret.empty()) {
    std::string field;
    field += static_cast<char>(update.Mac().size() >> 8);
    field += static_cast<char>(update.Mac().size() & 0xff);
    field += update.Mac();
    ldns_rdf* mac = ldns_rdf_new_frm_data(LDNS_RDF_TYPE_INT16_DATA, field.size(), field.data());
    EXPECT_EQ(ldns_pkt_tsig_sign(pkt, "pinmark-update.", secret.c_str(), 300, "hmac-sha256.", mac), LDNS_STATUS_OK);
    ldns_rdf_deep_free(mac);
    if (tsigError != 0) {
      // As a name server refuses a signature: the error, and no MAC.
      ldns_rr* tsig = ldns_pkt_tsig(pkt);
      uint16_t error = htons(tsigError);
      ldns_rdf_deep_free(ldns_rr_set_rdf(tsig, ldns_rdf_new_frm_data(LDNS_RDF_TYPE_INT16, 2, &error), 5));
      const uint8_t none[2] = {0, 0};
      ldns_rdf_deep_free(ldns_rr_set_rdf(tsig, ldns_rdf_new_frm_data(LDNS_RDF_TYPE_INT16_DATA, 2, none), 3));
    }
  }
  uint8_t* bytes = nullptr;
  std::size_t size = 0;
  EXPECT_EQ(ldns_pkt2wire(&bytes, pkt, &size), LDNS_STATUS_OK);
  std::string wire(reinterpret_cast<char*>(bytes), size);
  LDNS_FREE(bytes);
  ldns_pkt_free(pkt);
  return wire;
}
// An answer with its signature record twice (ldns would lose the first).
std::string TwoSignatures(std::string answer) {
  const std::size_t tsig = answer.rfind("\x0epinmark-update");
  answer += answer.substr(tsig);
  answer[11] = static_cast<char>(answer[11] + 1);
  return answer;
}
}  // namespace

TEST(DnsUpdate, SaysWhatNsupdateAndKnsupdateSayAndSignsTheirMessagesAsTheyDo) {
  struct Client {
    const char* program;
    std::vector<std::string> options;
  };
  for (const Client& client :
       {Client{"nsupdate", {"-t", "30", "-u", "30", "-r", "0"}}, Client{"knsupdate", {"-t", "30", "-r", "0"}}}) {
    SCOPED_TRACE(client.program);
    const std::string known = CaptureUpdate(client.program, client.options, "192.0.2.7");
    ASSERT_GT(known.size(), 12u) << client.program << " sent nothing";
    const TDnsUpdate ours = TDnsUpdate::Make(kZone, kOwner, "192.0.2.7", 60, Key(), Id(known), TimeSigned(known));
    // The same header, the same sections; only name compression may differ
    // (the tools spell out the first owner, ldns points into the zone's name).
    EXPECT_EQ(ours.Wire().substr(0, 12), known.substr(0, 12));
    EXPECT_EQ(Text(ours.Wire()), Text(known));
    EXPECT_TRUE(LdnsVerifies(ours.Wire(), kSecret));
    EXPECT_FALSE(LdnsVerifies(ours.Wire(), "b3RoZXItc2VjcmV0"));

    // Their message without its signature, signed by us with the same key
    // and time: byte for byte what they sent.
    const std::size_t tsigStart = known.rfind("\x0epinmark-update");
    ASSERT_NE(tsigStart, std::string::npos);
    std::string message = known.substr(0, tsigStart);
    message[11] = static_cast<char>(message[11] - 1);  // the TSIG record is not counted in what is signed
    SignDnsMessage(message, Key(), TimeSigned(known), TDnsUpdate::Fudge);
    EXPECT_EQ(message, known);
  }
}

TEST(DnsUpdate, DeletesAndAddsTheAaaaSetForAnIpv6AddressAndSignsWithSha512) {
  const std::string secret512 =
      "c2hhNTEyLWtleS1mb3ItdGhlLXBpbm1hcmstdGVzdHMtLS0tLS0tLS0tLS0tLS0tLS0tLS0tLS0tLS0tLS0tLQ==";
  const TDnsUpdate update = TDnsUpdate::Make(kZone, kOwner, "2001:db8::7", 300, Key("hmac-sha512", secret512), 1, 1);
  ldns_pkt* pkt = nullptr;
  ASSERT_EQ(ldns_wire2pkt(&pkt, reinterpret_cast<const uint8_t*>(update.Wire().data()), update.Wire().size()),
            LDNS_STATUS_OK);
  char* text = ldns_rr_list2str(ldns_pkt_authority(pkt));
  EXPECT_STREQ(text,
               "laptop.alice.dyn.example.org.\t0\tANY\tAAAA\t\\# 0\n"
               "laptop.alice.dyn.example.org.\t300\tIN\tAAAA\t2001:db8::7\n");
  free(text);
  EXPECT_EQ(ldns_pkt_get_opcode(pkt), LDNS_PACKET_UPDATE);
  ldns_pkt_free(pkt);
  EXPECT_TRUE(LdnsVerifies(update.Wire(), secret512));
  EXPECT_EQ(update.Mac().size(), 64u);
  EXPECT_THROW(TDnsUpdate::Make(kZone, kOwner, "192.0.2.300", 60, Key(), 1, 1), EDnsUpdate);
}

TEST(DnsUpdate, BelievesOnlyASignedAnswerToThisVeryUpdate) {
  const TDnsKey key = Key();
  const int64_t now = std::time(nullptr);
  const TDnsUpdate update = TDnsUpdate::Make(kZone, kOwner, "192.0.2.7", 60, key, 4711, now);
  const TDnsUpdate other = TDnsUpdate::Make(kZone, kOwner, "192.0.2.7", 60, key, 4711, now - 1);
  struct Case {
    const char* what;
    std::string answer;
    TDnsOutcome::TKind kind;
    const char* reason;
    int64_t at;
  };
  const Case cases[] = {
      {"signed success", Answer(update, LDNS_RCODE_NOERROR), TDnsOutcome::Done, "", now},
      {"signed with another secret", Answer(update, LDNS_RCODE_NOERROR, "b3RoZXItc2VjcmV0"), TDnsOutcome::Unverified,
       "does not match the key", now},
      {"signed over another request", Answer(other, LDNS_RCODE_NOERROR), TDnsOutcome::Unverified,
       "does not match the key", now},
      {"not signed", Answer(update, LDNS_RCODE_NOERROR, ""), TDnsOutcome::Unverified, "not signed", now},
      {"from far in the past", Answer(update, LDNS_RCODE_NOERROR), TDnsOutcome::Unverified,
       "s away from this machine's clock", now + 301},
      {"refused", Answer(update, LDNS_RCODE_REFUSED), TDnsOutcome::Failed, "REFUSED", now},
      {"refused unsigned", Answer(update, LDNS_RCODE_REFUSED, ""), TDnsOutcome::Failed, "REFUSED", now},
      {"not authoritative", Answer(update, LDNS_RCODE_NOTAUTH), TDnsOutcome::Failed,
       "NOTAUTH: the name server refuses this update: it does not know the key, its update rule", now},
      {"bad signature", Answer(update, LDNS_RCODE_NOTAUTH, kSecret, 16), TDnsOutcome::Failed, "BADSIG", now},
      {"bad key", Answer(update, LDNS_RCODE_NOTAUTH, kSecret, 17), TDnsOutcome::Failed,
       "or its update rule does not let the key change this name or record type", now},
      {"bad time", Answer(update, LDNS_RCODE_NOTAUTH, kSecret, 18), TDnsOutcome::Failed, "BADTIME", now},
      {"server failure", Answer(update, LDNS_RCODE_SERVFAIL), TDnsOutcome::Failed, "SERVFAIL", now},
      {"the request itself", update.Wire(), TDnsOutcome::Unverified, "no answer to an update", now},
      {"too short", "\x12\x67\xa8", TDnsOutcome::Unverified, "shorter than a DNS header", now},
      {"signed twice", TwoSignatures(Answer(update, LDNS_RCODE_NOERROR)), TDnsOutcome::Unverified,
       "misplaced signature", now},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const TDnsOutcome outcome = update.Check(c.answer, key, c.at);
    EXPECT_EQ(outcome.Kind, c.kind);
    EXPECT_NE(outcome.Reason.find(c.reason), std::string::npos) << outcome.Reason;
  }

  // Another ID, and every cut of a good answer: never taken for success.
  std::string wrongId = Answer(update, LDNS_RCODE_NOERROR);
  wrongId[1] = static_cast<char>(wrongId[1] ^ 1);
  EXPECT_NE(update.Check(wrongId, key, now).Kind, TDnsOutcome::Done);
  const std::string good = Answer(update, LDNS_RCODE_NOERROR);
  for (std::size_t size = 0; size < good.size(); ++size)
    EXPECT_NE(update.Check(std::string_view(good).substr(0, size), key, now).Kind, TDnsOutcome::Done) << size;
}
