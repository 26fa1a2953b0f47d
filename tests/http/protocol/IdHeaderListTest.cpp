#include "http/protocol/IdHeaderList.h"

#include <gtest/gtest.h>

#include "runtime/SysUtils.h"

namespace {
using Lines = std::vector<std::string>;

TIdHeaderList ListOf(const Lines& lines, int foldWidth = 78) {
  TIdHeaderList list(foldWidth);
  for (const std::string& line : lines) list.Add(line);
  return list;
}
}  // namespace

TEST(IdHeaderList, LookupIgnoresCaseAndUnfoldsContinuations) {
  TIdHeaderList list = ListOf({"content-length: 12", "no colon here", "X-A: one", " two", "\tthree", "Empty:",
                               "Spaced:   padded   "});
  struct Case {
    std::string name, value;
    int index;
  } cases[] = {
      {"Content-Length", "12", 0}, {"CONTENT-LENGTH", "12", 0}, {"x-a", "one two three", 2},
      {"Empty", "", 5},            {"Spaced", "padded", 6},     {"no colon here", "", -1},
      {"Missing", "", -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(list.IndexOfHeader(c.name), c.index) << c.name;
    EXPECT_EQ(list.ValueOf(c.name), c.value) << c.name;
  }
  for (bool matchCase : {false, true}) {
    list.MatchCase = matchCase;
    for (int i = -1; i <= list.Count(); ++i)
      for (const char* name : {"content-length", "CONTENT-LENGTH", "Content", "x-a", "X-A:", "", "no colon here"})
        EXPECT_EQ(list.HasNameText(i, name), SameText(list.NameAt(i), name)) << i << " " << name;
  }
  list.MatchCase = false;
  EXPECT_EQ(list.NameAt(0), "CONTENT-LENGTH");
  EXPECT_EQ(list.NameAt(1), "");
  EXPECT_EQ(list.NameAt(99), "");
  EXPECT_EQ(list.ValueAt(-1), "");
  EXPECT_EQ(list.ValueAt(7), "");

  list.UnfoldOnRead = false;
  EXPECT_EQ(list.ValueOf("X-A"), "one");
  list.MatchCase = true;
  EXPECT_EQ(list.NameAt(0), "content-length");
  EXPECT_EQ(list.IndexOfHeader("Content-Length"), -1);
}

TEST(IdHeaderList, SetValueKeepsThePlaceOfAnExistingHeader) {
  TIdHeaderList list = ListOf({"A: 1", "host: a", " continued", "B: 2"});
  list.SetValue("Host", "b");
  EXPECT_EQ(list.Items(), (Lines{"A: 1", "Host: b", "B: 2"}));
  list.SetValue("C", "3");
  EXPECT_EQ(list.Items(), (Lines{"A: 1", "Host: b", "B: 2", "C: 3"}));
  list.Insert(1, "X: long");
  list.Insert(2, " tail");
  list.SetValue("x", "");
  EXPECT_EQ(list.Items(), (Lines{"A: 1", "Host: b", "B: 2", "C: 3"}));
  list.SetValue("Absent", "");
  EXPECT_EQ(list.Count(), 4);
}

TEST(IdHeaderList, SetValueWritesWhatFoldingLeaves) {
  // A line that needs no folding loses only its trailing blanks; one with a
  // line break of its own goes on a continuation line, never a header of its own.
  struct Case {
    std::string value;
    Lines lines;
  };
  const Case cases[] = {
      {"v", {"X: v"}},
      {"v \t ", {"X: v"}},
      {std::string(13, 'v'), {"X: " + std::string(13, 'v')}},  // exactly the width
      {"a\r\nInjected: 1", {"X: a", " Injected: 1"}},
      {"a\nb", {"X: a", " b"}},
  };
  for (const Case& c : cases) {
    TIdHeaderList list(16);
    list.SetValue("X", c.value);
    EXPECT_EQ(list.Items(), c.lines) << c.value;
  }
}

TEST(IdHeaderList, CollectValuesGathersEveryLineOfTheName) {
  TIdHeaderList list = ListOf({"WWW-Authenticate: Basic realm=\"a\"", "Other: x", "www-authenticate: Digest",
                               " nonce=1"});
  TStringList values;
  list.CollectValues("WWW-Authenticate", &values);
  EXPECT_EQ(values.Items(), (Lines{"Basic realm=\"a\"", "Digest nonce=1"}));
  list.CollectValues("WWW-Authenticate", nullptr);
}

TEST(IdHeaderList, FoldValueWrapsOutsideQuotesAtTheWidth) {
  struct Case {
    int width;
    std::string text;
    Lines pieces;
  } cases[] = {
      {78, "Host: short", {"Host: short"}},
      {20, "Name: aaaa bbbb cccc dddd eeee", {"Name: aaaa bbbb cccc", " dddd eeee"}},
      {10, "Accept: a,b,c,d", {"Accept: a,", " b,c,d"}},
      {10, "Name: \"aaaa bbbb cccc dddd\" x", {"Name:", " \"aaaa bbbb cccc dddd\"", " x"}},
      {10, "A: xxxxxxxxxxxxxxxxxxxx", {"A:", " xxxxxxxxxxxxxxxxxxxx"}},
      {78, "A: x\r\n y", {"A: x", " y"}},
      {78, "A: x   ", {"A: x"}},
      {78, "", {""}},
      // A line break in a value never starts a header of its own.
      {78, "A: x\r\nInjected: y", {"A: x", " Injected: y"}},
      {78, "A: x\nB: y\rC: z\r\n", {"A: x", " B: y", " C: z"}},
  };
  for (const Case& c : cases) {
    TIdHeaderList list(c.width);
    EXPECT_EQ(list.FoldValue(c.text), c.pieces) << c.text;
  }
}

TEST(IdHeaderList, FoldedValuesReadBackAsSet) {
  // Values with single blanks between words come back unchanged.
  for (const std::string& value :
       {std::string("one two three four five six seven eight nine ten eleven twelve"),
        std::string("text/html, application/xhtml+xml, */*"), std::string(300, 'x') + " tail"}) {
    TIdHeaderList list(16);
    list.SetValue("X-Long", value);
    EXPECT_GT(list.Count(), 1) << value;
    EXPECT_EQ(list.ValueOf("X-Long"), value);
    list.SetValue("X-Long", "short");
    EXPECT_EQ(list.Items(), (Lines{"X-Long: short"}));
  }
}

TEST(IdHeaderList, AnotherSeparatorIsWrittenAndRead) {
  TIdHeaderList list;
  list.NameSeparator = "=";
  list.SetValue("realm", "\"x\"");
  list.Add("Other: y");
  EXPECT_EQ(list.Items(), (Lines{"realm=\"x\"", "Other: y"}));
  EXPECT_EQ(list.ValueOf("REALM"), "\"x\"");
  EXPECT_EQ(list.IndexOfHeader("Other"), -1);
}
