// What every store of the DNS update queue must do, as one check that any
// implementation runs on a fresh, empty store of its own (the memory store
// here; a database's store in its own tests): keys of name and type, an
// upsert that keeps every field, Earliest in Due order over the entries
// that have one, Claim and Change; and for a store several instances share,
// that two of them never claim the same entry.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "service/model/DnsQueueStore.h"

// The walk over every entry a page at a time, and the server the queue last
// published to; on a fresh, empty store.
inline void ExpectDnsQueueStoreWalk(IDnsQueueStore& store) {
  EXPECT_TRUE(store.After("", TDnsRecordType::A, 10).empty());
  EXPECT_EQ(store.PublishedTo(), "");
  TDnsQueueEntry entry;
  entry.Address = "192.0.2.1";
  const std::pair<const char*, TDnsRecordType> saved[] = {{"c.x.zone.", TDnsRecordType::AAAA},
                                                           {"b.x.zone.", TDnsRecordType::AAAA},
                                                           {"a.x.zone.", TDnsRecordType::A},
                                                           {"b.x.zone.", TDnsRecordType::A}};
  for (const auto& [name, type] : saved) {
    entry.Name = name;
    entry.Type = type;
    store.Save(entry);
  }
  std::vector<std::string> walked;
  std::string name;
  TDnsRecordType type = TDnsRecordType::A;
  for (std::vector<TDnsQueueEntry> page; !(page = store.After(name, type, 3)).empty();) {
    EXPECT_LE(page.size(), 3u);
    for (const TDnsQueueEntry& e : page) walked.push_back(e.Name + DnsRecordTypeName(e.Type));
    name = page.back().Name;
    type = page.back().Type;
  }
  EXPECT_EQ(walked, (std::vector<std::string>{"a.x.zone.A", "b.x.zone.A", "b.x.zone.AAAA", "c.x.zone.AAAA"}));
  store.SetPublishedTo("127.0.0.1:53");
  store.SetPublishedTo("[::1]:5353");
  EXPECT_EQ(store.PublishedTo(), "[::1]:5353");
}

inline void ExpectDnsQueueStoreContract(IDnsQueueStore& store) {
  const TServiceTime t = 1'800'000'000'123;
  EXPECT_FALSE(store.Find("a.b.zone.", TDnsRecordType::A));
  EXPECT_FALSE(store.Earliest());

  TDnsQueueEntry full;
  full.Name = "a.b.zone.";
  full.Type = TDnsRecordType::AAAA;
  full.Address = "2001:db8::1";
  full.Version = 7;
  full.PublishedAddress = "2001:db8::0";
  full.State = TDnsState::Failing;
  full.Reason = "REFUSED: 'quoted' \"text\"; with\ttabs";
  full.Since = t;
  full.Attempts = 3;
  full.Due = t + 1500;
  store.Save(full);
  std::optional<TDnsQueueEntry> back = store.Find("a.b.zone.", TDnsRecordType::AAAA);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->Address, full.Address);
  EXPECT_EQ(back->Version, full.Version);
  EXPECT_EQ(back->PublishedAddress, full.PublishedAddress);
  EXPECT_EQ(back->State, full.State);
  EXPECT_EQ(back->Reason, full.Reason);
  EXPECT_EQ(back->Since, full.Since);
  EXPECT_EQ(back->Attempts, full.Attempts);
  EXPECT_EQ(back->Due, full.Due);
  EXPECT_FALSE(store.Find("a.b.zone.", TDnsRecordType::A)) << "the type is part of the key";

  // Earliest: by Due, never an entry without one; a Save moves an entry in that order.
  TDnsQueueEntry other = full;
  other.Type = TDnsRecordType::A;
  other.Address = "192.0.2.1";
  other.Due = t + 500;
  store.Save(other);
  TDnsQueueEntry idle = other;
  idle.Name = "c.b.zone.";
  idle.State = TDnsState::Published;
  idle.Due.reset();
  store.Save(idle);
  EXPECT_EQ(store.Earliest()->Type, TDnsRecordType::A);
  other.Due = t + 2500;
  store.Save(other);
  EXPECT_EQ(store.Earliest()->Type, TDnsRecordType::AAAA);
  full.Due.reset();
  store.Save(full);
  other.Due.reset();
  store.Save(other);
  EXPECT_FALSE(store.Earliest());
  EXPECT_FALSE(store.Find("a.b.zone.", TDnsRecordType::AAAA)->Due);
}

