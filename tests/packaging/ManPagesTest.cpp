// Each program's man page against the program itself: man reads it without a
// warning, its OPTIONS are exactly the options --help lists, and --help and
// --version answer on standard output with exit status 0.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace {
struct Program {
  std::string name, path;
};

// Every program with a man page; a new program joins here.
const std::vector<Program> kPrograms = {
    {"pinmark", PINMARK_EXE},
    {"pinmark-checkin", PINMARK_CHECKIN_EXE},
    {"idpost", IDPOST_EXE},
    {"pinmark-service", PINMARK_SERVICE_EXE},
};

std::string ManPage(const std::string& name) { return PINMARK_SOURCE_DIR "/packaging/man/" + name + ".1"; }

// The options named on a line: words that begin with "-" after a blank, an
// opening bracket or a comma.
void OptionsIn(const std::string& line, std::set<std::string>& options) {
  static const std::regex option(R"((?:^|[\s(,"])(--?[a-z][a-z0-9-]*))");
  for (std::sregex_iterator it(line.begin(), line.end(), option), end; it != end; ++it) options.insert((*it)[1]);
}

// The options of --help: those on its option lines, the indented ones that
// begin with "-".
std::set<std::string> HelpOptions(const std::string& help) {
  std::set<std::string> options;
  std::istringstream in(help);
  for (std::string line; std::getline(in, line);) {
    const std::size_t text = line.find_first_not_of(' ');
    if (text != 0 && text != std::string::npos && line[text] == '-') OptionsIn(line, options);
  }
  return options;
}

// The options named in the page's OPTIONS section and in a section of
// commands (the options of a command, as pinmark-service's account commands
// have), their escapes undone.
std::set<std::string> ManOptions(const std::string& page) {
  std::set<std::string> options;
  std::istringstream in(page);
  bool inOptions = false;
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with(".SH")) inOptions = line == ".SH OPTIONS" || line.ends_with(" COMMANDS");
    if (!inOptions) continue;
    line = std::regex_replace(line, std::regex(R"(\\f[BIRP])"), "");
    line = std::regex_replace(line, std::regex(R"(\\-)"), "-");
    OptionsIn(line, options);
  }
  return options;
}
}  // namespace

TEST(ManPages, EachPageReadsCleanlyAndNamesTheOptionsOfHelp) {
  for (const Program& program : kPrograms) {
    const std::string page = ManPage(program.name);
    const std::string text = TempDir::Read(page);
    ASSERT_FALSE(text.empty()) << page;
    EXPECT_EQ(text.rfind(".TH ", 0), 0u) << page;
    EXPECT_NE(text.find("\"Pinmark " PINMARK_VERSION "\""), std::string::npos) << page << " names another version";

    // man formats it with groff's warnings on, as lintian does.
    ChildProcess man("man", {"--warnings", "-l", page}, {{"MANWIDTH", "80"}, {"LC_ALL", "C.UTF-8"}});
    EXPECT_EQ(man.Wait(), 0) << page;
    EXPECT_EQ(man.Err(), "") << page;
    EXPECT_NE(man.Out().find("NAME"), std::string::npos) << page;

    ChildProcess help(program.path, {"--help"}, {{"QT_QPA_PLATFORM", "offscreen"}});
    EXPECT_EQ(help.Wait(), 0) << program.name;
    EXPECT_EQ(help.Err(), "") << program.name;
    const std::set<std::string> helpOptions = HelpOptions(help.Out());
    EXPECT_TRUE(helpOptions.contains("--help") && helpOptions.contains("--version")) << help.Out();
    EXPECT_EQ(ManOptions(text), helpOptions) << program.name << ": the man page's OPTIONS against --help";

    ChildProcess version(program.path, {"--version"}, {{"QT_QPA_PLATFORM", "offscreen"}});
    EXPECT_EQ(version.Wait(), 0) << program.name;
    EXPECT_EQ(version.Out(), program.name + " " PINMARK_VERSION "\n");
  }
}

// The comparison itself: an option missing on either side is seen.
TEST(ManPages, OptionsAreFoundOnOptionLinesAndInTheOptionsSectionOnly) {
  EXPECT_EQ(HelpOptions("usage: x [--all]\n  --a FILE   the a (also --b, -c)\n      see --d\nmore --e\n"),
            (std::set<std::string>{"--a", "--b", "-c"}));
  EXPECT_EQ(ManOptions(".SH SYNOPSIS\n.B \\-\\-all\n.SH OPTIONS\n.TP\n.BI \\-\\-a \" FILE\"\nthe\\-a, "
                       "\\fB\\-c\\fR\n.SH FILES\n\\-\\-z\n"),
            (std::set<std::string>{"--a", "-c"}));
}
