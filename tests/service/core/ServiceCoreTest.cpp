// The service's rules on plain values: an in-memory store and a clock the
// test moves, no sockets and no files.
#include "service/core/ServiceCore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "runtime/NoWaitScope.h"
#include "runtime/SysUtils.h"
#include "service/core/AccountHints.h"
#include "service/core/AccountList.h"
#include "service/core/DynDns2.h"
#include "service/core/FailureLimit.h"
#include "service/core/NameRules.h"
#include "service/core/NodeKey.h"
#include "service/core/PasswordHash.h"
#include "service/core/VerificationCache.h"
#include "service/store/MemoryStore.h"
#include "settings/md5.h"
#include "tests/service/core/FailureCountsContract.h"

namespace {
const std::string kDigest = DigestToHex(MD5OfString("secret"));
const std::string kWrong = DigestToHex(MD5OfString("guess"));
constexpr TServiceTime kMinute = 60 * 1000;
constexpr TServiceTime kStart = 1700000000000;
// Cheap enough for tests, the same code path as the real cost.
constexpr int kTestIterations = 1000;

// A store whose every call fails as a locked or full database does.
class TFailingStore : public TMemoryStore {
 public:
  bool failing = false;
  std::optional<TAccountRecord> FindAccount(std::string_view name) override {
    Check();
    return TMemoryStore::FindAccount(name);
  }
  TCheckInRecord RecordCheckIn(std::int64_t account, std::string_view node, std::string_view address, TServiceTime now,
                               std::size_t maxNodes) override {
    Check();
    return TMemoryStore::RecordCheckIn(account, node, address, now, maxNodes);
  }

 private:
  void Check() const {
    if (failing) throw EStoreUnavailable("database is locked");
  }
};

class Core : public ::testing::Test {
 protected:
  Core() : core(store, Rules()) {
    store.AddAccount("alice", TPasswordHash::Make(kDigest, kTestIterations), kStart);
    store.AddAccount("bob", TPasswordHash::Plain(kDigest), kStart);
    core.OnAddressChanged = [this](const TAddressChange& c) { changes.push_back(c); };
  }
  static TServiceRules Rules() {
    TServiceRules rules;
    rules.Zone = "Dyn.Example.org.";
    rules.MaxNodesPerAccount = 3;
    rules.DummyHashIterations = kTestIterations;
    return rules;
  }
  TCheckInResult CheckIn(const std::string& node, const std::string& address, const std::string& digest = kDigest) {
    return core.CheckIn("alice", digest, node, address, now);
  }
  std::vector<std::string> Update(const std::string& hosts, const std::string& myip = "",
                                  const std::string& user = "alice", const std::string& digest = kDigest,
                                  const std::string& myipv6 = "") {
    std::vector<std::string> answers;
    for (const TDynDns2Line& line : core.DynDns2Update(user, digest, hosts, myip, myipv6, "192.0.2.9", now))
      answers.push_back(line.Answer);
    return answers;
  }

  TFailingStore store;
  TServiceCore core;
  std::vector<TAddressChange> changes;
  TServiceTime now = kStart;
};
}  // namespace

TEST_F(Core, ACheckInRecordsTheNodeAndEachChangeOfAddress) {
  TCheckInResult r = CheckIn("box", "::ffff:198.51.100.7");
  ASSERT_EQ(r.Answer, TAnswer::Ok);
  EXPECT_EQ(r.Address, "198.51.100.7") << "an IPv4 caller seen through an IPv6 socket is the IPv4 address";
  now += kMinute;
  EXPECT_EQ(CheckIn("box", "198.51.100.7").Answer, TAnswer::Ok);
  now += kMinute;
  EXPECT_EQ(CheckIn("BOX", "203.0.113.1").Answer, TAnswer::Ok) << "node names compare without case";

  const std::vector<TNodeView> nodes = core.Nodes(r.Account, now);
  ASSERT_EQ(nodes.size(), 1u);
  EXPECT_EQ(nodes[0].Name, "box");
  EXPECT_EQ(nodes[0].Address, "203.0.113.1");
  EXPECT_EQ(nodes[0].FirstCheckIn, kStart);
  EXPECT_EQ(nodes[0].LastCheckIn, kStart + 2 * kMinute);
  EXPECT_EQ(nodes[0].CheckIns, 3);
  ASSERT_EQ(nodes[0].History.size(), 1u);
  EXPECT_EQ(nodes[0].History[0].From, "198.51.100.7");
  EXPECT_EQ(nodes[0].History[0].To, "203.0.113.1");

  // The hook hears of the first check-in and the change, not of the repeat.
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_EQ(changes[0].Previous, "");
  EXPECT_EQ(changes[1].Previous, "198.51.100.7");
  EXPECT_EQ(changes[1].Address, "203.0.113.1");
  EXPECT_EQ(changes[1].Account, "alice");
}

TEST_F(Core, HistoryKeepsTheLatestChangesNewestFirst) {
  for (int i = 0; i < 130; ++i) {
    now += kMinute;
    ASSERT_EQ(CheckIn("box", "10.0.0." + std::to_string(i % 2)).Answer, TAnswer::Ok);
  }
  const std::vector<TNodeView> nodes = core.Nodes(*store.FindAccount("alice"), now);
  ASSERT_EQ(nodes[0].History.size(), IServiceStore::HistoryKept);
  EXPECT_EQ(nodes[0].History.front().Time, now);
}

TEST_F(Core, ANodeIsStaleOnceItHasNotCheckedInForTheConfiguredTime) {
  ASSERT_EQ(CheckIn("box", "10.0.0.1").Answer, TAnswer::Ok);
  const TAccountRecord alice = *store.FindAccount("alice");
  EXPECT_FALSE(core.Nodes(alice, now + 2 * 60 * kMinute)[0].Stale);
  EXPECT_TRUE(core.Nodes(alice, now + 2 * 60 * kMinute + 1)[0].Stale);
}

