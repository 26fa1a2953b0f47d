// The check-in through the main window, against the reference service and
// against scripted failures.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTest>

#include <memory>

#include "app/frmPinmark.h"
#include "http/IdException.h"
#include "runtime/DateTime.h"
#include "runtime/PrivateProfile.h"
#include "service/CheckInService.h"
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

TEST_F(CheckIn, AnHttpsServiceTrustedByTheSystemStoreAnswersAsOverHttp) {
  TlsTestAuthority authority;
  const TlsTestAuthority::Issued cert = authority.Localhost();
  TCheckInService service(cert.certFile, cert.keyFile);
  ASSERT_TRUE(service.Valid());
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
