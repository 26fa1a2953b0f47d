// The built Pinmark with its crash reporter, under an X display of its own
// and driven from outside as a user would: a check-in against a refused port
// shows the exception box, "continue application" gives back a Pinmark that
// works, and the bug-report file beside it holds the complete report, a
// second identical failure merged into it as "count" 2.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "tests/support/ChildProcess.h"
#include "tests/support/RefusedPort.h"
#include "tests/support/TempDir.h"
#include "tests/support/XDisplay.h"

namespace {

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class PinmarkUnderX : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(x.Name().empty()) << "no X display (Xvfb)";
    std::filesystem::copy_file(PINMARK_EXE, exe);
    TempDir::Write(dir.File("Pinmark.ini"),
                   "[Program]\nURL=http://127.0.0.1:" + std::to_string(RefusedPort()) +
                       "/includes/r_update.php\n[User]\nName=alice\nPassword=0123456789abcdef0123456789abcdef\n"
                       "Computer=office\n");
  }

  // Presses Pin-Mark, waits for the box and presses "continue application":
  // the top button of the right column (the box stands its ending buttons
  // there beside send and show).
  void FailAndContinue(const std::string& window) {
    x.Keys(window, "alt+p");
    std::string box;
    ASSERT_TRUE(XDisplay::Eventually([&] {
      const auto windows = x.Windows("Pinmark");
      if (windows.size() == 2) box = windows[0] == window ? windows[1] : windows[0];
      return !box.empty();
    })) << "no box";
    const XDisplay::Geometry g = x.GeometryOf(box);
    ASSERT_GT(g.Width, 100);
    x.Click(box, g.Width - 20, 20);
    EXPECT_TRUE(XDisplay::Eventually([&] { return x.Windows("Pinmark").size() == 1; })) << "the box stayed";
  }

  XDisplay x;
  TempDir dir;
  std::string exe = dir.File("pinmark");
  std::string bugReport = dir.File("bugreport.txt");
};

TEST_F(PinmarkUnderX, ARefusedCheckInShowsTheBoxContinuesAndTheSecondFailureCountsTwo) {
  ChildProcess pinmark(exe, {}, {{"DISPLAY", x.Name()}, {"QT_QPA_PLATFORM", "xcb"}});
  std::string window;
  ASSERT_TRUE(XDisplay::Eventually([&] {
    const auto windows = x.Windows("Pinmark");
    if (windows.size() == 1) window = windows[0];
    return !window.empty();
  })) << pinmark.Err();

  FailAndContinue(window);
  ASSERT_TRUE(XDisplay::Eventually([&] { return Count(TempDir::Read(bugReport), "exception class") == 1; }))
      << pinmark.Err();
  std::string report = TempDir::Read(bugReport);
  EXPECT_NE(report.find("exception class   : EIdSocketError"), std::string::npos) << report;
  EXPECT_NE(report.find("exception message : Socket Error # 10061 Connection refused."), std::string::npos);
  EXPECT_EQ(report.find("will be calculated soon"), std::string::npos) << report;
  EXPECT_NE(report.find("\r\n\r\nmain thread ($"), std::string::npos);
  EXPECT_NE(report.find(" TFormMain::btnPinmarkClick("), std::string::npos) << report;
  EXPECT_NE(report.find("\r\n\r\nmodules:\r\n"), std::string::npos);

  // Still Pinmark: its button works, and fails the same way again.
  FailAndContinue(window);
  ASSERT_TRUE(XDisplay::Eventually([&] { return TempDir::Read(bugReport).find("\r\ncount ") != std::string::npos; }))
      << TempDir::Read(bugReport);
  report = TempDir::Read(bugReport);
  EXPECT_EQ(Count(report, "exception class"), 1) << "the first report was merged into the second";
  EXPECT_NE(report.find("\r\ncount             : 2\r\n"), std::string::npos) << report;
  EXPECT_EQ(report.find("will be calculated soon"), std::string::npos) << report;
  EXPECT_EQ(x.Windows("Pinmark").size(), 1u);
}

}  // namespace