TEST_F(Core, RequestsWithBadNamesAreRefusedBeforeAnyoneIsAsked) {
  struct Case {
    const char* what;
    std::string account, node, address;
    const char* problem;
  } cases[] = {
      {"a node name over 64 bytes", "alice", std::string(65, 'n'), "10.0.0.1", "the node name is longer than 64 bytes"},
      {"a control character in a node name", "alice", "box\nnode=forged", "10.0.0.1",
       "the node name holds a control character"},
      {"DEL in a node name", "alice", "box\x7f", "10.0.0.1", "the node name holds a control character"},
      {"a C1 control character", "alice", "box\xc2\x85", "10.0.0.1", "the node name holds a control character"},
      {"a node name that is not UTF-8", "alice", "b\xe4r", "10.0.0.1", "the node name is not UTF-8 text"},
      {"an overlong UTF-8 form", "alice", "\xc0\xbcscript", "10.0.0.1", "the node name is not UTF-8 text"},
      {"an account name over 64 bytes", std::string(65, 'a'), "box", "10.0.0.1",
       "the account name is longer than 64 bytes"},
      {"a control character in an account name", "eve\r", "box", "10.0.0.1",
       "the account name holds a control character"},
      {"a bad node name and a bad address: the name is told", "alice", "b\xe4r", "nowhere",
       "the node name is not UTF-8 text"},
      {"a caller's address that is none", "alice", "box", "nowhere", "the caller's address is no IP address"},
  };
  for (const Case& c : cases) {
    const TCheckInResult r = core.CheckIn(c.account, kDigest, c.node, c.address, now);
    EXPECT_EQ(r.Answer, TAnswer::BadRequest) << c.what;
    EXPECT_EQ(r.Problem, c.problem) << c.what;
  }
  EXPECT_EQ(CheckIn(std::string(64, 'n'), "10.0.0.1").Answer, TAnswer::Ok) << "64 bytes is still fine";
  EXPECT_EQ(CheckIn("Büro-PC", "10.0.0.1").Answer, TAnswer::Ok);
  EXPECT_EQ(CheckIn("", "10.0.0.1").Answer, TAnswer::Ok) << "an empty node name, as a new program sends it";
  EXPECT_TRUE(changes.size() == 3);
}

TEST_F(Core, WrongDigestsUnknownAccountsAndTheNodeLimitRecordNothing) {
  EXPECT_EQ(CheckIn("box", "10.0.0.1", kWrong).Answer, TAnswer::BadAuth);
  EXPECT_EQ(CheckIn("box", "10.0.0.1", "not a digest").Answer, TAnswer::BadAuth);
  EXPECT_EQ(core.CheckIn("nobody", kDigest, "box", "10.0.0.1", now).Answer, TAnswer::BadAuth);
  EXPECT_EQ(core.CheckIn("", "", "box", "10.0.0.1", now).Answer, TAnswer::BadAuth);
  EXPECT_EQ(core.CheckIn("Alice", kDigest.substr(0, 16) + "ABCDEF0123456789", "box", "10.0.0.1", now).Answer,
            TAnswer::BadAuth);
  EXPECT_TRUE(store.Nodes(store.FindAccount("alice")->Id).empty());
  // Names of accounts compare without case, and so do digests.
  EXPECT_EQ(core.CheckIn("ALICE", UpperCase(kDigest), "a", "10.0.0.1", now).Answer, TAnswer::Ok);
  EXPECT_EQ(CheckIn("b", "10.0.0.1").Answer, TAnswer::Ok);
  EXPECT_EQ(CheckIn("c", "10.0.0.1").Answer, TAnswer::Ok);
  EXPECT_EQ(CheckIn("d", "10.0.0.1").Answer, TAnswer::TooManyNodes);
  EXPECT_EQ(CheckIn("a", "10.0.0.2").Answer, TAnswer::Ok) << "known nodes still check in";
  EXPECT_EQ(store.Nodes(store.FindAccount("alice")->Id).size(), 3u);
}

TEST_F(Core, FailuresHoldBackTheAddressThatFailedAndNeverAnOwnerWhoDidNot) {
  const TServiceRules rules = Rules();
  auto answer = [&](const std::string& account, const std::string& digest, const std::string& from) {
    return core.CheckIn(account, digest, "box", from, now).Answer;
  };
  // One address guessing one account: its allowance for that account, then
  // it is refused even with the right digest; its other accounts go on.
  for (int i = 0; i < rules.PairBurst; ++i) ASSERT_EQ(answer("alice", kWrong, "10.0.0.66"), TAnswer::BadAuth) << i;
  const TCheckInResult limited = core.CheckIn("alice", kDigest, "box", "10.0.0.66", now);
  EXPECT_EQ(limited.Answer, TAnswer::Limited);
  EXPECT_GT(limited.RetryAfter, 0);
  EXPECT_EQ(answer("bob", kDigest, "10.0.0.66"), TAnswer::Ok);
  EXPECT_EQ(answer("alice", kDigest, "10.0.0.1"), TAnswer::Ok) << "another address is not held back by it";
  now += rules.PairRefill;
  EXPECT_EQ(answer("alice", kDigest, "10.0.0.66"), TAnswer::Ok);

  // Guesses for accounts that do not exist count against the address as much.
  for (int i = 0; i < rules.AddressBurst; ++i)
    ASSERT_EQ(answer("nobody" + std::to_string(i), kWrong, "10.0.0.77"), TAnswer::BadAuth) << i;
  EXPECT_EQ(answer("alice", kDigest, "10.0.0.77"), TAnswer::Limited);
  // An IPv6 host steps through its /64 in vain.
  for (int i = 0; i < rules.PairBurst; ++i)
    ASSERT_EQ(answer("alice", kWrong, "2001:db8:1:2::" + std::to_string(i + 1)), TAnswer::BadAuth) << i;
  EXPECT_EQ(answer("alice", kDigest, "2001:db8:1:2:ffff::9"), TAnswer::Limited);
  EXPECT_EQ(answer("alice", kDigest, "2001:db8:1:3::1"), TAnswer::Ok) << "the next /64 is another's";

  // Many addresses guessing one account: once the account's allowance is
  // used, each of them is refused, a new one gets one guess, the owner's
  // address is never held back.
  for (int i = 0; i < rules.AccountBurst; ++i)
    ASSERT_EQ(answer("bob", kWrong, "10.1.0." + std::to_string(i)), TAnswer::BadAuth) << i;
  EXPECT_EQ(answer("bob", kDigest, "10.1.0.1"), TAnswer::Limited) << "an address that failed for bob";
  EXPECT_EQ(answer("bob", kWrong, "10.1.1.1"), TAnswer::BadAuth) << "a new address's one guess";
  EXPECT_EQ(answer("bob", kWrong, "10.1.1.1"), TAnswer::Limited);
  EXPECT_EQ(answer("bob", kDigest, "10.2.0.1"), TAnswer::Ok) << "the owner";
  now += rules.AccountRefill;
  EXPECT_EQ(answer("bob", kDigest, "10.1.0.1"), TAnswer::Ok);
}

