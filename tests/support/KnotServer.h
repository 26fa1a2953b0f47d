// A real authoritative name server (Knot DNS, knotd in the foreground) for
// the DNS tests and the benchmark: its own configuration, zone, key and
// journal in a fresh temporary folder, listening on a free port on
// 127.0.0.1. The zone takes dynamic updates signed with the key, for A and
// AAAA records below the zone, as the README sets it up for operators.
// Stop and Start stop and start it again on the same port with the same
// zone contents; Running() is false when it could not be started.
// Queries go through kdig, the name server's own client.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
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

  explicit KnotServer(const std::string& algorithm = "hmac-sha256") : algorithm_(algorithm) {
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
    for (int i = 0; i < 200 && ::waitpid(pid_, nullptr, WNOHANG) != pid_; ++i) testpeer::Pause(25);
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
      << "    update-type: [A, AAAA]\n    update-owner: zone\n    update-owner-match: sub\n"
      << "zone:\n  - domain: " << kZone << "\n    storage: " << dir << "\n    file: " << kZone << ".zone\n"
      << "    acl: pinmark\n    zonefile-sync: -1\n    zonefile-load: difference-no-serial\n"
      << "    journal-content: all\n"
      << "log:\n  - target: stderr\n    any: info\n";
    TempDir::Write(dir_.File("knot.conf"), c.str());
  }

  TempDir dir_;
  std::string algorithm_;
  int port_ = 0;
  pid_t pid_ = 0;
  mutable int keyFiles_ = 0;
};
