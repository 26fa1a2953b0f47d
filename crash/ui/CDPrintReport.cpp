#include "crash/ui/CDPrintReport.h"

#include <QFontMetrics>
#include <QPainter>
#include <QPrintDialog>

#include "runtime/Forms.h"

namespace {

// The text's lines; CR LF, CR and LF each end one.
QStringList Lines(const std::string& text) {
  QString all = ToQString(text);
  all.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  all.replace(QChar('\r'), QChar('\n'));
  return all.split(QChar('\n'));
}

}  // namespace

int PrintReportText(QPrinter& printer, const std::string& text) {
  QPainter painter;
  if (!painter.begin(&printer)) return 0;
  QFont font(QStringLiteral("Courier New"));
  font.setStyleHint(QFont::Monospace);
  font.setPointSize(9);
  painter.setFont(font);
  const QFontMetrics metrics(font, painter.device());
  const QRect page = painter.viewport();
  const int lineHeight = metrics.lineSpacing();
  const int perLine = std::max(1, page.width() / std::max(1, metrics.horizontalAdvance(QChar('M'))));
  int pages = 1, y = metrics.ascent();
  auto put = [&](const QString& piece) {
    if (y > page.height()) {
      printer.newPage();
      ++pages;
      y = metrics.ascent();
    }
    painter.drawText(0, y, piece);
    y += lineHeight;
  };
  for (const QString& line : Lines(text)) {
    if (line.isEmpty()) put(line);
    for (qsizetype at = 0; at < line.size(); at += perLine) put(line.mid(at, perLine));
  }
  painter.end();
  return pages;
}

bool PrintBugReport(const std::string& text, QWidget* owner) {
  QPrinter printer(QPrinter::HighResolution);
  printer.setDocName(QStringLiteral("bug report"));
  QPrintDialog dialog(&printer, owner);
  if (dialog.exec() != QDialog::Accepted) return false;
  return PrintReportText(printer, text) > 0;
}