TEST_F(Core, AnOwnerChecksInThroughFiveMinutesOfGuessesFromThreeAddresses) {
  const std::vector<std::string> attackers = {"203.0.113.1", "203.0.113.2", "203.0.113.3"};
  std::map<std::string, int> limited;
  const auto guess = [&](int i) {
    const std::string& from = attackers[static_cast<std::size_t>(i) % attackers.size()];
    const TAnswer a = core.CheckIn("alice", kWrong, "box", from, now).Answer;
    ASSERT_TRUE(a == TAnswer::BadAuth || a == TAnswer::Limited) << i;
    if (a == TAnswer::Limited) ++limited[from];
  };
  // The owner's node has checked in before; then 21 guesses at once, then one every 30 s.
  ASSERT_EQ(CheckIn("box", "198.51.100.7").Answer, TAnswer::Ok);
  for (int i = 0; i < 21; ++i) guess(i);
  const TServiceTime end = now + 5 * kMinute;
  for (int tick = 0; now < end; ++tick, now += 10 * 1000) {
    if (tick % 3 == 0) guess(tick / 3);
    ASSERT_EQ(CheckIn("box", "198.51.100.7").Answer, TAnswer::Ok) << (now - kStart) / 1000 << " s in";
  }
  for (const std::string& from : attackers) EXPECT_GT(limited[from], 0) << from;
}

TEST_F(Core, AnUnknownAccountIsRefusedAndLimitedAsAWrongPasswordIs) {
  const TServiceRules rules = Rules();
  for (const std::string account : {"alice", "nobody"}) {
    const std::string from = "10.3.0." + std::to_string(account.size());
    std::vector<TAnswer> answers;
    for (int i = 0; i <= rules.PairBurst; ++i)
      answers.push_back(core.CheckIn(account, kWrong, "box", from, now).Answer);
    std::vector<TAnswer> expected(static_cast<std::size_t>(rules.PairBurst), TAnswer::BadAuth);
    expected.push_back(TAnswer::Limited);
    EXPECT_EQ(answers, expected) << account;
  }
}

TEST(CoreTiming, AnUnknownAccountCostsWhatAWrongPasswordCosts) {
  // The real slow hash on both sides; the limits let every guess through.
  TMemoryStore store;
  TServiceRules rules;
  rules.AddressBurst = rules.PairBurst = rules.AccountBurst = 1000;
  TServiceCore core(store, rules);
  store.AddAccount("alice", TPasswordHash::Make(kDigest), kStart);
  core.CheckIn("nobody", kWrong, "box", "10.0.0.1", kStart);  // the dummy is made on first use
  std::vector<double> known, unknown;
  for (int i = 0; i < 20; ++i)
    for (auto* times : {&known, &unknown}) {
      const auto begin = std::chrono::steady_clock::now();
      const TAnswer a = core.CheckIn(times == &known ? "alice" : "nobody", kWrong, "box", "10.0.0.1", kStart).Answer;
      times->push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
      ASSERT_EQ(a, TAnswer::BadAuth);
    }
  for (auto* times : {&known, &unknown}) std::sort(times->begin(), times->end());
  const double ratio = known[10] / unknown[10];
  EXPECT_GT(ratio, 1 / 1.5) << known[10] << " s against " << unknown[10] << " s";
  EXPECT_LT(ratio, 1.5) << known[10] << " s against " << unknown[10] << " s";
}

TEST_F(Core, ARememberedVerificationEndsWithItsTimeAndWithAPasswordChange) {
  TVerificationCache cache(2 * 60 * kMinute, 10);
  cache.Remember("alice", "hash", kDigest, now);
  struct Case {
    const char* what;
    std::string account, hash, digest;
    TServiceTime at;
    bool remembered;
  } cases[] = {
      {"the same, later", "ALICE", "hash", UpperCase(kDigest), now + 2 * 60 * kMinute - 1, true},
      {"another digest", "alice", "hash", kWrong, now, false},
      {"another stored hash", "alice", "hash2", kDigest, now, false},
      {"another account", "bob", "hash", kDigest, now, false},
      {"its time is up", "alice", "hash", kDigest, now + 2 * 60 * kMinute, false},
      {"and it was forgotten", "alice", "hash", kDigest, now, false},
  };
  for (const Case& c : cases) EXPECT_EQ(cache.Remembered(c.account, c.hash, c.digest, c.at), c.remembered) << c.what;
  EXPECT_EQ(cache.Size(), 0u);

  ASSERT_EQ(CheckIn("box", "10.0.0.1").Answer, TAnswer::Ok);
  const std::string newDigest = DigestToHex(MD5OfString("new secret"));
  ASSERT_NO_THROW(core.ChangePassword("alice", newDigest));
  EXPECT_EQ(CheckIn("box", "10.0.0.1").Answer, TAnswer::BadAuth) << "the old password was remembered, not the account";
  EXPECT_EQ(CheckIn("box", "10.0.0.1", newDigest).Answer, TAnswer::Ok);
  EXPECT_NO_THROW(core.RemoveAccount("alice"));
  EXPECT_EQ(CheckIn("box", "10.0.0.1", newDigest).Answer, TAnswer::BadAuth);
}