// The backlog for monitoring: what is not published, and its oldest Since;
// on a fresh, empty store.
inline void ExpectDnsQueueStoreBacklog(IDnsQueueStore& store) {
  EXPECT_EQ(store.Backlog().Waiting, 0);
  EXPECT_FALSE(store.Backlog().OldestSince);
  const struct {
    const char* name;
    TDnsState state;
    long long since;
  } entries[] = {{"published.x.zone.", TDnsState::Published, 1000},
                 {"pending.x.zone.", TDnsState::Pending, 5000},
                 {"failing.x.zone.", TDnsState::Failing, 3000}};
  for (const auto& e : entries) {
    TDnsQueueEntry entry;
    entry.Name = e.name;
    entry.Address = "192.0.2.1";
    entry.State = e.state;
    entry.Since = e.since;
    store.Save(entry);
  }
  const TDnsBacklog backlog = store.Backlog();
  EXPECT_EQ(backlog.Waiting, 2) << "a published name does not wait";
  EXPECT_EQ(backlog.OldestSince, 3000);
}

// Claim and Change, the queue's read-modify-write steps; on a fresh, empty
// store.
inline void ExpectDnsQueueStoreSteps(IDnsQueueStore& store) {
  const TServiceTime t = 1'800'000'000'000;
  const TServiceTime lease = t + 30'000;
  EXPECT_FALSE(store.Claim(t, lease));
  const auto make = [](const char* name, const char* address, TServiceTime due) {
    return [=](std::optional<TDnsQueueEntry>& entry) {
      EXPECT_FALSE(entry) << name;
      entry.emplace();
      entry->Name = name;
      entry->Address = address;
      entry->Due = due;
      return true;
    };
  };
  store.Change("a.x.zone.", TDnsRecordType::A, make("a.x.zone.", "192.0.2.1", t + 10));
  store.Change("b.x.zone.", TDnsRecordType::A, make("b.x.zone.", "192.0.2.2", t));
  // A change that says no, or throws, leaves the entry as it was.
  store.Change("a.x.zone.", TDnsRecordType::A, [](std::optional<TDnsQueueEntry>& entry) {
    entry->Address = "192.0.2.9";
    return false;
  });
  EXPECT_THROW(store.Change("a.x.zone.", TDnsRecordType::A,
                            [](std::optional<TDnsQueueEntry>& entry) -> bool {
                              entry->Address = "192.0.2.9";
                              throw std::runtime_error("changed my mind");
                            }),
               std::runtime_error);
  EXPECT_EQ(store.Find("a.x.zone.", TDnsRecordType::A)->Address, "192.0.2.1");

  // Claim hands out the earliest due entry as it was, and leases it.
  const std::optional<TDnsQueueEntry> first = store.Claim(t + 10, lease);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->Name, "b.x.zone.");
  EXPECT_EQ(first->Due, t);
  EXPECT_EQ(store.Find("b.x.zone.", TDnsRecordType::A)->Due, lease);
  EXPECT_EQ(store.Claim(t + 10, lease)->Name, "a.x.zone.");
  EXPECT_FALSE(store.Claim(t + 10, lease)) << "both are leased";
  EXPECT_TRUE(store.Claim(lease, lease + 30'000)) << "a lease that ran out is taken over";
}

// Two users of one queue (each with its own connection, as two service
// instances have) claiming at once: every due entry is handed out once.
inline void ExpectDnsQueueStoreClaimsEachOnce(IDnsQueueStore& one, IDnsQueueStore& two) {
  const TServiceTime t = 1'800'000'000'000;
  constexpr int kEntries = 200;
  for (int i = 0; i < kEntries; ++i) {
    TDnsQueueEntry entry;
    entry.Name = "n" + std::to_string(i) + ".x.zone.";
    entry.Address = "192.0.2.1";
    entry.Due = t;
    one.Save(entry);
  }
  std::vector<std::string> taken[2];
  const auto claimAll = [&](IDnsQueueStore& store, std::vector<std::string>& names) {
    while (const std::optional<TDnsQueueEntry> entry = store.Claim(t, t + 3'600'000))
      names.push_back(entry->Name);
  };
  std::thread other(claimAll, std::ref(two), std::ref(taken[1]));
  claimAll(one, taken[0]);
  other.join();
  std::set<std::string> all(taken[0].begin(), taken[0].end());
  all.insert(taken[1].begin(), taken[1].end());
  EXPECT_EQ(all.size(), static_cast<std::size_t>(kEntries)) << "none lost";
  EXPECT_EQ(taken[0].size() + taken[1].size(), static_cast<std::size_t>(kEntries)) << "none handed out twice";
}
