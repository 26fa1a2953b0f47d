// The verification's parts that need no name server: the question and the
// reading of its answer, and the queue's rules for resuming, verifying and
// showing what is not confirmed yet.
// ldns defines bool, true and false as macros unless stdbool.h came first.
#include <stdbool.h>

#include <gtest/gtest.h>
#include <ldns/ldns.h>

#include "service/dns/DnsQuery.h"
#include "service/dns/DnsQueue.h"
#include "service/dns/DnsVerifier.h"
#include "service/dns/MemoryDnsQueueStore.h"

using namespace std::chrono_literals;

namespace {
const std::string kName = "laptop.alice.dyn.example.org.";
const TServiceTime T0 = 1'800'000'000'000;

// The answer to query as a name server would give it, edited by change.
template <typename F>
std::string Answer(const TDnsQuery& query, const std::vector<std::string>& records, F change) {
  ldns_pkt* pkt = nullptr;
  EXPECT_EQ(ldns_wire2pkt(&pkt, reinterpret_cast<const uint8_t*>(query.Wire().data()), query.Wire().size()),
            LDNS_STATUS_OK);
  ldns_pkt_set_qr(pkt, true);
  ldns_pkt_set_aa(pkt, true);
  for (const std::string& text : records) {
    ldns_rr* rr = nullptr;
    EXPECT_EQ(ldns_rr_new_frm_str(&rr, text.c_str(), 60, nullptr, nullptr), LDNS_STATUS_OK) << text;
    ldns_pkt_push_rr(pkt, LDNS_SECTION_ANSWER, rr);
  }
  change(pkt);
  uint8_t* bytes = nullptr;
  std::size_t size = 0;
  EXPECT_EQ(ldns_pkt2wire(&bytes, pkt, &size), LDNS_STATUS_OK);
  std::string wire(reinterpret_cast<char*>(bytes), size);
  LDNS_FREE(bytes);
  ldns_pkt_free(pkt);
  return wire;
}
std::string Answer(const TDnsQuery& query, const std::vector<std::string>& records) {
  return Answer(query, records, [](ldns_pkt*) {});
}
}  // namespace