TEST_F(Core, ARefusedChangeRaisesItsKindSaysWhyAndChangesNothing) {
  const std::string alices = store.FindAccount("alice")->PasswordHash;
  const std::string key = core.MakeNodeKey("alice", "box", now);
  struct Case {
    const char* what;
    std::function<void()> change;
    const char* kind;
    std::string message;
  } cases[] = {
      {"a new name that is no DNS label", [&] { core.AddAccount("a_b", kDigest, now); }, "EBadName",
       "an account name is 1 to 63 letters, digits and hyphens, not starting or ending with a hyphen"},
      {"a new account without a digest", [&] { core.AddAccount("carol", "secret", now); }, "EBadName",
       "the password's digest is no MD5 digest"},
      {"a name taken in another case", [&] { core.AddAccount("ALICE", kDigest, now); }, "EAccountExists",
       "account ALICE exists already"},
      {"a new password without a digest", [&] { core.ChangePassword("alice", kDigest + "0"); }, "EBadName",
       "the password's digest is no MD5 digest"},
      {"a new password for nobody", [&] { core.ChangePassword("nobody", kWrong); }, "ENoSuchAccount",
       "there is no account nobody"},
      {"removing nobody", [&] { core.RemoveAccount("nobody"); }, "ENoSuchAccount", "there is no account nobody"},
      {"keys only for nobody", [&] { core.SetKeysOnly("nobody", true); }, "ENoSuchAccount",
       "there is no account nobody"},
      {"a key for nobody's node", [&] { core.MakeNodeKey("nobody", "box", now); }, "ENoSuchAccount",
       "there is no account nobody"},
      {"a key for a node without a name", [&] { core.MakeNodeKey("alice", "", now); }, "EBadName",
       "the node name is empty"},
      {"a key for a name no node checks in with", [&] { core.MakeNodeKey("alice", "a\nb", now); }, "EBadName",
       "the node name holds a control character"},
      {"removing a key never made", [&] { core.RemoveNodeKey("ALICE", "pc"); }, "ENoNodeKey",
       "node pc of alice has no key"},
      {"removing the key of nobody's node", [&] { core.RemoveNodeKey("nobody", "box"); }, "ENoSuchAccount",
       "there is no account nobody"},
  };
  for (const Case& c : cases) {
    try {
      c.change();
      ADD_FAILURE() << c.what << ": done";
    } catch (const EAccountChange& e) {
      EXPECT_STREQ(e.ClassName(), c.kind) << c.what;
      EXPECT_EQ(e.Message(), c.message) << c.what;
    }
  }
  EXPECT_EQ(store.Accounts().size(), 2u);
  EXPECT_EQ(store.FindAccount("alice")->PasswordHash, alices);
  EXPECT_FALSE(store.FindAccount("alice")->KeysOnly);
  EXPECT_EQ(core.CheckIn("alice", TNodeKey::Digest(key), "box", "192.0.2.1", now).Answer, TAnswer::Ok)
      << "the key made first still works";
}

TEST_F(Core, OnAThreadThatMustNotWaitTheSlowHashIsLeftToAnotherAndNothingChangesMeanwhile) {
  {
    TNoWaitScope loop;
    for (int i = 0; i < 30; ++i) EXPECT_THROW(CheckIn("box", "10.0.0.1", kWrong), EWouldWait);
    EXPECT_THROW(core.CheckIn("nobody", kDigest, "box", "10.0.0.1", now), EWouldWait);
    EXPECT_THROW(CheckIn("box", "10.0.0.1"), EWouldWait);
    EXPECT_EQ(core.CheckIn("bob", kDigest, "box", "10.0.0.1", now).Answer, TAnswer::Ok) << "no slow hash";
  }
  EXPECT_TRUE(store.Nodes(1).empty());
  ASSERT_EQ(CheckIn("box", "10.0.0.1").Answer, TAnswer::Ok) << "no failure was counted";
  {
    TNoWaitScope loop;
    EXPECT_EQ(CheckIn("box", "10.0.0.2").Answer, TAnswer::Ok) << "remembered";
    TNoWaitScope full(TNoWaitScope::TMode::Refuse);
    EXPECT_EQ(CheckIn("box", "10.0.0.2", kWrong).Answer, TAnswer::Unavailable) << "busy, as when too many hashes wait";
  }
}

TEST_F(Core, AStoreThatCannotWorkIsAnsweredUnavailableAndTheCoreGoesOnAfterwards) {
  ASSERT_EQ(CheckIn("box", "10.0.0.1").Answer, TAnswer::Ok);
  store.failing = true;
  const TCheckInResult r = CheckIn("box", "10.0.0.2");
  EXPECT_EQ(r.Answer, TAnswer::Unavailable);
  EXPECT_EQ(r.Problem, "database is locked");
  EXPECT_EQ(Update("pc.alice.dyn.example.org"), std::vector<std::string>{"911"});
  store.failing = false;
  EXPECT_EQ(CheckIn("box", "10.0.0.2").Answer, TAnswer::Ok);
  EXPECT_EQ(store.Nodes(store.FindAccount("alice")->Id)[0].History.size(), 1u) << "nothing recorded twice";
}

TEST_F(Core, DynDns2UpdatesAnswerEachHostAsThatProtocolDoes) {
  using V = std::vector<std::string>;
  EXPECT_EQ(Update("pc.alice.dyn.example.org", "203.0.113.5"), V{"good 203.0.113.5"});
  EXPECT_EQ(Update("PC.Alice.Dyn.Example.Org.", "203.0.113.5"), V{"nochg 203.0.113.5"});
  EXPECT_EQ(Update("pc.alice.dyn.example.org"), V{"good 192.0.2.9"}) << "no myip: the caller's address";
  EXPECT_EQ(Update("pc.alice.dyn.example.org", "300.1.1.1"), V{"nochg 192.0.2.9"}) << "a myip that is none";
  EXPECT_EQ(Update("pc.alice.dyn.example.org", "2001:db8::1"), V{"good 2001:db8::1"});
  EXPECT_EQ(
      Update("pc.alice.dyn.example.org,pc.bob.dyn.example.org, x.alice.example.com,nodots,-x.alice.dyn.example.org",
             "2001:db8::1"),
      (V{"nochg 2001:db8::1", "nohost", "nohost", "notfqdn", "notfqdn"}));
  EXPECT_EQ(Update("a.b.alice.dyn.example.org"), V{"nohost"});
  EXPECT_EQ(Update(""), V{"notfqdn"});
  std::string many;
  for (int i = 0; i <= 20; ++i) many += "n" + std::to_string(i) + ".alice.dyn.example.org,";
  EXPECT_EQ(Update(many), V{"numhost"});
  EXPECT_EQ(Update("pc.alice.dyn.example.org", "", "alice", kWrong), V{"badauth"});
  EXPECT_EQ(Update("pc.nobody.dyn.example.org", "", "nobody"), V{"badauth"});
  for (int i = 0; i < 10; ++i) Update("pc.alice.dyn.example.org", "", "alice", kWrong);
  EXPECT_EQ(Update("pc.alice.dyn.example.org"), V{"abuse"});
}

