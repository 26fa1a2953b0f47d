// The check-in through the main window, against the reference service and
// against scripted failures.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTest>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "app/frmPinmark.h"
#include "http/IdException.h"
#include "runtime/DateTime.h"
#include "runtime/PrivateProfile.h"
#include "service/http/CheckInService.h"
#include "settings/md5.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/HttpTestPeer.h"
#include "tests/support/TlsTestAuthority.h"

namespace {
const std::string kDigest = DigestToHex(MD5OfString("secret"));
const TDateTime kOldStamp = EncodeDate(2001, 2, 3) + EncodeTime(4, 5, 6, 0);

class CheckIn : public testing::Test {
 protected:
  void SetUp() override {
    App();
    App().OnException = [this](QObject*, std::exception_ptr error) { errors.push_back(error); };
    Write("User", "Name", "alice");
    Write("User", "Password", kDigest);
    Write("User", "Computer", "office pc");
  }
  void TearDown() override {
    form.reset();
    App().SetMainForm(nullptr);
    App().OnException = nullptr;
  }

  void Write(const char* section, const char* key, const std::string& value) {
    ASSERT_TRUE(WritePrivateProfileString(section, key, value, files.ini));
  }
  std::string Ini(const char* key) { return GetPrivateProfileString("Temp", key, "<absent>", files.ini); }
  // The window as a previous run left it: an answer and an old time stamp.
  void CreateAfterEarlierAnswer(const std::string& url) {
    Write("Program", "URL", url);
    Write("Temp", "HTTPResponse", "198.51.100.1");
    form = std::make_unique<TFormMain>(files.exe);
    App().SetMainForm(form.get());
    form->GetSettings()->SetRefreshTime(kOldStamp);
    form->edtIPAddress->setText("198.51.100.1");
  }
  void Press() { QTest::mouseClick(form->btnPinmark, Qt::LeftButton); }
  std::string Field() const { return form->edtIPAddress->text().toStdString(); }
  std::string Tooltip() const { return form->TrayIcon->toolTip().toStdString(); }
  TDateTime Stamp() { return form->GetSettings()->ReadDateTime("Temp", "Refresh", -1); }

  ExeInTemp files;
  std::unique_ptr<TFormMain> form;
  std::vector<std::exception_ptr> errors;
};

// Runs `release` after a few seconds, or when it goes if that is sooner: a
// peer that keeps the client waiting lets go in the end, so a client without
// time-outs makes the test fail instead of hanging it.
class Backstop {
 public:
  explicit Backstop(std::function<void()> release) : release_(std::move(release)) {
    thread_ = std::thread([this] {
      std::unique_lock<std::mutex> lock(mutex_);
      fired_ = !ended_.wait_for(lock, std::chrono::seconds(10), [this] { return stop_; });
      release_();
    });
  }
  ~Backstop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    ended_.notify_one();
    thread_.join();
  }
  // True when the peer had to let go: the client waited for it.
  bool Fired() {
    std::lock_guard<std::mutex> lock(mutex_);
    return fired_;
  }

 private:
  std::function<void()> release_;
  std::mutex mutex_;
  std::condition_variable ended_;
  bool stop_ = false, fired_ = false;
  std::thread thread_;
};

// Sends an answer head and then body bytes for as long as the client reads,
// up to 300 MiB; counts what it managed to send.
class EndlessAnswer {
 public:
  EndlessAnswer(std::string head, std::function<std::string(const std::string&)> frame)
      : peer_([this, head = std::move(head), frame = std::move(frame)](int fd) {
          testpeer::RecvExactly(fd, 1, 5000);  // the request has arrived
          testpeer::SendAll(fd, head);
          const std::string block = frame(std::string(1 << 20, 'x'));
          while (sent_ < kEndless) {
            ssize_t n = ::send(fd, block.data(), block.size(), MSG_NOSIGNAL);
            if (n <= 0) return;
            sent_ += n;
          }
        }) {}
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(peer_.Port()) + "/includes/r_update.php"; }
  int64_t Sent() {
    peer_.Join();
    return sent_;
  }
  static constexpr int64_t kEndless = int64_t{300} << 20;

 private:
  std::atomic<int64_t> sent_{0};
  testpeer::ScriptedPeer peer_;
};

std::string ClassOf(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const Exception& e) {
    return e.ClassName();
  } catch (...) {
    return "?";
  }
}
}  // namespace

