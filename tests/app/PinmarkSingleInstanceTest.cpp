// The built pinmark started twice on one X display, as a user does from the
// menu: the second start with the same settings brings the first window to
// the front and ends; one with other settings is a Pinmark of its own.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/XDisplay.h"

namespace {
// A copy of the program in a folder of its own with its settings beside it
// (a portable copy), so each copy has settings of its own.
struct PortableCopy {
  explicit PortableCopy(const TempDir& dir, const std::string& name) : folder(dir.File(name)) {
    std::filesystem::create_directory(folder);
    std::filesystem::copy_file(PINMARK_EXE, exe);
    TempDir::Write(folder + "/Pinmark.ini", "[User]\nName=alice\nPassword=0123456789abcdef0123456789abcdef\n");
  }
  std::string folder;
  std::string exe = folder + "/pinmark";
};

// The window under the middle of g.
std::string WindowAt(const XDisplay& x, const XDisplay::Geometry& g) {
  const std::string out = x.Tool({"mousemove", std::to_string(g.X + g.Width / 2), std::to_string(g.Y + g.Height / 2),
                                  "getmouselocation", "--shell"});
  const std::size_t at = out.find("WINDOW=");
  return at == std::string::npos ? std::string() : out.substr(at + 7, out.find('\n', at) - at - 7);
}
}  // namespace

TEST(PinmarkSingleInstance, ASecondStartBringsTheRunningWindowToTheFrontAndEnds) {
  XDisplay x;
  ASSERT_FALSE(x.Name().empty()) << "no X display (Xvfb)";
  TempDir dir;
  const std::string runtime = dir.File("run");
  std::filesystem::create_directory(runtime);
  ::chmod(runtime.c_str(), 0700);
  const std::map<std::string, std::string> env = {
      {"DISPLAY", x.Name()}, {"QT_QPA_PLATFORM", "xcb"}, {"XDG_RUNTIME_DIR", runtime}, {"BROWSER", "true"}};
  PortableCopy first(dir, "first"), other(dir, "other");

  ChildProcess a(first.exe, {}, env);
  ASSERT_TRUE(XDisplay::Eventually([&] { return x.Windows("Pinmark").size() == 1; })) << a.Err();
  const std::string windowA = x.Windows("Pinmark")[0];

  // Other settings: a Pinmark of its own, standing over the first (both
  // take the bottom right corner).
  ChildProcess b(other.exe, {}, env);
  ASSERT_TRUE(XDisplay::Eventually([&] { return x.Windows("Pinmark").size() == 2; })) << b.Err();
  const auto windows = x.Windows("Pinmark");
  const std::string windowB = windows[0] == windowA ? windows[1] : windows[0];
  const XDisplay::Geometry g = x.GeometryOf(windowA);
  ASSERT_TRUE(XDisplay::Eventually([&] { return WindowAt(x, g) == windowB; })) << "the other window is on top";

  // The first one's settings again: it comes to the front, and the start ends.
  ChildProcess again(first.exe, {}, env);
  EXPECT_EQ(again.Wait(std::chrono::seconds(30)), 0) << again.Err();
  EXPECT_TRUE(XDisplay::Eventually([&] { return WindowAt(x, g) == windowA; })) << "the first window came to the front";
  EXPECT_EQ(x.Windows("Pinmark").size(), 2u) << "no third window";
  EXPECT_EQ(::kill(a.Pid(), 0), 0) << "the first still runs";
}
