#include "crash/ui/CDDetailsForm.h"

#include <QFontMetrics>
#include <QLabel>
#include <QVBoxLayout>

#include "runtime/Forms.h"
#include "runtime/SysUtils.h"

TCDDetailsForm::TCDDetailsForm(QWidget* parent) : TCDAssistantPage(parent) {
  setObjectName("DetailsForm");
  auto* label = new QLabel(tr("in which situation did the error occur?"), this);
  DetailsMemo = new QPlainTextEdit(this);
  DetailsMemo->setObjectName("DetailsMemo");
  DetailsMemo->setTabChangesFocus(true);
  label->setBuddy(DetailsMemo);
  // Room for nine lines of text.
  const int lines = 9;
  DetailsMemo->setFixedHeight(QFontMetrics(DetailsMemo->font()).lineSpacing() * lines +
                              2 * (DetailsMemo->frameWidth() + static_cast<int>(DetailsMemo->document()->documentMargin())));
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(label);
  layout->addWidget(DetailsMemo);
  layout->addStretch();
  connect(DetailsMemo, &QPlainTextEdit::textChanged, this, [this] { Changed(); });
}

bool TCDDetailsForm::Complete() const { return !Trim(FromQString(DetailsMemo->toPlainText())).empty(); }

void TCDDetailsForm::Leave(TCDAssistantOutput& output) {
  output.Sections.push_back({"error details", FromQString(DetailsMemo->toPlainText())});
}
