#include "service/cli/PasswordPrompt.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iostream>

#include "service/core/NameRules.h"
#include "settings/md5.h"

namespace {
termios gSavedTerminal;
volatile sig_atomic_t gTerminalChanged = 0;

// Gives the terminal its echo back when the prompt is interrupted.
void RestoreTerminalAndDie(int sig) {
  if (gTerminalChanged) ::tcsetattr(STDIN_FILENO, TCSANOW, &gSavedTerminal);
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

// One line of standard input without its line end; false at its end.
bool ReadLine(std::string& line) {
  line.clear();
  char c;
  while (true) {
    const ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return !line.empty();
    if (c == '\n') break;
    if (line.size() > MaxPasswordBytes) return false;  // no password is that long; do not grow
    line += c;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

std::string Prompt(const char* text) {
  // Echo goes off before the prompt shows: what was typed ahead of it (and
  // echoed) is dropped, what is typed after it is kept.
  termios quiet = gSavedTerminal;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  quiet.c_lflag |= ECHONL;
  gTerminalChanged = 1;
  ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  std::cerr << text << std::flush;
  std::string line;
  const bool read = ReadLine(line);
  ::tcsetattr(STDIN_FILENO, TCSANOW, &gSavedTerminal);
  gTerminalChanged = 0;
  if (!read) line.clear();
  return line;
}

}  // namespace

std::string ReadPasswordDigest(const std::string& account, bool fromStdin) {
  std::string password;
  if (fromStdin) {
    if (!ReadLine(password) || password.empty()) throw EPasswordPrompt("no password on standard input");
  } else {
    if (!::isatty(STDIN_FILENO) || ::tcgetattr(STDIN_FILENO, &gSavedTerminal) != 0)
      throw EPasswordPrompt(
          "the password is asked for on a terminal; give --password-stdin to read it from standard input");
    ::signal(SIGINT, RestoreTerminalAndDie);
    ::signal(SIGTERM, RestoreTerminalAndDie);
    ::signal(SIGHUP, RestoreTerminalAndDie);
    password = Prompt(("Password for " + account + ": ").c_str());
    const std::string again = password.empty() ? "" : Prompt("The same password again: ");
    if (password.empty()) throw EPasswordPrompt("no password given");
    if (again != password) throw EPasswordPrompt("the two passwords differ; nothing was changed");
  }
  const std::string digest = DigestToHex(MD5OfString(password));
  std::fill(password.begin(), password.end(), '\0');
  return digest;
}