TEST_F(Core, DynDns2AddressesUpdateEachTheirFamilyAndNothingWhenTheyCannotBeMeant) {
  struct {
    std::string myip, myipv6, answer;
    std::string ipv4, ipv6;  // what the node holds afterwards
  } const cases[] = {
      {"203.0.113.5,2001:db8::1", "", "good 203.0.113.5,2001:db8::1", "203.0.113.5", "2001:db8::1"},
      {" 2001:DB8::1 , 203.0.113.5 ", "", "nochg 203.0.113.5,2001:db8::1", "203.0.113.5", "2001:db8::1"},
      {"203.0.113.6", "", "good 203.0.113.6", "203.0.113.6", "2001:db8::1"},
      {"", "2001:db8::2", "good 2001:db8::2", "203.0.113.6", "2001:db8::2"},
      {"203.0.113.6", "2001:db8::2", "nochg 203.0.113.6,2001:db8::2", "203.0.113.6", "2001:db8::2"},
      {"2001:db8::3", "2001:db8::3", "good 2001:db8::3", "203.0.113.6", "2001:db8::3"},
      {"::ffff:203.0.113.7,2001:db8::3", "", "good 203.0.113.7,2001:db8::3", "203.0.113.7", "2001:db8::3"},
      {"garbage", "2001:db8::3", "nochg 2001:db8::3", "203.0.113.7", "2001:db8::3"},
      // What cannot be meant changes nothing, neither family.
      {"203.0.113.8,203.0.113.9", "", "badagent", "203.0.113.7", "2001:db8::3"},
      {"2001:db8::8,2001:db8::9", "", "badagent", "203.0.113.7", "2001:db8::3"},
      {"203.0.113.8,2001:db8::8,2001:db8::9", "", "badagent", "203.0.113.7", "2001:db8::3"},
      {"203.0.113.8,garbage", "", "badagent", "203.0.113.7", "2001:db8::3"},
      {"203.0.113.8,", "", "badagent", "203.0.113.7", "2001:db8::3"},
      {"203.0.113.8,203.0.113.8", "", "badagent", "203.0.113.7", "2001:db8::3"},
      {"203.0.113.8", "203.0.113.9", "badagent", "203.0.113.7", "2001:db8::3"},
      {"203.0.113.8,2001:db8::8", "2001:db8::9", "badagent", "203.0.113.7", "2001:db8::3"},
      {"203.0.113.8", "garbage", "badagent", "203.0.113.7", "2001:db8::3"},
  };
  for (const auto& c : cases) {
    now += kMinute;
    EXPECT_EQ(Update("pc.alice.dyn.example.org", c.myip, "alice", kDigest, c.myipv6),
              std::vector<std::string>{c.answer})
        << "myip=" << c.myip << " myipv6=" << c.myipv6;
    const TNodeView node = core.Nodes(*store.FindAccount("alice"), now).at(0);
    EXPECT_EQ(node.IPv4.Address, c.ipv4) << "myip=" << c.myip << " myipv6=" << c.myipv6;
    EXPECT_EQ(node.IPv6.Address, c.ipv6) << "myip=" << c.myip << " myipv6=" << c.myipv6;
  }
}

TEST_F(Core, EachFamilyKeepsItsAddressCheckInAndHistoryAndDnsHearsWhenOneLeaves) {
  const TServiceTime stale = Rules().StaleAfter;
  ASSERT_EQ(CheckIn("box", "198.51.100.1").Answer, TAnswer::Ok);
  now += kMinute;
  ASSERT_EQ(CheckIn("box", "2001:db8::1").Answer, TAnswer::Ok);
  const TServiceTime v6Since = now;
  now += kMinute;
  ASSERT_EQ(CheckIn("box", "198.51.100.2").Answer, TAnswer::Ok);
  ASSERT_EQ(changes.size(), 3u) << "the first check-in, the first IPv6 address, the new IPv4 one";
  EXPECT_EQ(changes[1].Previous, "") << "IPv6 had no address before";
  EXPECT_EQ(changes[2].Previous, "198.51.100.1") << "the previous address of the same family";

  TNodeView node = core.Nodes(*store.FindAccount("alice"), now).at(0);
  EXPECT_EQ(node.Address, "198.51.100.2") << "the latest of either family";
  EXPECT_EQ(node.IPv6.Address, "2001:db8::1");
  EXPECT_EQ(node.IPv6.LastCheckIn, v6Since);
  EXPECT_EQ(node.IPv4.LastCheckIn, now);
  ASSERT_EQ(node.History.size(), 2u);
  EXPECT_EQ(node.History[0].Family, TAddressFamily::IPv4);
  EXPECT_EQ(node.History[0].From, "198.51.100.1");
  EXPECT_EQ(node.History[1].Family, TAddressFamily::IPv6);
  EXPECT_EQ(node.History[1].From, "") << "the family's first address";

  // IPv4 goes on alone: nothing to tell until IPv6 has been silent for longer than stale-after.
  now = v6Since + stale;
  ASSERT_EQ(CheckIn("box", "198.51.100.2").Answer, TAnswer::Ok);
  EXPECT_EQ(changes.size(), 3u);
  EXPECT_FALSE(TServiceCore::FamilyLeft(core.Nodes(*store.FindAccount("alice"), now).at(0), TAddressFamily::IPv6, stale));
  now += 1;
  ASSERT_EQ(CheckIn("box", "198.51.100.2").Answer, TAnswer::Ok);
  EXPECT_EQ(changes.size(), 4u) << "IPv6 has left: its record goes";
  node = core.Nodes(*store.FindAccount("alice"), now).at(0);
  EXPECT_TRUE(TServiceCore::FamilyLeft(node, TAddressFamily::IPv6, stale));
  EXPECT_FALSE(TServiceCore::FamilyLeft(node, TAddressFamily::IPv4, stale));
  EXPECT_EQ(node.IPv6.Address, "2001:db8::1") << "the page still shows where it was";
  // Back over IPv6 at the same address: told again, so that the record comes back.
  now += kMinute;
  ASSERT_EQ(CheckIn("box", "2001:db8::1").Answer, TAnswer::Ok);
  EXPECT_EQ(changes.size(), 5u);
  EXPECT_FALSE(TServiceCore::FamilyLeft(core.Nodes(*store.FindAccount("alice"), now).at(0), TAddressFamily::IPv6, stale));
}

TEST(CoreFailureLimit, KeepsTheRulesOfEveryFailureCounts) {
  ExpectFailureCountsContract([](const TFailureRule& rule) { return std::make_shared<TFailureLimit>(rule); });
}

