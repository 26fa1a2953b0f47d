// Node keys: their form, their hash, every door they open and the ones they
// do not, on the core with a store in memory; and what the database file
// keeps of them.
#include "service/core/NodeKey.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "runtime/SysUtils.h"
#include "service/core/PasswordHash.h"
#include "service/core/ServiceCore.h"
#include "service/store/MemoryStore.h"
#include "service/store/SqliteStore.h"
#include "settings/md5.h"
#include "tests/support/TempDir.h"

namespace {
const std::string kPassword = DigestToHex(MD5OfString("secret"));
constexpr TServiceTime kStart = 1700000000000;

TServiceRules Rules() {
  TServiceRules rules;
  rules.Zone = "dyn.example.org";
  rules.DummyHashIterations = 1000;
  return rules;
}

class Keys : public ::testing::Test {
 protected:
  Keys() : core(store, Rules()) {
    store.AddAccount("alice", TPasswordHash::Make(kPassword, 1000), kStart);
    store.AddAccount("bob", TPasswordHash::Make(kPassword, 1000), kStart);
    key = core.MakeNodeKey("alice", "box", kStart);
    digest = TNodeKey::Digest(key);
  }
  // The one answer of a door, as a word: "Ok"/"BadAuth" for a sign-in, the dyndns2 lines joined.
  std::string Through(const std::string& door, const std::string& user, const std::string& where,
                      const std::string& secret) {
    if (door == "checkin") return Word(core.CheckIn(user, secret, where, "192.0.2.1", now).Answer);
    if (door == "signin") return Word(core.SignIn(user, secret, "192.0.2.1", now).Answer);
    std::string lines;
    for (const TDynDns2Line& line : core.DynDns2Update(user, secret, where, "", "", "192.0.2.1", now))
      lines += (lines.empty() ? "" : ",") + line.Answer.substr(0, line.Answer.find(' '));
    return lines;
  }
  static std::string Word(TAnswer a) {
    return a == TAnswer::Ok ? "Ok" : a == TAnswer::BadAuth ? "BadAuth" : a == TAnswer::Limited ? "Limited" : "other";
  }

  TMemoryStore store;
  TServiceCore core;
  std::string key, digest;
  TServiceTime now = kStart;
};
}  // namespace

