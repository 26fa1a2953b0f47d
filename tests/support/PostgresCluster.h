// A throw-away PostgreSQL cluster for the tests: initdb into a fresh
// temporary folder, the server started with pg_ctl listening on a Unix
// socket in that folder only (no TCP port, so parallel test programs never
// meet), trust authentication for the superuser "postgres", fsync off.
// Each test takes a database of its own (NewDatabase) and its URI; Stop and
// Start restart the server on the same socket with the same data.
//
// PostgreSQL refuses to run as root, and CI runs as root: then initdb and
// pg_ctl run as the user "nobody" through runuser (util-linux, on every
// Debian), the folder being handed to that user first. env --chdir puts
// them in the folder, since the test's own working folder may be closed to
// nobody. Without the binaries (Debian's postgresql-15 not installed)
// Installed() is false and the tests skip.
#pragma once

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

class PostgresCluster {
 public:
  static constexpr const char* kBin = "/usr/lib/postgresql/15/bin";

  static bool Installed() {
    return ::access((std::string(kBin) + "/initdb").c_str(), X_OK) == 0 &&
           ::access((std::string(kBin) + "/pg_ctl").c_str(), X_OK) == 0;
  }

  // Makes the cluster and starts it; Error() says why when it could not.
  PostgresCluster() {
    if (!Installed()) {
      error_ = std::string(kBin) + "/initdb and pg_ctl are not installed (Debian's postgresql-15)";
      return;
    }
    if (::geteuid() == 0) {
      const passwd* nobody = ::getpwnam("nobody");
      if (!nobody || ::chown(dir_.Path().c_str(), nobody->pw_uid, nobody->pw_gid) != 0) {
        error_ = "cannot hand " + dir_.Path().string() + " to the user nobody";
        return;
      }
    }
    std::string out;
    if (Run("initdb", {"-D", Data(), "-U", "postgres", "--auth=trust", "--no-sync", "--no-instructions",
                       "--encoding=UTF8", "--locale=C"},
            &out) != 0) {
      error_ = "initdb failed: " + out;
      return;
    }
    if (!Start()) error_ = "the server did not start: " + Log();
  }
  ~PostgresCluster() {
    if (running_) Run("pg_ctl", {"stop", "-D", Data(), "-m", "immediate", "-w"});
  }
  PostgresCluster(const PostgresCluster&) = delete;
  PostgresCluster& operator=(const PostgresCluster&) = delete;

  const std::string& Error() const { return error_; }
  bool Running() const { return running_; }
  // The folder holding the server's socket.
  std::string SocketDir() const { return dir_.Path().string(); }
  std::string Log() const { return TempDir::Read(dir_.File("server.log")); }

  // Starts the server (again) and waits until it takes connections.
  bool Start() {
    running_ = Run("pg_ctl", {"start", "-D", Data(), "-w", "-t", "60", "-l", dir_.File("server.log"), "-o",
                              "-c listen_addresses='' -c unix_socket_directories='" + SocketDir() +
                                  "' -c fsync=off -c synchronous_commit=on -c max_connections=200"}) == 0;
    return running_;
  }
  // Stops it, waiting until it is down; mode is pg_ctl's (smart, fast, immediate).
  bool Stop(const std::string& mode = "fast") {
    const bool stopped = Run("pg_ctl", {"stop", "-D", Data(), "-m", mode, "-w", "-t", "60"}) == 0;
    if (stopped) running_ = false;
    return stopped;
  }

  // The libpq URI of database name.
  std::string Uri(const std::string& name) const {
    return "postgresql:///" + name + "?host=" + SocketDir() + "&user=postgres";
  }
  // The database name of a URI that Uri made.
  static std::string DatabaseOf(const std::string& uri) {
    const std::size_t from = uri.find(":///") + 4;
    return uri.substr(from, uri.find('?') - from);
  }
  // Makes a fresh, empty database and returns its URI.
  std::string NewDatabase() {
    static std::atomic<int> counter{0};
    const std::string name = "test" + std::to_string(counter++);
    Sql("postgres", "CREATE DATABASE " + name);
    return Uri(name);
  }

  // Runs sql on database name; the first column of the first row, "" when none.
  // Raises std::runtime_error with the server's message when it fails.
  std::string Sql(const std::string& name, const std::string& sql) const {
    PGconn* c = PQconnectdb(Uri(name).c_str());
    std::string error, value;
    if (PQstatus(c) != CONNECTION_OK) {
      error = PQerrorMessage(c);
    } else {
      PGresult* r = PQexec(c, sql.c_str());
      const ExecStatusType status = PQresultStatus(r);
      if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        error = PQresultErrorMessage(r);
      else if (PQntuples(r) > 0 && PQnfields(r) > 0)
        value = PQgetvalue(r, 0, 0);
      PQclear(r);
    }
    PQfinish(c);
    if (!error.empty()) throw std::runtime_error(sql + ": " + error);
    return value;
  }

 private:
  std::string Data() const { return dir_.File("data"); }

  // Runs a server program as the user the server runs as; its exit code.
  int Run(const std::string& program, const std::vector<std::string>& args, std::string* out = nullptr) const {
    std::vector<std::string> all;
    std::string path = std::string(kBin) + "/" + program;
    if (::geteuid() == 0) {
      all = {"-u", "nobody", "--", "env", "--chdir=" + SocketDir(), path};
      path = "runuser";
    }
    all.insert(all.end(), args.begin(), args.end());
    // What this process has not written yet would be written by the child too.
    std::fflush(nullptr);
    ChildProcess child(path, all, {{"LC_ALL", "C"}});
    const int code = child.Wait(std::chrono::seconds(90));
    if (out) *out = child.Out() + child.Err();
    return code;
  }

  TempDir dir_;
  std::string error_;
  bool running_ = false;
};

// One cluster per test program, started before its first test and stopped
// after its last: initdb and a start cost seconds, a database per test
// costs milliseconds. Add it with testing::AddGlobalTestEnvironment.
class PostgresEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (PostgresCluster::Installed()) cluster_ = std::make_unique<PostgresCluster>();
  }
  void TearDown() override { cluster_.reset(); }
  // Null when PostgreSQL is not installed.
  static PostgresCluster* Cluster() { return cluster_.get(); }

 private:
  static inline std::unique_ptr<PostgresCluster> cluster_;
};

// In a test: skips it when PostgreSQL is not installed, fails it when the
// cluster could not be started; else cluster names the running cluster.
#define PINMARK_NEED_POSTGRES(cluster)                                                               \
  if (!PostgresEnvironment::Cluster()) GTEST_SKIP() << "PostgreSQL is not installed (postgresql-15)"; \
  ASSERT_TRUE(PostgresEnvironment::Cluster()->Running()) << PostgresEnvironment::Cluster()->Error();  \
  PostgresCluster& cluster = *PostgresEnvironment::Cluster()
