#include "crash/ui/CDReportView.h"

#include <QCoreApplication>
#include <QHeaderView>
#include <QPlainTextEdit>
#include <QPointer>
#include <QTreeWidget>

#include <algorithm>
#include <atomic>

#include "crash/report/CDReport.h"
#include "crash/report/CDReportText.h"
#include "runtime/Forms.h"
#include "runtime/SysUtils.h"

namespace {

std::vector<std::string> LinesOf(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) end = text.size();
    lines.emplace_back(text.substr(start, end - start));
    if (end == text.size()) break;
    start = end + ((text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1);
  }
  while (!lines.empty() && Trim(lines.back()).empty()) lines.pop_back();
  return lines;
}

std::vector<std::string> Tokens(std::string_view line) {
  std::vector<std::string> tokens;
  std::size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && line[at] == ' ') ++at;
    std::size_t end = line.find(' ', at);
    if (end == std::string_view::npos) end = line.size();
    if (end > at) tokens.emplace_back(line.substr(at, end - at));
    at = end;
  }
  return tokens;
}

bool IsHex(std::string_view s) {
  return !s.empty() && s.find_first_not_of("0123456789abcdefABCDEF") == std::string_view::npos;
}
bool IsDigits(std::string_view s) { return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos; }

std::string Joined(const std::vector<std::string>& tokens, std::size_t from) {
  std::string out;
  for (std::size_t i = from; i < tokens.size(); ++i) out += (out.empty() ? "" : " ") + tokens[i];
  return out;
}

QStringList Row(std::initializer_list<std::string> cells) {
  QStringList row;
  for (const std::string& c : cells) row << ToQString(c);
  return row;
}

std::string BareName(std::string name) {
  while (!name.empty() && (name.back() == ':' || name.back() == ' ')) name.pop_back();
  return name;
}

bool IsThreadSection(const std::string& name) {
  return name.find(" ($") != std::string::npos || StartsText("thread $", name);
}

// Placeholders and internal errors are shown as they are.
bool Unfinished(const std::string& content) {
  return content.find("will be calculated soon") != std::string::npos ||
         content.find(">> internal error") != std::string::npos;
}

// Where a non-blank run starting at `at` ends (at itself when there is none).
std::size_t RunEnd(const std::string& line, std::size_t at) {
  if (at >= line.size()) return at;
  const std::size_t end = line.find(' ', at);
  return end == std::string::npos ? line.size() : end;
}

// A thread's call stack: address, relative address, module, unit, line,
// relative line, function, each followed by an empty separator column. The
// columns are found from all of the section's lines, as each is padded to
// its longest entry: a line without a unit or a line number is then told
// apart from the function that follows. Notes (">> created by ...") take a
// row of their own. False when a line does not fit the layout.
bool FillStackRows(TCDReportTab& tab, const std::string& content) {
  struct TLine {
    std::string Text;
    bool Note = false;
    std::size_t ModuleAt = 0;
    std::string Address, Relative;
  };
  std::vector<TLine> lines;
  std::size_t unitAt = 0;
  for (const std::string& text : LinesOf(content)) {
    if (Trim(text).empty() || Trim(text) == ".") continue;
    TLine l;
    l.Text = text;
    if (StartsText(">>", Trim(text))) {
      l.Note = true;
      lines.push_back(std::move(l));
      continue;
    }
    std::size_t at = RunEnd(text, 0);
    l.Address = text.substr(0, at);
    if (!IsHex(l.Address) || l.Address.size() < 8 || at >= text.size()) return false;
    ++at;
    if (text[at] == '+') {
      const std::size_t end = RunEnd(text, at);
      l.Relative = text.substr(at, end - at);
      if (!IsHex(l.Relative.substr(1))) return false;
      at = end + 1;
    }
    l.ModuleAt = at;
    unitAt = std::max(unitAt, RunEnd(text, at) + 1);
    lines.push_back(std::move(l));
  }
  std::size_t unitWidth = 0;
  for (const TLine& l : lines)
    if (!l.Note) unitWidth = std::max(unitWidth, RunEnd(l.Text, unitAt) - std::min(unitAt, l.Text.size()));
  const std::size_t lineAt = unitAt + unitWidth + 1;
  for (const TLine& l : lines) {
    if (l.Note) {
      tab.Rows.push_back(QStringList{ToQString(Trim(l.Text))});
      continue;
    }
    const std::string& t = l.Text;
    const std::string module = t.size() > l.ModuleAt ? Trim(t.substr(l.ModuleAt, unitAt - l.ModuleAt)) : std::string();
    const std::string unit = unitAt < t.size() ? Trim(t.substr(unitAt, unitWidth)) : std::string();
    std::vector<std::string> rest = Tokens(lineAt < t.size() ? std::string_view(t).substr(lineAt) : std::string_view());
    std::size_t i = 0;
    std::string number, relLine;
    if (i < rest.size() && IsDigits(rest[i])) number = rest[i++];
    if (i < rest.size() && ((rest[i].size() > 1 && rest[i][0] == '+' && IsDigits(rest[i].substr(1))) ||
                            (!number.empty() && IsDigits(rest[i]))))
      relLine = rest[i++];
    tab.Rows.push_back(Row({l.Address, "", l.Relative, "", module, "", unit, "", number, "", relLine, "", Joined(rest, i)}));
  }
  return true;
}