TEST(DnsQuery, TakesOnlyTheAuthoritysAnswerToThisVeryQuestion) {
  const TDnsQuery a = TDnsQuery::Make(kName, TDnsRecordType::A, 4711);
  const TDnsQuery aaaa = TDnsQuery::Make(kName, TDnsRecordType::AAAA, 4712);
  const TDnsQuery other = TDnsQuery::Make("desk.alice.dyn.example.org.", TDnsRecordType::A, 4711);
  const std::string rr = kName + " 60 IN A ";
  struct Case {
    const char* what;
    const TDnsQuery& query;
    std::string answer;
    TDnsHeld::TKind kind;
    std::vector<std::string> addresses;
    const char* reason;
  };
  const Case cases[] = {
      {"one address", a, Answer(a, {rr + "192.0.2.7"}), TDnsHeld::Answered, {"192.0.2.7"}, ""},
      {"several, in any order and case, each once", a,
       Answer(a, {rr + "192.0.2.9", "LAPTOP.alice.DYN.example.org. 60 IN A 192.0.2.7", rr + "192.0.2.9"}),
       TDnsHeld::Answered, {"192.0.2.7", "192.0.2.9"}, ""},
      {"records of other names and types left aside", a,
       Answer(a, {"desk.alice.dyn.example.org. 60 IN A 192.0.2.1", kName + " 60 IN TXT \"x\""}), TDnsHeld::Answered,
       {}, ""},
      {"IPv6 in canonical form", aaaa, Answer(aaaa, {kName + " 60 IN AAAA 2001:DB8:0:0::1"}), TDnsHeld::Answered,
       {"2001:db8::1"}, ""},
      {"no such name", a, Answer(a, {}, [](ldns_pkt* p) { ldns_pkt_set_rcode(p, LDNS_RCODE_NXDOMAIN); }),
       TDnsHeld::Answered, {}, ""},
      {"refused", a, Answer(a, {}, [](ldns_pkt* p) { ldns_pkt_set_rcode(p, LDNS_RCODE_REFUSED); }),
       TDnsHeld::Failed, {}, "REFUSED"},
      {"not authoritative", a, Answer(a, {rr + "192.0.2.7"}, [](ldns_pkt* p) { ldns_pkt_set_aa(p, false); }),
       TDnsHeld::Failed, {}, "not authoritative"},
      {"another ID", a, Answer(a, {rr + "192.0.2.7"}, [](ldns_pkt* p) { ldns_pkt_set_id(p, 4712); }),
       TDnsHeld::Unverified, {}, "another message"},
      {"another question", a, Answer(other, {rr + "192.0.2.7"}), TDnsHeld::Unverified, {}, "another question"},
      {"another type asked", aaaa, Answer(a, {rr + "192.0.2.7"}, [](ldns_pkt* p) { ldns_pkt_set_id(p, 4712); }),
       TDnsHeld::Unverified, {}, "another question"},
      {"the question itself", a, a.Wire(), TDnsHeld::Unverified, {}, "no answer to a question"},
      {"too short", a, "\x12\x67", TDnsHeld::Unverified, {}, "shorter than a DNS header"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const TDnsHeld held = c.query.Read(c.answer);
    EXPECT_EQ(held.Kind, c.kind);
    EXPECT_EQ(held.Addresses, c.addresses);
    EXPECT_NE(held.Reason.find(c.reason), std::string::npos) << held.Reason;
  }
  // No cut of a good answer is read as an answer that holds the address.
  const std::string good = Answer(a, {rr + "192.0.2.7"});
  for (std::size_t n = 0; n < good.size(); ++n)
    EXPECT_TRUE(a.Read(good.substr(0, n)).Addresses.empty()) << "cut at " << n;
}

TEST(DnsVerifier, TakesAPeriodOf10SecondsTo7Days) {
  const std::pair<const char*, std::chrono::milliseconds> good[] = {{"10s", 10s}, {"90m", 90min}, {"1h", 1h},
                                                                    {"7d", 168h}};
  for (const auto& [text, every] : good) EXPECT_EQ(TDnsVerifier::ParseEvery(text), every) << text;
  for (const char* bad : {"", "1", "h", "9s", "8d", "1.5h", "-1h", "1 h", "1H", "99999999999999999999s"})
    EXPECT_THROW(TDnsVerifier::ParseEvery(bad), EDnsUpdate) << bad;
}

class DnsQueueResume : public ::testing::Test {
 protected:
  TMemoryDnsQueueStore store;
  std::vector<std::string> log;
  TDnsQueue queue{store, TDnsQueueOptions{1s, 8s, 30s},
                  [this](TLogPriority, const std::string& line) { log.push_back(line); }};

  TDnsQueueEntry Entry(const std::string& name) { return *store.Find(name, TDnsRecordType::A); }
  // A published name, a name on its way (leased) and a failing one, as a process left them.
  void LeftBehind() {
    const TDnsOutcome done{TDnsOutcome::Done, ""};
    for (const char* node : {"published", "leased", "failing"}) {
      const std::string name = std::string(node) + ".alice.zone.";
      queue.Enqueue(name, "192.0.2.1", T0);
      const TDnsJob job = *queue.TakeDue(T0);
      if (name[0] == 'p') queue.Finish(job, done, T0);
      if (name[0] == 'f') queue.Finish(job, {TDnsOutcome::Failed, "REFUSED"}, T0);
    }
  }
};

TEST_F(DnsQueueResume, DropsLeasesAndWaitsAndSendsEverythingToANewServer) {
  LeftBehind();
  store.SetPublishedTo("127.0.0.1:53");
  // What a new process sees: nothing confirmed yet.
  TDnsQueue next{store, TDnsQueueOptions{1s, 8s, 30s},
                 [this](TLogPriority, const std::string& line) { log.push_back(line); }};
  next.Resume("127.0.0.1:53", T0 + 500);
  EXPECT_EQ(Entry("leased.alice.zone.").Due, T0 + 500) << "no answer comes to a dead process's update";
  EXPECT_EQ(Entry("failing.alice.zone.").Due, T0 + 500) << "a restart tries a failing name at once";
  EXPECT_FALSE(Entry("published.alice.zone.").Due);
  const TDnsQueueEntry shown = next.StateOf("published.alice.zone.").at(0);
  EXPECT_EQ(shown.State, TDnsState::Verifying);
  EXPECT_EQ(shown.Since, T0 + 500);
  EXPECT_EQ(Entry("published.alice.zone.").State, TDnsState::Published) << "verifying is only shown";

  next.Resume("[::1]:53", T0 + 2'000);
  for (const char* name : {"published.alice.zone.", "leased.alice.zone.", "failing.alice.zone."}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(Entry(name).Due, T0 + 2'000);
    EXPECT_NE(Entry(name).State, TDnsState::Published);
  }
  EXPECT_EQ(store.PublishedTo(), "[::1]:53");
  EXPECT_EQ(log.back(), "DNS: the name server is now [::1]:53 (was 127.0.0.1:53): sending all 3 names again");
}

TEST_F(DnsQueueResume, AVerifiedNameIsConfirmedAndAMissingOneSentAgainUnlessItChangedMeanwhile) {
  LeftBehind();
  queue.Resume("127.0.0.1:53", T0);
  const std::string name = "published.alice.zone.";
  TDnsQueueEntry asked = Entry(name);
  struct Case {
    const char* what;
    std::string held;
    bool due;
    TDnsState shown;
  };
  const Case cases[] = {
      {"holds it", "192.0.2.1", false, TDnsState::Published},
      {"holds another as well", "192.0.2.1, 192.0.2.2", true, TDnsState::Pending},
      {"asked again while the update waits: the answer is old news", "", false, TDnsState::Pending},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(queue.Verified(asked, c.held, T0 + 5'000), c.due);
    EXPECT_EQ(queue.StateOf(name).at(0).State, c.shown);
  }
  EXPECT_EQ(Entry(name).Due, T0 + 5'000);
  EXPECT_EQ(log.back(),
            "DNS: the name server holds 192.0.2.1, 192.0.2.2 for published.alice.zone. A instead of 192.0.2.1: "
            "sending it again");
  // Sent and confirmed by the update's answer: published, not verifying.
  for (std::optional<TDnsJob> job; (job = queue.TakeDue(T0 + 5'000));)
    queue.Finish(*job, {TDnsOutcome::Done, ""}, T0 + 6'000);
  EXPECT_EQ(queue.StateOf(name).at(0).State, TDnsState::Published);
  // An answer about a version since replaced changes nothing.
  queue.Enqueue(name, "192.0.2.3", T0 + 7'000);
  EXPECT_FALSE(queue.Verified(asked, "", T0 + 8'000));
}
