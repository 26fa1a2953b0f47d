#include "crash/ui/CDContactForm.h"

#include <QGridLayout>
#include <QLabel>
#include <QSettings>

#include "runtime/Forms.h"
#include "runtime/SysUtils.h"

namespace {

const char* const kOrganisation = "Kestro";
const char* const kApplication = "ContactForm";
const char* const kName = "RememberName";
const char* const kEmail = "RememberEmail";

bool IsAsciiLetterOrDigit(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

}  // namespace

bool IsValidEmailAddress(std::string_view text) {
  if (text.empty() || Trim(text) != text) return false;
  std::size_t at = text.find('@');
  if (at == std::string_view::npos || at == 0 || text.find('@', at + 1) != std::string_view::npos) return false;
  if (text.front() == '.' || text.back() == '.') return false;
  if (at + 1 < text.size() && text[at + 1] == '.') return false;
  if (text.find('.', at + 1) == std::string_view::npos) return false;
  for (char c : text)
    if (!IsAsciiLetterOrDigit(c) && c != '+' && c != '-' && c != '_' && c != '.' && c != '@') return false;
  return true;
}

TCDContactForm::TCDContactForm(QWidget* parent) : TCDAssistantPage(parent) {
  setObjectName("ContactForm");
  NameEdit = new QLineEdit(this);
  NameEdit->setObjectName("NameEdit");
  EmailEdit = new QLineEdit(this);
  EmailEdit->setObjectName("EmailEdit");
  MemCheck = new QCheckBox(tr("remember me"), this);
  MemCheck->setObjectName("MemCheck");
  auto* nameLabel = new QLabel(tr("your name:"), this);
  auto* emailLabel = new QLabel(tr("your email:"), this);
  nameLabel->setBuddy(NameEdit);
  emailLabel->setBuddy(EmailEdit);

  auto* grid = new QGridLayout(this);
  grid->addWidget(nameLabel, 0, 0);
  grid->addWidget(NameEdit, 0, 1);
  grid->addWidget(emailLabel, 1, 0);
  grid->addWidget(EmailEdit, 1, 1);
  grid->addWidget(MemCheck, 2, 1);
  grid->setRowStretch(3, 1);
  grid->setColumnMinimumWidth(1, 260);

  QSettings remembered(QSettings::NativeFormat, QSettings::UserScope, kOrganisation, kApplication);
  if (remembered.contains(kName) || remembered.contains(kEmail)) {
    NameEdit->setText(remembered.value(kName).toString());
    EmailEdit->setText(remembered.value(kEmail).toString());
    MemCheck->setChecked(true);
  }
  connect(EmailEdit, &QLineEdit::textChanged, this, [this] { EmailChanged(); });
  EmailChanged();
}

bool TCDContactForm::Complete() const { return IsValidEmailAddress(FromQString(EmailEdit->text())); }

void TCDContactForm::EmailChanged() {
  // An address that would not pass is marked while the user types it.
  bool bad = !EmailEdit->text().isEmpty() && !Complete();
  EmailEdit->setStyleSheet(bad ? QStringLiteral("QLineEdit { background: #ffd8d8; }") : QString());
  EmailEdit->setProperty("invalid", bad);
  Changed();
}

void TCDContactForm::Leave(TCDAssistantOutput& output) {
  QSettings remembered(QSettings::NativeFormat, QSettings::UserScope, kOrganisation, kApplication);
  if (MemCheck->isChecked()) {
    remembered.setValue(kName, NameEdit->text());
    remembered.setValue(kEmail, EmailEdit->text());
  } else {
    remembered.remove(kName);
    remembered.remove(kEmail);
  }
  remembered.sync();
  std::string name = Trim(FromQString(NameEdit->text()));
  std::string email = FromQString(EmailEdit->text());
  if (!name.empty()) output.HeaderFields.push_back({"contact name", name});
  output.HeaderFields.push_back({"contact email", email});
  if (!name.empty()) output.Sender = name + " <" + email + ">";
}