namespace {
// A store that shares sessions and failure counts as a database shared by
// several instances does, and counts the asks for the verification key.
class TSharingStore : public TMemoryStore {
 public:
  ISessionStore* SharedSessions() override { return &sessions; }
  IFailureCounts* SharedFailureCounts(std::string_view kind, const TFailureRule& rule) override {
    std::unique_ptr<TFailureLimit>& made = counts[std::string(kind)];
    if (!made) made = std::make_unique<TFailureLimit>(rule);
    return made.get();
  }
  std::string VerificationKey(std::string_view candidate) override {
    ++keyAsks;
    if (keyUnavailable) throw EStoreUnavailable("database is locked");
    return TMemoryStore::VerificationKey(candidate);
  }
  TSessions sessions;
  std::map<std::string, std::unique_ptr<TFailureLimit>> counts;
  int keyAsks = 0;
  bool keyUnavailable = false;
};

TServiceRules CheapRules() {
  TServiceRules rules;
  rules.DummyHashIterations = kTestIterations;
  return rules;
}
}  // namespace

TEST(CoreSharedStore, TwoInstancesOnOneStoreShareSessionsAndFailures) {
  TSharingStore store;
  store.AddAccount("alice", TPasswordHash::Make(kDigest, kTestIterations), kStart);
  store.AddAccount("bob", TPasswordHash::Plain(kDigest), kStart);
  TServiceCore one(store, CheapRules()), other(store, CheapRules());
  const std::string changed = DigestToHex(MD5OfString("changed"));
  // A sign-in on one is good on the other, until a password changes or the account goes on either.
  const std::string alices = one.Sessions().Begin(*store.FindAccount("alice"), kStart);
  const std::string bobs = one.Sessions().Begin(*store.FindAccount("bob"), kStart);
  EXPECT_TRUE(other.Sessions().Find(alices, kStart + 1));
  ASSERT_NO_THROW(other.ChangePassword("alice", changed));
  EXPECT_FALSE(one.Sessions().Find(alices, kStart + 1));
  ASSERT_NO_THROW(other.RemoveAccount("bob"));
  EXPECT_FALSE(one.Sessions().Find(bobs, kStart + 1));

  // A guesser spread over both gets no more tries than on one; the owner elsewhere is not held back.
  for (int i = 0; i < TServiceRules{}.PairBurst; ++i)
    EXPECT_EQ(one.CheckIn("alice", kWrong, "box", "192.0.2.66", kStart).Answer, TAnswer::BadAuth);
  EXPECT_EQ(other.CheckIn("alice", changed, "box", "192.0.2.66", kStart).Answer, TAnswer::Limited)
      << "even with the right password";
  EXPECT_EQ(other.CheckIn("alice", changed, "box", "192.0.2.7", kStart).Answer, TAnswer::Ok);
  // The verification key is asked for once per instance, never per check-in.
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(other.CheckIn("alice", changed, "box", "192.0.2.7", kStart).Answer, TAnswer::Ok);
  EXPECT_EQ(store.keyAsks, 2);
}

TEST(CoreSharedStore, AVerificationKeyOutOfReachLeavesSignInsWorkingAndIsAskedForAgain) {
  TSharingStore store;
  store.AddAccount("alice", TPasswordHash::Make(kDigest, kTestIterations), kStart);
  store.keyUnavailable = true;
  TServiceCore core(store, CheapRules());
  EXPECT_EQ(core.CheckIn("alice", kDigest, "box", "192.0.2.7", kStart).Answer, TAnswer::Ok);
  EXPECT_EQ(core.CheckIn("alice", kDigest, "box", "192.0.2.7", kStart).Answer, TAnswer::Ok);
  EXPECT_EQ(store.keyAsks, 2);
  store.keyUnavailable = false;
  EXPECT_EQ(core.CheckIn("alice", kDigest, "box", "192.0.2.7", kStart).Answer, TAnswer::Ok);
  EXPECT_EQ(core.CheckIn("alice", kDigest, "box", "192.0.2.7", kStart).Answer, TAnswer::Ok);
  EXPECT_EQ(store.keyAsks, 3);
}

namespace {
// Counts the core's reads of accounts; a check-in as an account read earlier
// is one call, as a server's store makes it.
class TCountingStore : public TMemoryStore {
 public:
  std::optional<TAccountRecord> FindAccount(std::string_view name) override {
    ++reads;
    return TMemoryStore::FindAccount(name);
  }
  TCheckInAs RecordCheckInAs(const TAccountRecord& expected, std::string_view node, std::string_view address,
                             TServiceTime now, std::size_t maxNodes) override {
    ++reads;
    TCheckInAs as;
    as.Account = TMemoryStore::FindAccount(expected.Name);
    if (as.Account && SameAccount(*as.Account, expected))
      as.Record = RecordCheckIn(as.Account->Id, node, address, now, maxNodes);
    return as;
  }
  // Check-ins recorded for the account of that name as it is now.
  std::int64_t CheckIns(const std::string& name) {
    const std::optional<TAccountRecord> account = TMemoryStore::FindAccount(name);
    std::int64_t sum = 0;
    if (account)
      for (const TNodeRecord& node : Nodes(account->Id)) sum += node.CheckIns;
    return sum;
  }
  int reads = 0;
};
}  // namespace

// A remembered check-in reads its account and is recorded in one store
// call; whatever another instance changed in the store meanwhile counts at
// once, since the store records only for the account as the core saw it.
TEST(CoreAccountHints, ARememberedCheckInIsOneStoreCallAndSeesChangesMadeElsewhere) {
  TCountingStore store;
  store.AddAccount("alice", TPasswordHash::Make(kDigest, kTestIterations), kStart);
  TServiceCore core(store, CheapRules());
  const std::string newDigest = DigestToHex(MD5OfString("new secret"));
  const std::string newHash = TPasswordHash::Make(newDigest, kTestIterations);
  const struct {
    const char* what;
    std::function<void()> elsewhere;
    std::string digest;
    TAnswer answer;
    bool recorded;
  } steps[] = {
      {"the first check-in", [] {}, kDigest, TAnswer::Ok, true},
      {"a remembered one", [] {}, kDigest, TAnswer::Ok, true},
      {"the old password after a change", [&] { store.SetPasswordHash("alice", newHash); }, kDigest,
       TAnswer::BadAuth, false},
      {"the new one", [] {}, newDigest, TAnswer::Ok, true},
      {"the new one remembered", [] {}, newDigest, TAnswer::Ok, true},
      {"a password once keys only", [&] { store.SetKeysOnly("alice", true); }, newDigest, TAnswer::BadAuth, false},
      {"a password again", [&] { store.SetKeysOnly("alice", false); }, newDigest, TAnswer::Ok, true},
      {"a removed account", [&] { store.RemoveAccount("alice"); }, newDigest, TAnswer::BadAuth, false},
      {"an account made again", [&] { store.AddAccount("alice", newHash, kStart); }, newDigest, TAnswer::Ok, true},
      {"and remembered", [] {}, newDigest, TAnswer::Ok, true},
  };
  TServiceTime now = kStart;
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    step.elsewhere();
    const std::int64_t before = store.CheckIns("alice");
    store.reads = 0;
    EXPECT_EQ(core.CheckIn("alice", step.digest, "box", "192.0.2.7", now += kMinute).Answer, step.answer);
    EXPECT_EQ(store.reads, 1) << "the account is read once, whichever way";
    EXPECT_EQ(store.CheckIns("alice") - before, step.recorded ? 1 : 0);
  }
}

