#include "crash/ui/CDAssistantForm.h"

#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "crash/handling/ICDException.h"
#include "crash/ui/CDContactForm.h"
#include "crash/ui/CDDetailsForm.h"
#include "crash/ui/CDScrShotForm.h"
#include "runtime/Forms.h"
#include "runtime/SysUtils.h"

namespace {

TCDAssistantPage* MakePage(const std::string& name, const std::string& screenShot) {
  if (SameText(name, "ContactForm")) return new TCDContactForm;
  if (SameText(name, "DetailsForm")) return new TCDDetailsForm;
  if (SameText(name, "ScrShotForm") && !screenShot.empty() && QFileInfo::exists(ToQString(screenShot)))
    return new TCDScrShotForm(screenShot);
  return nullptr;
}

}  // namespace

TCDAssistantForm::TCDAssistantForm(const TCDAssistant& assistant, const std::string& screenShot, QWidget* parent)
    : QDialog(parent) {
  setWindowTitle(ToQString(assistant.Title));
  setFont(FormFont("Tahoma", 11));
  setWindowFlag(Qt::WindowStaysOnTopHint);
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);

  heading_ = new QLabel(this);
  QFont bold = heading_->font();
  bold.setBold(true);
  bold.setPixelSize(13);
  heading_->setFont(bold);
  auto* line = new QFrame(this);
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);
  stack_ = new QStackedWidget(this);
  for (const std::string& name : assistant.Pages) {
    if (TCDAssistantPage* page = MakePage(name, screenShot)) {
      page->OnChange = [this] { UpdateButtons(); };
      pages_.push_back(page);
      stack_->addWidget(page);
    }
  }

  continue_ = new QPushButton(tr("Continue"), this);
  skip_ = new QPushButton(tr("Skip"), this);
  cancel_ = new QPushButton(tr("Cancel"), this);
  continue_->setDefault(true);
  connect(continue_, &QPushButton::clicked, this, [this] { Next(true); });
  connect(skip_, &QPushButton::clicked, this, [this] { Next(false); });
  connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(continue_);
  buttons->addWidget(skip_);
  buttons->addWidget(cancel_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(heading_);
  layout->addWidget(line);
  layout->addWidget(stack_, 1);
  layout->addLayout(buttons);
  setMinimumWidth(420);
  if (!pages_.empty()) ShowPage(0);
}

TCDAssistantPage* TCDAssistantForm::CurrentPage() const {
  return current_ < PageCount() ? pages_[static_cast<std::size_t>(current_)] : nullptr;
}

void TCDAssistantForm::ShowPage(int index) {
  current_ = index;
  TCDAssistantPage* page = CurrentPage();
  stack_->setCurrentWidget(page);
  heading_->setText(ToQString(page->Message()));
  UpdateButtons();
  page->setFocus();
  focusNextChild();
}

void TCDAssistantForm::UpdateButtons() {
  TCDAssistantPage* page = CurrentPage();
  continue_->setEnabled(page != nullptr && page->Complete());
  skip_->setEnabled(page != nullptr && page->SkipAllowed());
}

void TCDAssistantForm::Next(bool keep) {
  TCDAssistantPage* page = CurrentPage();
  if (page == nullptr) return;
  if (keep) {
    if (!page->Complete()) return;
    page->Leave(output_);
  } else if (!page->SkipAllowed()) {
    return;
  }
  if (current_ + 1 < PageCount())
    ShowPage(current_ + 1);
  else
    accept();
}

bool TCDAssistantForm::Execute() {
  if (pages_.empty()) return true;
  adjustSize();
  return exec() == QDialog::Accepted;
}

bool RunCDAssistant(ICDException& exception, const std::string& name, std::string& screenShot, QWidget* parent) {
  TCDAssistant assistant;
  if (!exception.Settings().FindAssistant(name, assistant)) return true;
  TCDAssistantForm form(assistant, screenShot, parent);
  if (!form.Execute()) return false;
  const TCDAssistantOutput& out = form.Output();
  for (const TCDField& f : out.HeaderFields) exception.Report().Header.Set(f.Name, f.Content);
  for (const TCDField& f : out.Sections) exception.Report().Sections.Set(f.Name, f.Content);
  if (!out.Sender.empty()) exception.Settings().SetMailFrom(out.Sender);
  if (out.DropScreenShot) screenShot.clear();
  return true;
}