TEST(NodeKey, AKeyIsRandomEasyToTypeAndItsHashVerifiesOnlyItsOwnNode) {
  const std::string key = TNodeKey::Make();
  EXPECT_TRUE(std::regex_match(key, std::regex("[a-z2-7]{4}(-[a-z2-7]{4}){7}"))) << key;
  EXPECT_NE(TNodeKey::Make(), key);
  const std::string secret = TNodeKey::MakeSecret(), digest = TNodeKey::Digest(key);
  EXPECT_EQ(digest, DigestToHex(MD5OfString(key))) << "what the program sends for it";
  const std::string stored = TNodeKey::Hash(secret, 7, "Box", digest);
  EXPECT_EQ(stored.find(digest), std::string::npos);
  struct {
    std::string stored, secret;
    std::int64_t account;
    std::string node, digest;
    bool verifies;
  } cases[] = {
      {stored, secret, 7, "box", digest, true},
      {stored, secret, 7, "BOX", UpperCase(digest), true},
      {stored, secret, 7, "pc", digest, false},
      {stored, secret, 8, "box", digest, false},
      {stored, TNodeKey::MakeSecret(), 7, "box", digest, false},
      {stored, secret, 7, "box", DigestToHex(MD5OfString("other")), false},
      {stored.substr(1), secret, 7, "box", digest, false},
      {"", secret, 7, "box", digest, false},
      {stored, "", 7, "box", digest, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(TNodeKey::Verify(c.stored, c.secret, c.account, c.node, c.digest), c.verifies) << c.node << c.account;
}

TEST_F(Keys, AKeyUpdatesItsOwnNodeOnTheUpdateDoorsAndOpensNothingElse) {
  struct {
    const char* door;
    std::string user, where;
    std::string secret;
    bool keysOnly;
    std::string expected;
  } cases[] = {
      {"checkin", "alice", "box", digest, false, "Ok"},
      {"checkin", "Alice", "BOX", UpperCase(digest), false, "Ok"},
      {"checkin", "alice", "pc", digest, false, "BadAuth"},
      {"checkin", "bob", "box", digest, false, "BadAuth"},
      {"checkin", "alice", "box", kPassword, false, "Ok"},
      {"signin", "alice", "", digest, false, "BadAuth"},
      {"dyndns2", "alice", "box.alice.dyn.example.org", digest, false, "nochg"},
      {"dyndns2", "alice", "box.alice.dyn.example.org,pc.alice.dyn.example.org", digest, false, "nochg,nohost"},
      {"dyndns2", "alice", "pc.alice.dyn.example.org", digest, false, "badauth"},
      {"dyndns2", "box.alice.dyn.example.org", "box.alice.dyn.example.org", digest, false, "nochg"},
      {"dyndns2", "BOX.alice.dyn.example.org.", "pc.alice.dyn.example.org", digest, false, "nohost"},
      {"dyndns2", "pc.alice.dyn.example.org", "box.alice.dyn.example.org", digest, false, "badauth"},
      {"dyndns2", "box.alice.dyn.example.org", "box.alice.dyn.example.org", kPassword, false, "badauth"},
      {"dyndns2", "alice", "pc.alice.dyn.example.org", kPassword, false, "good"},
      // Keys only: the password no longer updates, the pages still take it.
      {"checkin", "alice", "box", kPassword, true, "BadAuth"},
      {"checkin", "alice", "box", digest, true, "Ok"},
      {"dyndns2", "alice", "pc.alice.dyn.example.org", kPassword, true, "badauth"},
      {"dyndns2", "alice", "box.alice.dyn.example.org", digest, true, "nochg"},
      {"signin", "alice", "", kPassword, true, "Ok"},
      {"signin", "alice", "", digest, true, "BadAuth"},
  };
  for (const auto& c : cases) {
    ASSERT_NO_THROW(core.SetKeysOnly("alice", c.keysOnly));
    now += 10 * 60 * 1000;  // failures of earlier cases have long been forgiven
    EXPECT_EQ(Through(c.door, c.user, c.where, c.secret), c.expected)
        << c.door << " " << c.user << " " << c.where << (c.keysOnly ? " keys only" : "");
  }
  EXPECT_EQ(store.Nodes(store.FindAccount("bob")->Id).size(), 0u) << "nothing recorded for a refused key";
}

TEST_F(Keys, ANewKeyStopsTheOldOneAtOnceAndAKeyMayComeBeforeItsNode) {
  const std::string second = core.MakeNodeKey("alice", "Box", now);
  EXPECT_NE(second, key);
  EXPECT_EQ(Through("checkin", "alice", "box", digest), "BadAuth");
  EXPECT_EQ(Through("checkin", "alice", "box", TNodeKey::Digest(second)), "Ok");
  EXPECT_EQ(store.NodeKeys(store.FindAccount("alice")->Id).size(), 1u) << "one key a node, whatever its case";

  const std::string fresh = core.MakeNodeKey("alice", "new-laptop", now);
  const TCheckInResult first = core.CheckIn("alice", TNodeKey::Digest(fresh), "new-laptop", "192.0.2.7", now);
  EXPECT_EQ(first.Answer, TAnswer::Ok);
  EXPECT_TRUE(first.Record.FirstCheckIn);

  EXPECT_NO_THROW(core.RemoveNodeKey("alice", "BOX"));
  EXPECT_EQ(Through("checkin", "alice", "box", TNodeKey::Digest(second)), "BadAuth");
  EXPECT_THROW(core.RemoveNodeKey("alice", "box"), ENoNodeKey);
  EXPECT_THROW(core.RemoveNodeKey("nobody", "box"), ENoSuchAccount);
  EXPECT_THROW(core.MakeNodeKey("nobody", "box", now), ENoSuchAccount);
  EXPECT_THROW(core.MakeNodeKey("alice", "", now), EBadName);
  EXPECT_THROW(core.MakeNodeKey("alice", std::string("a\nb"), now), EBadName);
}

TEST_F(Keys, WrongKeysCountAgainstTheLimitsThatHoldBackEvenTheRightKey) {
  const std::string wrong = TNodeKey::Digest(TNodeKey::Make());
  std::string last;
  for (int i = 0; i < 20 && last != "Limited"; ++i) last = Through("checkin", "alice", "box", wrong);
  EXPECT_EQ(last, "Limited");
  EXPECT_EQ(Through("checkin", "alice", "box", digest), "Limited");
  EXPECT_EQ(Through("dyndns2", "box.alice.dyn.example.org", "box.alice.dyn.example.org", digest), "abuse");
}

TEST(NodeKeyStore, TheFileKeepsNeitherTheKeyNorItsDigestAndKeysOutliveReopening) {
  TempDir dir;
  const std::string file = dir.File("service.db");
  std::string key;
  {
    TSqliteStore store(file);
    TServiceCore core(store, Rules());
    ASSERT_TRUE(store.AddAccount("alice", TPasswordHash::Make(kPassword, 1000), kStart));
    key = core.MakeNodeKey("alice", "box", kStart);
    EXPECT_TRUE(store.FindAccount("alice")->KeysOnly == false);
    ASSERT_NO_THROW(core.SetKeysOnly("alice", true));
  }
  std::string bytes;
  for (const char* suffix : {"", "-wal"}) bytes += TempDir::Read(file + suffix);
  const std::string digest = TNodeKey::Digest(key);
  EXPECT_EQ(bytes.find(key), std::string::npos);
  EXPECT_EQ(bytes.find(digest), std::string::npos);
  EXPECT_EQ(bytes.find(UpperCase(digest)), std::string::npos);

  TSqliteStore store(file);
  TServiceCore core(store, Rules());
  EXPECT_TRUE(store.FindAccount("alice")->KeysOnly);
  EXPECT_EQ(core.CheckIn("alice", digest, "box", "192.0.2.1", kStart).Answer, TAnswer::Ok) << "the secret was kept";
  ASSERT_TRUE(store.RemoveAccount("alice"));
  ASSERT_TRUE(store.AddAccount("alice", TPasswordHash::Make(kPassword, 1000), kStart));
  EXPECT_TRUE(store.NodeKeys(store.FindAccount("alice")->Id).empty()) << "keys go with their account";
  EXPECT_EQ(core.CheckIn("alice", digest, "box", "192.0.2.1", kStart).Answer, TAnswer::BadAuth);
}