TEST(CoreAccountHints, AFullTableMakesRoomAndForgottenNamesAreNoneWhateverTheirCase) {
  TAccountHints hints(2);
  hints.Keep({1, "Alice", "h1", 0, 0, false});
  hints.Keep({2, "bob", "h2", 0, 0, false});
  hints.Keep({1, "alice", "h3", 0, 0, true});
  EXPECT_EQ(hints.Size(), 2u) << "the same name, kept anew";
  EXPECT_EQ(hints.Find("ALICE")->PasswordHash, "h3");
  hints.Keep({3, "carol", "h4", 0, 0, false});
  EXPECT_EQ(hints.Size(), 2u) << "full: one made room";
  EXPECT_TRUE(hints.Find("carol"));
  hints.Forget("CAROL");
  EXPECT_FALSE(hints.Find("carol"));
  TAccountHints none(0);
  none.Keep({1, "alice", "h1", 0, 0, false});
  EXPECT_FALSE(none.Find("alice"));
}

TEST(CoreNames, RulesForNamesAndDigests) {
  const std::string notALabel =
      "an account name is 1 to 63 letters, digits and hyphens, not starting or ending with a hyphen";
  struct Case {
    std::string name;
    std::string refusal;  // empty: taken
  } cases[] = {
      {"alice-2", ""},
      {std::string(63, 'a'), ""},  // as long as a DNS label may be
      {std::string(64, 'a'), notALabel},
      {"", notALabel},
      {"-a", notALabel},
      {"a-", notALabel},
      {"a.b", notALabel},
      {"a_b", notALabel},
      {"ä", notALabel},
      {"a b", notALabel},
  };
  for (const Case& c : cases) {
    try {
      CheckNewAccountName(c.name);
      EXPECT_EQ(c.refusal, "") << c.name << ": taken";
    } catch (const EBadName& e) {
      EXPECT_EQ(e.Message(), c.refusal) << c.name;
    }
  }
  EXPECT_TRUE(IsDigest(kDigest));
  EXPECT_FALSE(IsDigest(kDigest + "0"));
  EXPECT_FALSE(IsDigest(kDigest.substr(1) + "g"));
}

TEST(CoreNames, DynDns2HostNamesNameANodeOfAnAccountInTheZone) {
  struct Case {
    const char* host;
    TDynDns2Host::TKind kind;
    const char* node;
    const char* account;
  } cases[] = {
      {"pc.alice.dyn.example.org", TDynDns2Host::Named, "pc", "alice"},
      {"PC.Alice.DYN.example.org.", TDynDns2Host::Named, "PC", "Alice"},
      {"alice.dyn.example.org", TDynDns2Host::NoHost, "", ""},
      {"a.pc.alice.dyn.example.org", TDynDns2Host::NoHost, "", ""},
      {"pc.alice.example.org", TDynDns2Host::NoHost, "", ""},
      {"pc.alicedyn.example.org", TDynDns2Host::NoHost, "", ""},
      {"localhost", TDynDns2Host::NotFqdn, "", ""},
      {"pc..alice.dyn.example.org", TDynDns2Host::NotFqdn, "", ""},
      {"p_c.alice.dyn.example.org", TDynDns2Host::NotFqdn, "", ""},
      {".", TDynDns2Host::NotFqdn, "", ""},
  };
  for (const Case& c : cases) {
    const TDynDns2Host h = ParseDynDns2Host(c.host, "dyn.example.org");
    EXPECT_EQ(h.Kind, c.kind) << c.host;
    EXPECT_EQ(h.Node, c.node) << c.host;
    EXPECT_EQ(h.Account, c.account) << c.host;
  }
  // A host label may be 63 bytes long, not one more.
  const std::string longest(63, 'n');
  EXPECT_EQ(ParseDynDns2Host(longest + ".alice.dyn.example.org", "dyn.example.org").Node, longest);
  EXPECT_EQ(ParseDynDns2Host(longest + "n.alice.dyn.example.org", "dyn.example.org").Kind, TDynDns2Host::NotFqdn);
  EXPECT_EQ(ParseDynDns2Host("pc.alice.dyn.example.org", "").Kind, TDynDns2Host::NoHost) << "no zone, no host";
  EXPECT_EQ(NormalZone("Dyn.Example.ORG."), "dyn.example.org");
  EXPECT_EQ(NormalZone("bad..zone"), "");
}

TEST(CorePasswordHash, TheSlowHashVerifiesOnlyItsDigestAndNeverAnOutOfBoundsText) {
  const std::string a = TPasswordHash::Make(kDigest, kTestIterations),
                    b = TPasswordHash::Make(kDigest, kTestIterations);
  EXPECT_NE(a, b) << "each hash has its own salt";
  EXPECT_EQ(a.rfind("pbkdf2-sha256$1000$", 0), 0u) << a;
  EXPECT_EQ(a.find(kDigest), std::string::npos);
  EXPECT_TRUE(TPasswordHash::Verify(a, kDigest));
  EXPECT_TRUE(TPasswordHash::Verify(a, UpperCase(kDigest)));
  EXPECT_FALSE(TPasswordHash::Verify(a, kWrong));
  EXPECT_TRUE(TPasswordHash::Storable(a));
  EXPECT_FALSE(TPasswordHash::Storable(TPasswordHash::Plain(kDigest)));
  const std::string salt = a.substr(19, 32), hash = a.substr(52);
  for (const std::string& bad : std::vector<std::string>{
           std::string("pbkdf2-sha256$99999999999$") + salt + "$" + hash, "pbkdf2-sha256$0$" + salt + "$" + hash,
           "pbkdf2-sha256$1000$$" + hash, "pbkdf2-sha256$1000$" + salt + "$" + hash.substr(2),
           "pbkdf2-sha256$1000$" + salt + "$" + UpperCase(hash), "pbkdf2-sha256$1000$" + salt, "scrypt$1$" + salt,
           std::string(""), std::string("plain$")})
    EXPECT_FALSE(TPasswordHash::Verify(bad, kDigest)) << bad;
}

