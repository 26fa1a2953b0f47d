// A real authoritative name server (Knot DNS, knotd in the foreground) for
// the DNS tests and the benchmark: its own configuration, zone, key and
// journal in a fresh temporary folder, listening on a free port on
// 127.0.0.1. The zone takes dynamic updates signed with the key, for A and
// AAAA records below the zone, as the README sets it up for operators.
// Stop and Start stop and start it again on the same port with the same
// zone contents; Running() is false when it could not be started.
// Queries go through kdig, the name server's own client.
//
// With Keep::Updates knotd also records what it was sent, for tests that
// count what reached the name server rather than what the sender says it
// sent: every message it receives goes to a dnstap file (knotd's dnstap
// module; ReceivedUpdates() reads it with kdig), and its journal keeps every
// change made to the zone (Changes() reads it with kjournalprint).
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/LoopbackPeer.h"
#include "tests/support/TempDir.h"

extern char** environ;

class KnotServer {
 public:
  static constexpr const char* kKnotd = "/usr/sbin/knotd";
  static constexpr const char* kZone = "dyn.example.org";
  static constexpr const char* kKeyName = "pinmark-update";
  static constexpr const char* kSecret = "cGlubWFyay10ZXN0LXNlY3JldC0zMi1ieXRlcyEhISE=";

  // What knotd keeps besides its log.
  enum class Keep { Log, Updates };

  explicit KnotServer(const std::string& algorithm = "hmac-sha256", Keep keep = Keep::Log)
      : algorithm_(algorithm), keep_(keep) {
    TempDir::Write(dir_.File(std::string(kZone) + ".zone"),
                   std::string("$ORIGIN ") + kZone +
                       ".\n$TTL 60\n"
                       "@ SOA ns hostmaster 1 3600 600 86400 60\n@ NS ns\nns A 127.0.0.1\n");
    for (int attempt = 0; attempt < 5 && pid_ <= 0; ++attempt) {
      port_ = testpeer::FreePort();
      WriteConfig();
      Start();
    }
  }
  ~KnotServer() { Stop(); }
  KnotServer(const KnotServer&) = delete;
  KnotServer& operator=(const KnotServer&) = delete;

  bool Running() const { return pid_ > 0; }
  int Port() const { return port_; }
  std::string Server() const { return "127.0.0.1:" + std::to_string(port_); }
  const TempDir& Dir() const { return dir_; }
  // What knotd wrote (its log goes to standard error).
  std::string Log() const { return TempDir::Read(dir_.File("knotd.log")); }

  // Writes the zone's key in the form of a key statement, private to its
  // owner, and returns its path. secret replaces the right one when given.
  std::string KeyFile(const std::string& secret = kSecret, const std::string& name = kKeyName) const {
    const std::string path = dir_.File("client-" + std::to_string(keyFiles_++) + ".key");
    TempDir::Write(path, "key \"" + name + "\" {\n  algorithm " + algorithm_ + ";\n  secret \"" + secret + "\";\n};\n");
    ::chmod(path.c_str(), 0600);
    return path;
  }