TEST_F(CheckIn, AnAnswerFromTheServiceIsRecordedShownAndStamped) {
  TCheckInService service;
  service.AddAccount("alice", kDigest);
  int port = service.Bind("127.0.0.1", 0);
  ASSERT_GT(port, 0);
  service.Start();
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/includes/r_update.php";
  CreateAfterEarlierAnswer(url);

  const TDateTime before = Now();
  Press();
  EXPECT_TRUE(errors.empty());
  EXPECT_EQ(Field(), "127.0.0.1");
  EXPECT_EQ(Tooltip(), "Pinmark - 127.0.0.1");
  EXPECT_EQ(Ini("HTTPRequest"), url + "?userid=alice&enc=" + kDigest + "&node=office%20pc");
  EXPECT_EQ(Ini("HTTPResponse"), "127.0.0.1");
  EXPECT_EQ(Ini("IPAddress"), "127.0.0.1");
  EXPECT_GE(Stamp(), before - 1.0 / SecsPerDay);
  EXPECT_EQ(service.CheckIns(), 1);
}

TEST_F(CheckIn, AnAnswerThatIsNoAddressShowsUnknownAndIsStampedAnyway) {
  HttpTestPeer peer([](const std::string&, int) {
    return HttpTestPeer::Reply{"HTTP/1.1 200 OK\r\nContent-Length: 13\r\n\r\nAccess denied"};
  });
  CreateAfterEarlierAnswer(peer.Url("/includes/r_update.php"));
  Press();
  EXPECT_TRUE(errors.empty());
  EXPECT_EQ(Field(), "UNKNOWN");
  EXPECT_EQ(Tooltip(), "Pinmark - UNKNOWN");
  EXPECT_EQ(Ini("HTTPResponse"), "Access denied");
  EXPECT_EQ(Ini("IPAddress"), "UNKNOWN");
  EXPECT_GT(Stamp(), kOldStamp + 1);
}

TEST_F(CheckIn, AFailedExchangeChangesOnlyTheRecordedRequest) {
  struct Case {
    std::string what;
    std::string answer;  // empty: nothing listens
    std::string errorClass;
  } cases[] = {
      {"unreachable", "", "EIdSocketError"},
      {"404", "HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\ngone", "EIdHTTPProtocolException"},
      {"500", "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 4\r\n\r\noops", "EIdHTTPProtocolException"},
  };
  for (const Case& c : cases) {
    std::unique_ptr<HttpTestPeer> peer;
    std::string url = "http://127.0.0.1:1/includes/r_update.php";
    if (!c.answer.empty()) {
      peer = std::make_unique<HttpTestPeer>([&](const std::string&, int) { return HttpTestPeer::Reply{c.answer}; });
      url = peer->Url("/includes/r_update.php");
    }
    errors.clear();
    CreateAfterEarlierAnswer(url);
    form->UpdateTrayHint();
    const std::string tooltip = Tooltip();
    Press();
    ASSERT_EQ(errors.size(), 1u) << c.what;
    EXPECT_EQ(ClassOf(errors[0]), c.errorClass) << c.what;
    EXPECT_EQ(Ini("HTTPRequest"), url + "?userid=alice&enc=" + kDigest + "&node=office%20pc") << c.what;
    EXPECT_EQ(Ini("HTTPResponse"), "198.51.100.1") << c.what;
    EXPECT_EQ(Field(), "198.51.100.1") << c.what;
    EXPECT_EQ(Tooltip(), tooltip) << c.what;
    EXPECT_NEAR(Stamp(), kOldStamp, 1e-6) << c.what;
    form.reset();
  }
}

TEST_F(CheckIn, ATimerStartedRunThatFailsLeavesTheTimerRunning) {
  HttpTestPeer peer([](const std::string&, int) {
    return HttpTestPeer::Reply{"HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n"};
  });
  CreateAfterEarlierAnswer(peer.Url("/includes/r_update.php"));
  form->Timer->SetInterval(20);
  form->Timer->SetEnabled(true);
  for (int i = 0; i < 200 && errors.size() < 2; ++i) QTest::qWait(10);
  EXPECT_GE(errors.size(), 2u) << "the timer went on after a failed run";
  EXPECT_TRUE(form->Timer->Enabled());
  EXPECT_GE(peer.Requests().size(), 2u);
}