TEST(CoreAccountList, LinesAreCheckedAndRead) {
  const std::vector<TListedAccount> accounts =
      ReadAccountList("# accounts\n\n  ann " + kDigest + "\nbob:" + UpperCase(kDigest) + " \r\n", "f");
  ASSERT_EQ(accounts.size(), 2u);
  EXPECT_EQ(accounts[1].Name, "bob");
  EXPECT_EQ(accounts[1].Digest, kDigest);
  const std::pair<std::string, const char*> bad[] = {
      {"ann " + kDigest + "\nann plaintext\n", "f:2: expected a name and a 32-digit MD5 hex digest"},
      {"a\x01 " + kDigest + "\n", "f:1: the account name holds a control character"},
  };
  for (const auto& [text, message] : bad) {
    try {
      ReadAccountList(text, "f");
      ADD_FAILURE() << message;
    } catch (const EAccountList& e) {
      EXPECT_EQ(e.Message(), message);
    }
  }
}

TEST(CoreAccountList, AFileIsReadWholeAndAnEmptyOneHasNoAccounts) {
  EXPECT_TRUE(ReadAccountFile("/dev/null").empty());
  const std::pair<const char*, const char*> bad[] = {
      {"/nonexistent/accounts", "cannot read /nonexistent/accounts"},
      {"/", "cannot read /"},
      {"/dev/zero", "/dev/zero is larger than 64 MiB: not an accounts file"},
  };
  for (const auto& [path, message] : bad) {
    try {
      ReadAccountFile(path);
      ADD_FAILURE() << path;
    } catch (const EAccountList& e) {
      EXPECT_EQ(e.Message(), message);
    }
  }
}

TEST_F(Core, APasswordChangedOnThePageAsksTheOldOneUnderTheSignInLimits) {
  const std::string newDigest = DigestToHex(MD5OfString("new secret"));
  const TAccountRecord alice = *store.FindAccount("alice");
  TAccountRecord replaced = alice;
  replaced.Id += 100;  // an account of the same name made anew since
  // Remembered from here on.
  ASSERT_EQ(CheckIn("box", "10.0.0.1").Answer, TAnswer::Ok);
  for (int i = 0; i < Rules().PairBurst; ++i) core.ChangeOwnPassword(alice, kWrong, newDigest, "192.0.2.66", now);
  struct Case {
    const char* what;
    const TAccountRecord& account;
    std::string oldDigest, newDigest, from;
    TAnswer answer;
  } cases[] = {
      {"a new digest that is none", alice, kDigest, "new secret", "192.0.2.1", TAnswer::BadRequest},
      {"the wrong old password", alice, kWrong, newDigest, "192.0.2.1", TAnswer::BadAuth},
      {"an account that is no longer this one", replaced, kDigest, newDigest, "192.0.2.1", TAnswer::BadAuth},
      {"from an address that failed too often", alice, kDigest, newDigest, "192.0.2.66", TAnswer::Limited},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(core.ChangeOwnPassword(c.account, c.oldDigest, c.newDigest, c.from, now).Answer, c.answer) << c.what;
    EXPECT_EQ(store.FindAccount("alice")->PasswordHash, alice.PasswordHash) << c.what << ": nothing changed";
  }
  const TSignIn r = core.ChangeOwnPassword(alice, kDigest, newDigest, "192.0.2.1", now);
  ASSERT_EQ(r.Answer, TAnswer::Ok);
  EXPECT_EQ(r.Account.PasswordHash, store.FindAccount("alice")->PasswordHash);
  EXPECT_EQ(CheckIn("box", "10.0.0.1").Answer, TAnswer::BadAuth) << "what was remembered of the old one ended";
}

TEST(CoreNames, ANewPasswordFollowsTheAccountCommandsRules) {
  const std::string longest(MaxPasswordBytes, 'x');
  struct Case {
    std::string password, again;
    std::string refusal;  // empty: taken
  } cases[] = {
      {longest, longest, ""},
      {longest + "x", longest + "x", "the password is longer than 4096 bytes"},
      {"", "", "no password given"},
      {"se\rcret", "se\rcret", "the password holds a line break"},
      {"secret\n", "secret\n", "the password holds a line break"},
      {"secret", "secreT", "the two passwords differ"},
  };
  for (const Case& c : cases) {
    try {
      CheckNewPassword(c.password, c.again);
      EXPECT_EQ(c.refusal, "") << c.password.substr(0, 10) << ": taken";
    } catch (const EBadPassword& e) {
      EXPECT_EQ(e.Message(), c.refusal) << c.password.substr(0, 10);
    }
  }
}

TEST(CoreNames, ANameInARequestIsRefusedSayingWhatItIs) {
  struct Case {
    const char* what;
    std::string name;
    std::string refusal;  // empty: taken
  } cases[] = {
      {"the node name", "", ""},
      {"the node name", std::string(64, 'n'), ""},
      {"the node name", "B\xc3\xbcro-PC \xf0\x9f\x96\xa5", ""},
      {"the node name", std::string(65, 'n'), "the node name is longer than 64 bytes"},
      {"the account name", "eve\r", "the account name holds a control character"},
      {"the account name", "eve\xc2\x9f", "the account name holds a control character"},
      {"the account name", "eve\xed\xa0\x80", "the account name is not UTF-8 text"},     // a surrogate
      {"the account name", "ev\xf4\x90\x80\x80", "the account name is not UTF-8 text"},  // past U+10FFFF
      {"the account name", "eve\xe2\x82", "the account name is not UTF-8 text"},         // cut short
  };
  for (const Case& c : cases) {
    try {
      CheckRequestName(c.what, c.name);
      EXPECT_EQ(c.refusal, "") << c.name << ": taken";
    } catch (const EBadName& e) {
      EXPECT_EQ(e.Message(), c.refusal) << c.name;
    }
  }
}
