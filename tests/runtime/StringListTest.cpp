#include "runtime/StringList.h"

#include <gtest/gtest.h>

namespace {
std::vector<std::string> Split(const std::string& text, char delimiter = '.') {
  TStringList list;
  list.Delimiter = delimiter;
  list.SetDelimitedText(text);
  return list.Items();
}
}  // namespace

TEST(StringList, DelimitedTextSplitsLikeTheAddressRuleNeeds) {
  using V = std::vector<std::string>;
  EXPECT_EQ(Split("203.0.113.7"), (V{"203", "0", "113", "7"}));
  EXPECT_EQ(Split("203.0.113.7\r\n"), (V{"203", "0", "113", "7"}));
  EXPECT_EQ(Split("  1.2.3.4  "), (V{"1", "2", "3", "4"}));
  EXPECT_EQ(Split("1.2.3.4 x"), (V{"1", "2", "3", "4", "x"}));
  EXPECT_EQ(Split("1.2.3."), (V{"1", "2", "3", ""}));
  EXPECT_EQ(Split("\"1\".2.3.4"), (V{"1", "2", "3", "4"}));
  EXPECT_EQ(Split("\"a\"\"b\".c"), (V{"a\"b", "c"}));
  EXPECT_EQ(Split("\"unclosed.2"), (V{"unclosed.2"}));
  EXPECT_EQ(Split(""), V{});
  EXPECT_EQ(Split("1. 2"), (V{"1", "2"}));
  EXPECT_EQ(Split(std::string("1.2\0.3", 6)), (V{"1", "2"}));
}

TEST(StringList, DelimitedTextRoundTrips) {
  TStringList list;
  list.Add("plain");
  list.Add("with blank");
  list.Add("q\"uote");
  list.Add("");
  TStringList back;
  back.SetDelimitedText(list.DelimitedText());
  EXPECT_EQ(back.Items(), list.Items());
}

TEST(StringList, TextUsesCrLfAndReadsAnyLineBreak) {
  TStringList list;
  list.SetText("a\r\nb\nc\rd");
  EXPECT_EQ(list.Items(), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(list.Text(), "a\r\nb\r\nc\r\nd\r\n");
  list.SetText("x\r\n");
  EXPECT_EQ(list.Count(), 1);
  list.SetText("\n\n");
  EXPECT_EQ(list.Count(), 2);
}

TEST(StringList, EditingAndLookup) {
  TStringList list;
  list.Add("Name=Value");
  list.Insert(0, "first");
  list.Add("other=x=y");
  EXPECT_EQ(list.IndexOf("FIRST"), 0);
  list.CaseSensitive = true;
  EXPECT_EQ(list.IndexOf("FIRST"), -1);
  list.CaseSensitive = false;
  EXPECT_EQ(list.Values("name"), "Value");
  EXPECT_EQ(list.Values("other"), "x=y");
  EXPECT_EQ(list.Names(2), "other");
  list.Delete(0);
  EXPECT_EQ(list[0], "Name=Value");
  EXPECT_THROW(list.Get(5), EStringListError);
  EXPECT_THROW(list.Insert(-1, ""), EStringListError);
}