// A service that takes the connection and never answers, and one that never
// completes the connect: a timer-started run fails within the check-in's
// time-outs like an unreachable service, and the timer goes on.
TEST_F(CheckIn, AServiceThatNeverAnswersEndsTheRunAndTheTimerGoesOn) {
  struct Case {
    std::string what;
    std::string errorClass;
  } cases[] = {{"silent service", "EIdReadTimeout"}, {"connect never completes", "EIdConnectTimeout"}};
  for (const Case& c : cases) {
    int port = 0;
    std::unique_ptr<testpeer::BlackHole> hole;
    int listener = -1;
    if (c.errorClass == "EIdConnectTimeout") {
      hole = std::make_unique<testpeer::BlackHole>();
      if (!hole->Ready()) continue;  // this kernel completes connects to a full accept queue
      port = hole->Port();
    } else {
      listener = testpeer::ListenLoopback(8, &port);  // connects complete; nobody ever accepts
    }
    // Letting go closes the listener, which resets whatever waits on it.
    Backstop backstop([&] {
      hole.reset();
      if (listener >= 0) ::close(listener);
    });
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/includes/r_update.php";
    errors.clear();
    CreateAfterEarlierAnswer(url);
    form->CheckInTimeout = 200;
    form->Timer->SetInterval(20);
    form->Timer->SetEnabled(true);
    for (int i = 0; i < 1500 && errors.size() < 2; ++i) QTest::qWait(10);
    EXPECT_FALSE(backstop.Fired()) << c.what << ": the run waited until the service let go";
    ASSERT_GE(errors.size(), 2u) << c.what << ": the timer went on after the failed run";
    EXPECT_EQ(ClassOf(errors[0]), c.errorClass) << c.what;
    EXPECT_TRUE(form->Timer->Enabled()) << c.what;
    EXPECT_EQ(Ini("HTTPRequest"), url + "?userid=alice&enc=" + kDigest + "&node=office%20pc") << c.what;
    EXPECT_EQ(Ini("HTTPResponse"), "198.51.100.1") << c.what;
    EXPECT_EQ(Field(), "198.51.100.1") << c.what;
    form.reset();
  }
}

// An endless answer is read only as far as an address could reach; the run
// ends as it would for the whole answer, and the peer could not push more
// than the connection buffers hold.
TEST_F(CheckIn, AnEndlessAnswerIsCutAndMemoryStaysBounded) {
  const auto plain = [](const std::string& block) { return block; };
  const auto chunked = [](const std::string& block) { return "100000\r\n" + block + "\r\n"; };
  struct Case {
    std::string what, head;
    std::function<std::string(const std::string&)> frame;
    std::string address;
  } cases[] = {
      {"until close", "HTTP/1.0 200 OK\r\n\r\n", plain, "UNKNOWN"},
      {"announced length", "HTTP/1.0 200 OK\r\nContent-Length: 314572800\r\n\r\n", plain, "UNKNOWN"},
      {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", chunked, "UNKNOWN"},
      {"address first", "HTTP/1.0 200 OK\r\n\r\n203.0.113.7\n", plain, "203.0.113.7"},
  };
  for (const Case& c : cases) {
    EndlessAnswer peer(c.head, c.frame);
    errors.clear();
    CreateAfterEarlierAnswer(peer.Url());
    Press();
    EXPECT_TRUE(errors.empty()) << c.what;
    EXPECT_EQ(Field(), c.address) << c.what;
    EXPECT_EQ(Ini("HTTPResponse"), c.address == "UNKNOWN" ? std::string(2047, 'x') : c.address) << c.what;
    EXPECT_GT(Stamp(), kOldStamp + 1) << c.what;
    form.reset();
    EXPECT_LT(peer.Sent(), int64_t{32} << 20) << c.what;
  }
}

TEST_F(CheckIn, AnHttpsServiceTrustedByTheSystemStoreAnswersAsOverHttp) {
  TlsTestAuthority authority;
  const TlsTestAuthority::Issued cert = authority.Localhost();
  TCheckInService service(cert.certFile, cert.keyFile);
  service.AddAccount("alice", kDigest);
  const int port = service.Bind("127.0.0.1", 0);
  ASSERT_GT(port, 0);
  service.Start();
  const std::string url = "https://localhost:" + std::to_string(port) + "/includes/r_update.php";
  const std::string request = url + "?userid=alice&enc=" + kDigest + "&node=office%20pc";

  // Pinmark trusts what the system trusts; SSL_CERT_FILE points OpenSSL at the test authority.
  ::setenv("SSL_CERT_FILE", authority.CertFile().c_str(), 1);
  CreateAfterEarlierAnswer(url);
  Press();
  ::unsetenv("SSL_CERT_FILE");
  EXPECT_TRUE(errors.empty());
  EXPECT_EQ(Field(), "127.0.0.1");
  EXPECT_EQ(Tooltip(), "Pinmark - 127.0.0.1");
  EXPECT_EQ(Ini("HTTPRequest"), request);
  EXPECT_EQ(Ini("HTTPResponse"), "127.0.0.1");
  EXPECT_EQ(Ini("IPAddress"), "127.0.0.1");
  EXPECT_GT(Stamp(), kOldStamp + 1);
  EXPECT_EQ(service.CheckIns(), 1);
  form.reset();

  // Without the authority the service is refused before anything is sent.
  CreateAfterEarlierAnswer(url);
  Press();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(ClassOf(errors[0]), "EIdTlsCertificateUntrusted");
  EXPECT_EQ(Ini("HTTPRequest"), request);
  EXPECT_EQ(Ini("HTTPResponse"), "198.51.100.1");
  EXPECT_EQ(Field(), "198.51.100.1");
  EXPECT_NEAR(Stamp(), kOldStamp, 1e-6);
  EXPECT_EQ(service.CheckIns(), 1);
}
