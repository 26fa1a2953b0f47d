// The report as the exception box shows it: one tab per part of the report
// ("general" for the header, "call stack" or "call stacks" for the leading
// thread sections, then one per further section, "cpu registers" shown as
// "cpu regs" and "disassembling" as "disasm"), each a list with column heads
// where the section's layout is known, and plain "Courier New" text for
// placeholders, internal errors and anything else.
//
// The view follows the report while it completes: every change of the report
// (from whichever thread) is brought to the GUI thread and the tabs are
// rebuilt from the report's lists. The view may go before the report does.
#pragma once

#include <QStringList>
#include <QTabWidget>

#include <memory>
#include <string>
#include <vector>

#include "crash/report/ICDFields.h"

class TCDReport;

// One tab as the view builds it from the report's lists.
struct TCDReportTab {
  std::string Title;
  QStringList Columns;            // empty: shown as plain text
  std::vector<QStringList> Rows;  // a row of one cell spans the list
  std::string Text;               // the plain text
};

// The tabs for a report's header and sections. Thread sections are told by
// their names ("... ($id):", "thread $id ...").
std::vector<TCDReportTab> CDReportTabs(const std::vector<TCDField>& header, const std::vector<TCDField>& sections);

class TCDReportView : public QTabWidget {
 public:
  explicit TCDReportView(TCDReport& report, QWidget* parent = nullptr);
  ~TCDReportView() override;

  // Rebuilds the tabs from the report now (changes arrive by themselves).
  void Refresh();

 private:
  struct TLink;
  TCDReport& report_;
  std::shared_ptr<TLink> link_;
};
