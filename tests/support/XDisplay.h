// A virtual X display of its own for a test that runs a program with real
// windows and drives it from outside, as a user would: Xvfb on a display
// number that is free on the whole machine, and xdotool to find windows, type
// and click. Every wait is bounded.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/ChildProcess.h"

class XDisplay {
 public:
  XDisplay() {
    // A display number nobody uses, neither in this /tmp (its lock file) nor
    // on the machine (the abstract socket, shared with servers whose /tmp is
    // another): a client of a number taken elsewhere may reach the wrong
    // server. Xvfb says through -displayfd when it takes connections.
    for (int number = FirstCandidate(), tries = 0; tries < 8 && display_.empty(); ++number) {
      if (!Free(number)) continue;
      ++tries;
      Start(number);
    }
  }
  ~XDisplay() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  XDisplay(const XDisplay&) = delete;
  XDisplay& operator=(const XDisplay&) = delete;

  // ":N", or empty when no display could be started.
  const std::string& Name() const { return display_; }

  // Runs xdotool on this display; its standard output, or empty.
  std::string Tool(const std::vector<std::string>& args) const {
    ChildProcess run("xdotool", args, {{"DISPLAY", display_}});
    return run.Wait(std::chrono::seconds(10)) == 0 ? run.Out() : std::string();
  }

  // The visible windows whose title is exactly title, oldest first.
  std::vector<std::string> Windows(const std::string& title) const {
    std::istringstream out(Tool({"search", "--onlyvisible", "--name", "^" + title + "$"}));
    std::vector<std::string> ids;
    for (std::string id; out >> id;) ids.push_back(id);
    return ids;
  }

  struct Geometry {
    int X = 0, Y = 0, Width = 0, Height = 0;
  };
  Geometry GeometryOf(const std::string& window) const {
    Geometry g;
    std::istringstream out(Tool({"getwindowgeometry", "--shell", window}));
    for (std::string line; std::getline(out, line);) {
      const std::size_t eq = line.find('=');
      if (eq == std::string::npos) continue;
      const int value = std::atoi(line.c_str() + eq + 1);
      const std::string key = line.substr(0, eq);
      if (key == "X") g.X = value;
      if (key == "Y") g.Y = value;
      if (key == "WIDTH") g.Width = value;
      if (key == "HEIGHT") g.Height = value;
    }
    return g;
  }

  // Gives the window the keyboard and types keys ("alt+p").
  void Keys(const std::string& window, const std::string& keys) const {
    Tool({"windowfocus", "--sync", window});
    Tool({"key", keys});
  }
  // Clicks at x, y within the window.
  void Click(const std::string& window, int x, int y) const {
    Tool({"mousemove", "--window", window, std::to_string(x), std::to_string(y), "click", "1"});
  }

  // Polls until done() answers true, at most limit; true when it did.
  static bool Eventually(const std::function<bool()>& done,
                         std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return done();
  }

 private:
  // Spreads concurrent test programs over the numbers, away from the low
  // ones that desktops and hand-started servers take.
  static int FirstCandidate() { return 100 + static_cast<int>(::getpid() % 400) * 2; }

  static bool Free(int number) {
    const std::string n = std::to_string(number);
    if (::access(("/tmp/.X" + n + "-lock").c_str(), F_OK) == 0) return false;
    std::ifstream sockets("/proc/net/unix");
    const std::string name = "@/tmp/.X11-unix/X" + n;
    for (std::string line; std::getline(sockets, line);)
      if (line.size() >= name.size() && line.compare(line.size() - name.size(), name.size(), name) == 0) return false;
    return true;
  }

  void Start(int number) {
    int pipe[2];
    if (::pipe(pipe) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(pipe[0]);
      if (!std::freopen("/dev/null", "w", stdout) || !std::freopen("/dev/null", "w", stderr)) ::_exit(126);
      const std::string display = ":" + std::to_string(number), fd = std::to_string(pipe[1]);
      ::execlp("Xvfb", "Xvfb", display.c_str(), "-displayfd", fd.c_str(), "-screen", "0", "1280x800x24", "-nolisten",
               "tcp", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(pipe[1]);
    // Xvfb writes its display number once it takes connections; a server
    // that could not take the number ends without a word.
    std::string written;
    pollfd p{pipe[0], POLLIN, 0};
    char c = 0;
    while (pid_ > 0 && ::poll(&p, 1, 10000) > 0 && ::read(pipe[0], &c, 1) == 1 && c != '\n') written += c;
    ::close(pipe[0]);
    if (written == std::to_string(number)) {
      display_ = ":" + written;
      return;
    }
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
  }

  pid_t pid_ = -1;
  std::string display_;
};
