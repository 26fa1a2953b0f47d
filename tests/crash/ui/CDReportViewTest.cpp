#include "crash/ui/CDReportView.h"

#include <gtest/gtest.h>

#include <QPlainTextEdit>
#include <QPrinter>
#include <QTest>
#include <QTreeWidget>

#include <thread>

#include "crash/report/CDReport.h"
#include "crash/ui/CDPrintReport.h"
#include "crash/ui/CDScreenShot.h"
#include "crash/report/CDCallStackText.h"
#include "tests/support/QtApp.h"
#include "tests/support/TempDir.h"

namespace {

// A call stack as the report lays it out: a line with unit and lines, one
// of a library without either, an unknown address, the creation site.
const std::string kStack = [] {
  auto symbol = [](std::string module, std::string unit, std::string function, int line, int first) {
    TCDSymbol s;
    s.Known = true;
    s.Module = std::move(module);
    s.Unit = std::move(unit);
    s.Function = std::move(function);
    s.HasStart = true;
    s.Line = line;
    s.FunctionLine = first;
    return s;
  };
  std::vector<TCDStackLine> lines = {
      {0x401012, symbol("Pinmark", "frmPinmark.cpp", "TFormMain::btnPinmarkClick", 120, 117)},
      {0x7f0000402000, symbol("libQt6Core.so.6", "", "QObject::event(QEvent*)", 0, 0)},
      {0x403000, TCDSymbol{}},
      {0x404004, symbol("Pinmark", "main.cpp", "main", 20, 18)},
  };
  lines[0].Symbol.FunctionStart = 0x401000;
  lines[1].Symbol.FunctionStart = 0x7f0000402000;
  lines[3].Symbol.FunctionStart = 0x404000;
  return FormatCallStack(lines, TCDCallStackOptions{}, "main thread ($1)");
}();

std::vector<TCDField> Sections() {
  return {{"main thread ($1):", kStack},
          {"worker ($2):", "0000000000401000 +0012 Pinmark frmPinmark.cpp 120 +3 TFormMain::Run"},
          {"modules", "0000000000400000 Pinmark        1.0.0.2 /opt/pinmark/\r\n00007f0000000000 libc.so.6      /usr/lib/"},
          {"processes", "01f4 Pinmark below normal /opt/pinmark/\r\n0001 init normal /sbin/"},
          {"hardware", "+ Network\r\n  - eth0"},
          {"cpu registers", "rax = 0000000000000001\r\nrbx = 0000000000000002"},
          {"stack dump",
           "00007ffd00000000  41 42 43 44 45 46 47 48 - 49 4a 4b 4c 4d 4e 4f 50  ABCDEFGHIJKLMNOP"},
          {"disassembling", "0000000000401000 > mov rax, rbx"}};
}

TEST(ReportTabs, EachPartGetsItsTabAndItsColumns) {
  std::vector<TCDReportTab> tabs =
      CDReportTabs({{"date/time", "now"}, {"executable", "Pinmark"}, {"user name", "root  <admin>"}}, Sections());
  std::vector<std::string> titles;
  for (const auto& t : tabs) titles.push_back(t.Title);
  EXPECT_EQ(titles, (std::vector<std::string>{"general", "call stacks", "modules", "processes", "hardware", "cpu regs",
                                              "stack dump", "disasm"}));
  EXPECT_EQ(tabs[0].Columns, (QStringList{"description", "value"}));
  EXPECT_EQ(tabs[0].Rows[1], (QStringList{"executable", "Pinmark"}));
  EXPECT_EQ(tabs[0].Rows[2], (QStringList{"user name", "root <admin>"}));  // as the report text writes it

  const TCDReportTab& stacks = tabs[1];
  ASSERT_EQ(stacks.Columns.size(), 13);
  EXPECT_EQ(stacks.Columns[0], "address");
  EXPECT_EQ(stacks.Columns[1], "");
  EXPECT_EQ(stacks.Columns[12], "function");
  ASSERT_EQ(stacks.Rows.size(), 8u) << kStack;
  EXPECT_EQ(stacks.Rows[0], QStringList{"main thread ($1):"});
  EXPECT_EQ(stacks.Rows[1], (QStringList{"0000000000401012", "", "+12", "", "Pinmark", "", "frmPinmark.cpp", "", "120", "",
                                         "+3", "", "TFormMain::btnPinmarkClick"}));
  // Neither unit nor line: the function stays whole in its own column.
  EXPECT_EQ(stacks.Rows[2], (QStringList{"00007f0000402000", "", "+00", "", "libQt6Core.so.6", "", "", "", "", "", "",
                                         "", "QObject::event(QEvent*)"}));
  EXPECT_EQ(stacks.Rows[3][4], "");
  EXPECT_EQ(stacks.Rows[3][12], "???");
  EXPECT_EQ(stacks.Rows[4], QStringList{">> created by main thread ($1) at:"});
  EXPECT_EQ(stacks.Rows[5][6], "main.cpp");
  EXPECT_EQ(stacks.Rows[5][8], "20");

  EXPECT_EQ(tabs[2].Rows[0], (QStringList{"0000000000400000", "Pinmark", "1.0.0.2", "/opt/pinmark/"}));
  EXPECT_EQ(tabs[2].Rows[1], (QStringList{"00007f0000000000", "libc.so.6", "", "/usr/lib/"}));
  EXPECT_EQ(tabs[3].Rows[0], (QStringList{"01f4", "Pinmark", "below normal", "/opt/pinmark/"}));
  EXPECT_TRUE(tabs[4].Columns.isEmpty());
  EXPECT_EQ(tabs[5].Rows[1], (QStringList{"rbx", "0000000000000002"}));
  EXPECT_EQ(tabs[6].Rows[0], (QStringList{"00007ffd00000000", "41 42 43 44 45 46 47 48 - 49 4a 4b 4c 4d 4e 4f 50",
                                          "ABCDEFGHIJKLMNOP"}));
  EXPECT_TRUE(tabs[7].Columns.isEmpty());
}

TEST(ReportTabs, PlaceholdersErrorsAndStrangeLayoutsAreShownAsText) {
  std::vector<TCDReportTab> tabs = CDReportTabs(
      {}, {{"main thread ($1):", "0000000000401000 x\r\n>> stack will be calculated soon"},
           {"modules", ">> will be calculated soon"},
           {"cpu registers", ">> internal error in registers"},
           {"processes", "not a process list"}});
  ASSERT_EQ(tabs.size(), 5u);
  EXPECT_EQ(tabs[1].Title, "call stack");
  for (std::size_t i = 1; i < tabs.size(); ++i) {
    EXPECT_TRUE(tabs[i].Columns.isEmpty()) << tabs[i].Title;
    EXPECT_FALSE(tabs[i].Text.empty());
  }
}

TEST(ReportView, FollowsTheReportWhileItCompletes) {
  App();
  TCDReport report;
  report.Header.Set("date/time", "now");
  report.Sections.Set("main thread ($1):", ">> stack will be calculated soon");
  report.Sections.Set("modules", ">> will be calculated soon");
  auto view = std::make_unique<TCDReportView>(report);
  ASSERT_EQ(view->count(), 3);
  EXPECT_NE(dynamic_cast<QPlainTextEdit*>(view->widget(2)), nullptr);
  view->setCurrentIndex(2);

  std::thread completing([&] {
    report.Sections.Set("modules", "0000000000400000 Pinmark 1.0.0.2 /opt/pinmark/");
    report.Sections.Set("cpu registers", "rax = 0000000000000001");
  });
  completing.join();
  EXPECT_TRUE(QTest::qWaitFor([&] { return view->count() == 4; }, 5000));
  EXPECT_EQ(view->tabText(3).toStdString(), "cpu regs");
  EXPECT_EQ(view->tabText(view->currentIndex()).toStdString(), "modules");
  EXPECT_NE(dynamic_cast<QTreeWidget*>(view->widget(2)), nullptr);

  // The report goes on changing after the view has gone.
  view.reset();
  report.Header.Set("exception number", "2");
  QCoreApplication::processEvents();
}

TEST(Printing, TheReportGoesOnPagesOfAPdfFile) {
  App();
  TempDir dir;
  QPrinter printer;
  printer.setOutputFormat(QPrinter::PdfFormat);
  printer.setOutputFileName(ToQString(dir.File("report.pdf")));
  std::string text;
  for (int i = 0; i < 200; ++i) text += "line " + std::to_string(i) + " " + std::string(150, 'x') + "\r\n";
  int pages = PrintReportText(printer, text);
  EXPECT_GT(pages, 2);
  std::string pdf = TempDir::Read(dir.File("report.pdf"));
  EXPECT_TRUE(pdf.starts_with("%PDF"));
}

TEST(ScreenShot, IsSavedAsScreenShotPngInTheWantedDepth) {
  App();
  TempDir dir;
  QWidget window;
  window.setGeometry(50, 50, 200, 100);
  window.show();
  std::string folder = dir.Path().string() + "/";
  EXPECT_EQ(TakeCDScreenShot(0, true, folder), "");
  std::string path = TakeCDScreenShot(8, true, folder);
  ASSERT_EQ(path, folder + "screenShot.png");
  QImage image(ToQString(path));
  EXPECT_EQ(image.size(), QSize(200, 100));
  EXPECT_LE(image.colorCount(), 256);
  EXPECT_GT(image.colorCount(), 0);
  EXPECT_FALSE(TakeCDScreenShot(24, false, folder).empty());
}

}  // namespace
