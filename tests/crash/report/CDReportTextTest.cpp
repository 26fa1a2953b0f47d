// The report's name/content lists and their rendering into the report text.
#include <gtest/gtest.h>

#include "crash/report/CDReport.h"
#include "crash/report/CDReportText.h"
#include "crash/report/ICDFields.h"

namespace {

TEST(ICDFields, StoresTrimmedContentsDeletesOnEmptyAndIgnoresCase) {
  TICDFields f;
  f.Set("date/time", "  2026-12-08 \r\n");
  f.Set("Exception Class", "\tEFoo ");
  EXPECT_EQ(f.Get("DATE/TIME"), "2026-12-08");
  EXPECT_EQ(f.Get("exception class"), "EFoo");
  f.Set("EXCEPTION CLASS", "EBar");  // replaces, keeps the first spelling and place
  ASSERT_EQ(f.Count(), 2u);
  EXPECT_EQ(f.Items()[1].Name, "Exception Class");
  EXPECT_EQ(f.Items()[1].Content, "EBar");
  f.Set("date/time", " \r\n ");
  EXPECT_FALSE(f.Has("date/time"));
  EXPECT_EQ(f.Count(), 1u);
}

TEST(ICDFields, InsertsNewNamesAtTheInsertionIndexInTheirOrderAndClosesForChanges) {
  TICDFields f;
  f.Set("a", "1");
  f.Set("callstack crc", "soon");
  f.Set("exception class", "E");
  f.SetInsertIndex(f.IndexOf("callstack crc"));
  f.Set("contact name", "Ann");
  f.Set("contact email", "ann@example.com");
  std::vector<std::string> names;
  for (const TCDField& x : f.Items()) names.push_back(x.Name);
  EXPECT_EQ(names, (std::vector<std::string>{"a", "contact name", "contact email", "callstack crc",
                                             "exception class"}));
  uint64_t changes = f.ChangeCount();
  f.Close();
  f.Set("late", "x");
  f.Set("a", "");
  EXPECT_EQ(f.Count(), 5u);
  EXPECT_EQ(f.ChangeCount(), changes);
}

TEST(CDReportText, PadsLabelsCollapsesBlanksAndWritesSectionsWithDotsForEmptyLines) {
  std::vector<TCDField> header{{"user name", "root  <admin>"}, {"exception message", "line one\r\nline\rtwo"}};
  std::vector<TCDField> sections{{"main thread ($1f)", "00401000 a  \r\n\r\n00401005 b\n\nc"},
                                 {"modules:", "x"}};
  EXPECT_EQ(RenderBugReport(header, sections),
            "user name         : root <admin>\r\n"
            "exception message : line one line two\r\n"
            "\r\n"
            "main thread ($1f):\r\n"
            "00401000 a\r\n"
            ".\r\n"
            "00401005 b\r\n"
            ".\r\n"
            "c\r\n"
            "\r\n"
            "modules:\r\n"
            "x");
}

TEST(CDReportText, AnEmptyReportIsEmptyAndAHeaderEndsWithoutABreak) {
  using Fields = std::vector<TCDField>;
  EXPECT_EQ(RenderBugReport(Fields{}, Fields{}), "");
  EXPECT_EQ(RenderBugReport(Fields{{"a", "1"}}, Fields{}), "a : 1");
}

}  // namespace

namespace {

TEST(CDReport, KeepsNoTextOlderThanItsListsAndCompletesOnce) {
  TCDReport r;
  int changes = 0, completions = 0;
  r.OnChange([&] { ++changes; });
  r.Header.Set("date/time", "now");
  EXPECT_EQ(r.Text(), "date/time : now");
  r.Sections.Set("main thread", ">> stack will be calculated soon");
  EXPECT_EQ(r.Text(), "date/time : now\r\n\r\nmain thread:\r\n>> stack will be calculated soon");
  EXPECT_EQ(changes, 2);

  r.OnComplete([&] { ++completions; });
  r.SetOutstanding(2);
  r.SectionDone();
  EXPECT_FALSE(r.WaitComplete(0));
  r.SectionDone();
  EXPECT_TRUE(r.WaitComplete(0));
  r.MarkComplete();
  r.OnComplete([&] { ++completions; });  // already complete: runs at once
  EXPECT_EQ(completions, 2);
}

}  // namespace

namespace {

TEST(CDReportText, LineBreaksInLabelsAndSectionNamesCannotBreakTheLayout) {
  std::vector<TCDField> header{{"contact\r\nname", "Ann"}, {"a", "1"}};
  std::vector<TCDField> sections{{"error\r\n\r\ndetails", "x"}};
  EXPECT_EQ(RenderBugReport(header, sections),
            "contact name : Ann\r\n"
            "a            : 1\r\n"
            "\r\n"
            "error details:\r\n"
            "x");
}

}  // namespace
