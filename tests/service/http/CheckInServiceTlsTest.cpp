// The reference service over HTTPS: which certificates it takes, and
// pinmark-service started with --tls-cert and --tls-key as a user starts it.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "http/exchange/IdHTTP.h"
#include "http/tls/IdTlsIOHandler.h"
#include "service/http/CheckInService.h"
#include "tests/support/TlsTestAuthority.h"

extern char** environ;

namespace {
const char kDigest[] = "fe01ce2a7fbac8fafaed7c982a04e229";  // MD5 of "demo"

// The program's check-in over TLS, trusting the authority.
std::string CheckIn(const TlsTestAuthority& authority, int port) {
  TIdHTTP http;
  auto handler = std::make_unique<TIdTlsIOHandler>();
  handler->CACertFile = authority.CertFile();
  http.SetIOHandler(std::move(handler));
  http.SetReadTimeout(5000);
  return http.PostFormText(
      "https://localhost:" + std::to_string(port) + "/includes/r_update.php?userid=demo&enc=" + kDigest + "&node=box",
      nullptr);
}

// pinmark-service started with the arguments; its standard output is read
// until it says where it listens (or ends).
class ServiceProcess {
 public:
  explicit ServiceProcess(const std::vector<std::string>& args) {
    int out[2];
    if (::pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    // The service listens on 8080 unless told otherwise; tests let the system pick a port.
    std::vector<std::string> all{PINMARK_SERVICE_PATH};
    if (std::find(args.begin(), args.end(), "--port") == args.end()) all.insert(all.end(), {"--port", "0"});
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, PINMARK_SERVICE_PATH, &actions, nullptr, argv.data(), environ) != 0) pid_ = 0;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    // Everything it says until it listens or ends, for at most five seconds.
    char buf[512];
    pollfd p{out[0], POLLIN, 0};
    while (output_.find("listening on ") == std::string::npos && ::poll(&p, 1, 5000) > 0) {
      ssize_t n = ::read(out[0], buf, sizeof buf);
      if (n <= 0) break;
      output_.append(buf, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
  }
  ~ServiceProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      Wait();
    }
  }
  int Port() const {
    std::size_t at = output_.find("listening on 127.0.0.1:");
    return at == std::string::npos ? 0 : std::atoi(output_.c_str() + at + 23);
  }
  const std::string& Output() const { return output_; }
  int Wait() {
    int status = 0;
    if (pid_ > 0) ::waitpid(pid_, &status, 0);
    pid_ = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = 0;
  std::string output_;
};
}  // namespace

TEST(ServiceTls, ACertificateAndKeyThatDoNotBelongTogetherAreRefused) {
  TlsTestAuthority authority;
  const TlsTestAuthority::Issued one = authority.Localhost(), other = authority.Localhost();
  const std::pair<std::string, std::string> refused[] = {
      {one.certFile, other.keyFile}, {one.certFile, one.keyFile + ".missing"}, {one.keyFile, one.keyFile}};
  for (const auto& [cert, key] : refused) {
    try {
      TCheckInService service(cert, key);
      ADD_FAILURE() << cert << " with " << key << " was taken";
    } catch (const ETlsSetup& e) {
      EXPECT_EQ(e.Message(), "cannot use the certificate " + cert + " with the key " + key);
    }
    // The front itself stays on plain HTTP: no half-set context passes for HTTPS.
    const TRequestLog::TSink sink;
    const TRequestLog log(sink);
    TServiceFront front([](const TFrontRequest&) { return TFrontAnswer{}; }, log);
    EXPECT_THROW(front.UseTls(cert, key), ETlsSetup);
    EXPECT_FALSE(front.Tls()) << cert << " with " << key;
  }
  EXPECT_NO_THROW(TCheckInService(one.certFile, one.keyFile));
}

TEST(ServiceTls, TheProgramServesHttpsWithTlsCertAndTlsKey) {
  TlsTestAuthority authority;
  const TlsTestAuthority::Issued cert = authority.Localhost(), other = authority.Localhost();
  {
    ServiceProcess service({"--port", "0", "--account", std::string("demo:") + kDigest, "--tls-cert", cert.certFile,
                            "--tls-key", cert.keyFile});
    ASSERT_GT(service.Port(), 0) << service.Output();
    EXPECT_EQ(CheckIn(authority, service.Port()), "127.0.0.1");
  }
  ServiceProcess mismatched({"--tls-cert", cert.certFile, "--tls-key", other.keyFile});
  EXPECT_EQ(mismatched.Wait(), 1);
  EXPECT_EQ(mismatched.Output(),
            "pinmark-service: cannot use the certificate " + cert.certFile + " with the key " + other.keyFile + "\n");
  ServiceProcess halfTls({"--tls-cert", cert.certFile});
  EXPECT_EQ(halfTls.Wait(), 2);
}