bool RegisterRow(const std::string& line, QStringList& row) {
  std::size_t eq = line.find(" = ");
  if (eq == std::string::npos) return false;
  row = Row({Trim(line.substr(0, eq)), Trim(line.substr(eq + 3))});
  return true;
}

// address, two blanks, 16 bytes of "xx " with "- " before the ninth, a
// blank and the characters.
bool DumpRow(const std::string& line, QStringList& row) {
  constexpr std::size_t kHexWidth = 16 * 3 + 2;
  std::size_t gap = line.find("  ");
  if (gap == std::string::npos || !IsHex(line.substr(0, gap)) || line.size() < gap + 2 + kHexWidth) return false;
  const std::size_t charsAt = gap + 2 + kHexWidth + 1;
  row = Row({line.substr(0, gap), Trim(line.substr(gap + 2, kHexWidth)),
             charsAt < line.size() ? line.substr(charsAt) : std::string()});
  return true;
}

bool ModuleRow(const std::string& line, QStringList& row) {
  std::vector<std::string> t = Tokens(line);
  if (t.size() < 2 || !IsHex(t[0])) return false;
  std::size_t i = 2;
  std::string version;
  if (i < t.size() && t[i].find_first_not_of("0123456789.") == std::string::npos) version = t[i++];
  row = Row({t[0], t[1], version, Joined(t, i)});
  return true;
}

bool ProcessRow(const std::string& line, QStringList& row) {
  std::vector<std::string> t = Tokens(line);
  if (t.size() < 2 || !IsHex(t[0])) return false;
  std::size_t i = 2;
  if (i < t.size() && IsDigits(t[i])) ++i;  // the session
  std::string priority;
  if (i + 1 < t.size() && (t[i] == "below" || t[i] == "above") && t[i + 1] == "normal") {
    priority = t[i] + " normal";
    i += 2;
  } else if (i < t.size() && (t[i] == "normal" || t[i] == "idle" || t[i] == "high" || t[i] == "realtime" ||
                              (t[i][0] == '$' && IsHex(t[i].substr(1))))) {
    priority = t[i++];
  }
  row = Row({t[0], t[1], priority, Joined(t, i)});
  return true;
}

using TRowParser = bool (*)(const std::string&, QStringList&);

// Fills a tab's rows from a section's lines; false when any line does not
// fit the layout.
bool FillRows(TCDReportTab& tab, const std::string& content, TRowParser parse) {
  for (const std::string& line : LinesOf(content)) {
    if (Trim(line).empty() || Trim(line) == ".") continue;
    QStringList row;
    if (!parse(line, row)) return false;
    tab.Rows.push_back(row);
  }
  return true;
}

TCDReportTab ListTab(std::string title, const TCDField& section, QStringList columns, TRowParser parse) {
  TCDReportTab tab;
  tab.Title = std::move(title);
  tab.Text = section.Content;
  if (!Unfinished(section.Content) && FillRows(tab, section.Content, parse)) {
    tab.Columns = std::move(columns);
  } else {
    tab.Rows.clear();
  }
  return tab;
}

TCDReportTab StackTab(const std::vector<TCDField>& threads) {
  TCDReportTab tab;
  tab.Title = threads.size() > 1 ? "call stacks" : "call stack";
  bool plain = false;
  for (std::size_t i = 0; i < threads.size(); ++i) {
    const TCDField& t = threads[i];
    tab.Text += (i ? "\r\n\r\n" : "") + t.Name + (t.Name.find(':') == std::string::npos ? ":" : "") + "\r\n" + t.Content;
    if (plain) continue;
    tab.Rows.push_back(QStringList{ToQString(t.Name)});
    if (Unfinished(t.Content) || !FillStackRows(tab, t.Content)) plain = true;
  }
  if (plain)
    tab.Rows.clear();
  else
    tab.Columns = {"address", "", "relative address", "", "module", "", "unit", "", "line", "", "relative line", "",
                   "function"};
  return tab;
}