  // Starts knotd (again) and waits until it serves the zone.
  bool Start() {
    if (pid_ > 0) return true;
    const std::string config = dir_.File("knot.conf");
    const std::string log = dir_.File("knotd.log");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<std::string> args = {kKnotd, "-c", config};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, kKnotd, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return false;
    pid_ = pid;
    for (int i = 0; i < 200; ++i) {
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = 0;  // it ended: most likely the port was taken meanwhile
        return false;
      }
      if (!Query(std::string(kZone) + ".", "SOA").empty()) return true;
      testpeer::Pause(50);
    }
    Stop();
    return false;
  }

  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    // A record of the updates is written whole only by a knotd that ends on
    // its own, so it gets a minute on a loaded machine instead of 5 s.
    const int polls = keep_ == Keep::Updates ? 2400 : 200;
    for (int i = 0; i < polls && ::waitpid(pid_, nullptr, WNOHANG) != pid_; ++i) testpeer::Pause(25);
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = 0;
  }

  // The records of type at name as kdig prints them with +short, one a line
  // (empty when there are none or the server does not answer).
  std::vector<std::string> Query(const std::string& name, const std::string& type) const {
    ChildProcess kdig("kdig",
                      {"@127.0.0.1", "-p", std::to_string(port_), "+short", "+timeout=2", "+retry=1", name, type});
    kdig.Wait(std::chrono::seconds(10));
    std::vector<std::string> lines;
    std::istringstream out(kdig.Out());
    for (std::string line; std::getline(out, line);)
      if (!line.empty() && line[0] != ';') lines.push_back(line);
    return lines;
  }

  // With Keep::Updates: how many dynamic updates knotd took up so far, by
  // its log ("DDNS, processing N updates" for each batch it applies).
  int UpdatesProcessed() const {
    static const std::string kBatch = "DDNS, processing ";
    const std::string log = Log();
    int n = 0;
    for (std::size_t at = log.find(kBatch); at != std::string::npos; at = log.find(kBatch, at + 1))
      n += std::atoi(log.c_str() + at + kBatch.size());
    return n;
  }

  // Records below are as kdig and kjournalprint print them, each with its
  // fields separated by one blank ("a.dyn.example.org. 0 ANY A",
  // "a.dyn.example.org. 60 IN A 192.0.2.1").

  // A dynamic update as knotd received it: its message ID (a datagram sent
  // again unanswered comes with the same) and its update section.
  struct Update {
    int Id = -1;
    std::vector<std::string> Records;
  };

  // With Keep::Updates, once knotd was stopped (it writes the rest of its
  // record as it stops): every dynamic update it received since it was
  // last started, in the order they came, whether or not it applied them.
  std::vector<Update> ReceivedUpdates() const {
    ChildProcess kdig("kdig", {"-G", dir_.File("received.tap"), "+qr"});
    kdig.Wait(std::chrono::seconds(60));
    std::vector<Update> updates;
    int id = -1;
    bool inUpdate = false;   // within a received (not answered) update
    bool inSection = false;  // within its update section
    std::istringstream out(kdig.Out());
    for (std::string line; std::getline(out, line);) {
      if (line.rfind(";; ->>HEADER<<-", 0) == 0) {
        inUpdate = line.find("opcode: UPDATE;") != std::string::npos;
        const std::size_t at = line.find("id: ");
        id = at == std::string::npos ? -1 : std::atoi(line.c_str() + at + 4);
      } else if (line.rfind(";; Flags:", 0) == 0) {
        const std::string flags = line.substr(9, line.find(';', 9) - 9);
        if (inUpdate && (" " + flags + " ").find(" qr ") == std::string::npos) {
          updates.push_back({id, {}});
        } else {
          inUpdate = false;
        }
      } else if (line.rfind(";; ", 0) == 0) {
        // A section heading: the update's records are in its second
        // section (kdig calls it AUTHORITY or UPDATE).
        if (inUpdate && line.find("SECTION:") != std::string::npos)
          inSection = line.find("AUTHORITY SECTION:") != std::string::npos ||
                       line.find("UPDATE SECTION:") != std::string::npos;
      } else if (inUpdate && inSection && !line.empty()) {
        updates.back().Records.push_back(Fields(line));
      }
    }
    return updates;
  }

  // With Keep::Updates: the zone's changes as its journal holds them, the
  // oldest first; each is the records it removed and those it added (the
  // serial in the SOA records left out, since every change has it).
  struct Change {
    std::vector<std::string> Removed, Added;
  };
  std::vector<Change> Changes() const {
    ChildProcess print("kjournalprint", {"-x", "-c", dir_.File("knot.conf"), kZone});
    print.Wait(std::chrono::seconds(60));
    std::vector<Change> changes;
    std::vector<std::string>* into = nullptr;
    std::istringstream out(print.Out());
    for (std::string line; std::getline(out, line);) {
      if (line.rfind(";; Changes between zone versions", 0) == 0) {
        changes.emplace_back();
        into = nullptr;
      } else if (line.rfind(";; Zone-in-journal", 0) == 0) {
        into = nullptr;  // the zone as it was loaded: no change
      } else if (line == ";; Removed" && !changes.empty()) {
        into = &changes.back().Removed;
      } else if (line == ";; Added" && !changes.empty()) {
        into = &changes.back().Added;
      } else if (into && !line.empty() && line[0] != ';') {
        const std::string record = Fields(line);
        if (record.find(" SOA ") == std::string::npos) into->push_back(record);
      }
    }
    return changes;
  }

  // Polls until name resolves to exactly address (at most limit); true when it did.
  bool WaitResolves(const std::string& name, const std::string& type, const std::string& address,
                    std::chrono::milliseconds limit = std::chrono::seconds(30)) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      if (Query(name, type) == std::vector<std::string>{address}) return true;
      testpeer::Pause(50);
    }
    return false;
  }

  // Polls until name holds no record of type (at most limit); true when it did.
  bool WaitHoldsNone(const std::string& name, const std::string& type,
                     std::chrono::milliseconds limit = std::chrono::seconds(30)) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      if (Query(name, type).empty()) return true;
      testpeer::Pause(50);
    }
    return false;
  }

 private:
  void WriteConfig() const {
    const std::string dir = dir_.Path().string();
    std::ostringstream c;
    c << "server:\n"
      << "    rundir: " << dir << "\n"
      << "    listen: 127.0.0.1@" << port_ << "\n"
      << "    udp-workers: 1\n    tcp-workers: 1\n    background-workers: 1\n"
      << "database:\n    storage: " << dir << "\n"
      << "key:\n  - id: " << kKeyName << "\n    algorithm: " << algorithm_ << "\n    secret: " << kSecret << "\n"
      << "acl:\n  - id: pinmark\n    key: " << kKeyName << "\n    action: update\n"
      << "    update-type: [A, AAAA]\n    update-owner: zone\n    update-owner-match: sub\n";
    if (keep_ == Keep::Updates)
      // What knotd receives only: it answers an applied update past the
      // module, so of the answers the refusals alone would be written.
      c << "mod-dnstap:\n  - id: received\n    sink: " << dir_.File("received.tap")
        << "\n    log-queries: on\n    log-responses: off\n"
        << "template:\n  - id: default\n    global-module: mod-dnstap/received\n";
    c << "zone:\n  - domain: " << kZone << "\n    storage: " << dir << "\n    file: " << kZone << ".zone\n"
      << "    acl: pinmark\n    zonefile-sync: -1\n    zonefile-load: difference-no-serial\n"
      << "    journal-content: all\n";
    // Every change kept: by default the journal folds all but the last 20 into the zone.
    if (keep_ == Keep::Updates) c << "    journal-max-depth: 1000000\n";
    c << "log:\n  - target: stderr\n    any: info\n";
    TempDir::Write(dir_.File("knot.conf"), c.str());
  }

  // A record line of kdig or kjournalprint with its fields separated by one blank.
  static std::string Fields(const std::string& line) {
    std::istringstream in(line);
    std::string joined;
    for (std::string field; in >> field;) joined += (joined.empty() ? "" : " ") + field;
    return joined;
  }

  TempDir dir_;
  std::string algorithm_;
  Keep keep_ = Keep::Log;
  int port_ = 0;
  pid_t pid_ = 0;
  mutable int keyFiles_ = 0;
};
