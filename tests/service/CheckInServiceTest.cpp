#include "service/CheckInService.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include "tests/support/TempDir.h"

namespace {
const char kDigest[] = "fe01ce2a7fbac8fafaed7c982a04e229";  // MD5 of "demo"

class Service : public ::testing::Test {
 protected:
  void SetUp() override {
    service.AddAccount("demo", kDigest);
    service.OnLog = [this](const std::string& line) { log.push_back(line); };
    port = service.Bind("127.0.0.1", 0);
    ASSERT_GT(port, 0);
    service.Start();
  }
  TCheckInService service;
  std::vector<std::string> log;
  int port = 0;
};
}  // namespace

TEST_F(Service, AnswersAKnownAccountWithTheCallersAddress) {
  httplib::Client client("127.0.0.1", port);
  auto post = client.Post("/includes/r_update.php?userid=demo&enc=FE01CE2A7FBAC8FAFAED7C982A04E229&node=box", "",
                          "application/x-www-form-urlencoded");
  ASSERT_TRUE(post);
  EXPECT_EQ(post->status, 200);
  EXPECT_EQ(post->body, "127.0.0.1");
  EXPECT_EQ(post->get_header_value("Content-Type"), "text/plain");
  auto get = client.Get("/includes/r_update.php?userid=demo&enc=fe01ce2a7fbac8fafaed7c982a04e229");
  ASSERT_TRUE(get);
  EXPECT_EQ(get->status, 200);
  EXPECT_EQ(service.CheckIns(), 2);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_NE(log[0].find("node=box user=demo address=127.0.0.1"), std::string::npos);
}

TEST_F(Service, RefusesWrongAccountsAndIncompleteRequests) {
  httplib::Client client("127.0.0.1", port);
  auto wrong = client.Get("/includes/r_update.php?userid=demo&enc=00000000000000000000000000000000");
  ASSERT_TRUE(wrong);
  EXPECT_EQ(wrong->status, 403);
  auto unknown = client.Get(std::string("/includes/r_update.php?userid=nobody&enc=") + kDigest);
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->status, 403);
  auto missing = client.Get("/includes/r_update.php?userid=demo");
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 400);
  EXPECT_EQ(service.CheckIns(), 0);
  auto home = client.Get("/");
  ASSERT_TRUE(home);
  EXPECT_EQ(home->status, 200);
  EXPECT_NE(home->body.find("Pinmark"), std::string::npos);
}

TEST(ServiceAccounts, FileLinesAreCheckedAndRead) {
  TempDir dir;
  std::string good = dir.File("good");
  TempDir::Write(good, std::string("# accounts\n\nann ") + kDigest + "\nbob:" + kDigest + "\r\n");
  TCheckInService s;
  std::string error;
  EXPECT_TRUE(s.LoadAccounts(good, error)) << error;
  std::string bad = dir.File("bad");
  TempDir::Write(bad, "ann plaintext-password\n");
  EXPECT_FALSE(s.LoadAccounts(bad, error));
  EXPECT_NE(error.find(":1:"), std::string::npos);
  EXPECT_FALSE(s.LoadAccounts(dir.File("absent"), error));
}