QWidget* BuildTab(const TCDReportTab& tab) {
  if (tab.Columns.isEmpty()) {
    auto* edit = new QPlainTextEdit;
    QFont font = FormFont("Courier New", 11);
    font.setStyleHint(QFont::Monospace);
    edit->setFont(font);
    edit->setReadOnly(true);
    edit->setLineWrapMode(QPlainTextEdit::NoWrap);
    edit->setPlainText(MultiLineText(tab.Text));
    return edit;
  }
  auto* list = new QTreeWidget;
  list->setRootIsDecorated(false);
  list->setUniformRowHeights(true);
  list->setColumnCount(static_cast<int>(tab.Columns.size()));
  list->setHeaderLabels(tab.Columns);
  for (const QStringList& row : tab.Rows) {
    auto* item = new QTreeWidgetItem(list, row);
    if (row.size() == 1 && tab.Columns.size() > 1) {
      item->setFirstColumnSpanned(true);
      QFont bold = item->font(0);
      bold.setBold(true);
      item->setFont(0, bold);
    }
  }
  for (int c = 0; c < list->columnCount(); ++c)
    if (tab.Columns[c].isEmpty()) list->setColumnWidth(c, 6);
    else list->resizeColumnToContents(c);
  return list;
}

}  // namespace

std::vector<TCDReportTab> CDReportTabs(const std::vector<TCDField>& header, const std::vector<TCDField>& sections) {
  std::vector<TCDReportTab> tabs;
  TCDReportTab general;
  general.Title = "general";
  general.Columns = {"description", "value"};
  for (const TCDField& f : header) {
    // A header value is one line, as in the report text.
    general.Rows.push_back(Row({f.Name, HeaderValueText(f.Content)}));
    general.Text += (general.Text.empty() ? "" : "\r\n") + f.Name + ": " + f.Content;
  }
  tabs.push_back(std::move(general));

  std::size_t i = 0;
  std::vector<TCDField> threads;
  while (i < sections.size() && IsThreadSection(sections[i].Name)) threads.push_back(sections[i++]);
  if (!threads.empty()) tabs.push_back(StackTab(threads));

  for (; i < sections.size(); ++i) {
    const TCDField& s = sections[i];
    std::string name = BareName(s.Name);
    if (SameText(name, "cpu registers"))
      tabs.push_back(ListTab("cpu regs", s, {"reg.", "content"}, RegisterRow));
    else if (SameText(name, "stack dump"))
      tabs.push_back(ListTab(name, s, {"address", "data - hexadecimal", "data - chars"}, DumpRow));
    else if (SameText(name, "modules"))
      tabs.push_back(ListTab(name, s, {"handle", "file name", "version", "path"}, ModuleRow));
    else if (SameText(name, "processes"))
      tabs.push_back(ListTab(name, s, {"id", "file name", "priority", "path"}, ProcessRow));
    else
      tabs.push_back({SameText(name, "disassembling") ? "disasm" : name, {}, {}, s.Content});
  }
  return tabs;
}

// The view's end of the report's change listener: the report may outlive
// the view, so it holds this instead of the view itself.
struct TCDReportView::TLink {
  QPointer<TCDReportView> View;  // read and written on the GUI thread only
  std::atomic<bool> Pending{false};
};

TCDReportView::TCDReportView(TCDReport& report, QWidget* parent)
    : QTabWidget(parent), report_(report), link_(std::make_shared<TLink>()) {
  link_->View = this;
  std::weak_ptr<TLink> weak = link_;
  report_.OnChange([weak] {
    std::shared_ptr<TLink> link = weak.lock();
    QCoreApplication* app = QCoreApplication::instance();
    if (!link || app == nullptr || link->Pending.exchange(true)) return;
    QMetaObject::invokeMethod(
        app,
        [link] {
          link->Pending = false;
          if (link->View) link->View->Refresh();
        },
        Qt::QueuedConnection);
  });
  Refresh();
}

TCDReportView::~TCDReportView() = default;

void TCDReportView::Refresh() {
  QString current = count() > 0 ? tabText(currentIndex()) : QString();
  std::vector<TCDReportTab> tabs = CDReportTabs(report_.Header.Items(), report_.Sections.Items());
  setUpdatesEnabled(false);
  while (count() > 0) {
    QWidget* page = widget(0);
    removeTab(0);
    delete page;
  }
  int select = 0;
  for (const TCDReportTab& tab : tabs) {
    int index = addTab(BuildTab(tab), ToQString(tab.Title));
    if (ToQString(tab.Title) == current) select = index;
  }
  setCurrentIndex(select);
  setUpdatesEnabled(true);
}
