#include "app/frmOptions.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QPushButton>
#include <QShowEvent>

#include "runtime/SysUtils.h"
#include "settings/md5.h"

namespace {
QPushButton* MakeButton(const char* caption, QWidget* parent, int left, int top) {
  auto* b = new QPushButton(QString::fromLatin1(caption), parent);
  b->setGeometry(left, top, 75, 25);
  // Enter and Esc do nothing in this dialog; no button answers them.
  b->setAutoDefault(false);
  b->setDefault(false);
  return b;
}

TLabeledEdit* MakeEdit(const char* label, QWidget* parent, int left, int top, int width) {
  auto* e = new TLabeledEdit(parent);
  e->SetBounds(left, top, width, 21);
  e->SetLabelCaption(label);
  return e;
}
}  // namespace

TFormOptions::TFormOptions(QWidget* parent) : TDialogForm(parent) {
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  setFont(FormFont("Tahoma", 11));
  setWindowTitle(QStringLiteral("Settings"));
  SetClientSize(kClientWidth, kClientHeight);

  gbProgramOptions = new QGroupBox(QStringLiteral("Program Options"), this);
  gbProgramOptions->setGeometry(0, 0, kClientWidth, 96);
  gbUserOptions = new QGroupBox(QStringLiteral("User Options"), this);
  gbUserOptions->setGeometry(0, 96, kClientWidth, 96);

  lbledtProgramURL = MakeEdit("Pin-Mark URL", gbProgramOptions, 100, 24, 300);
  lbledtProgramURL->setReadOnly(true);
  lbledtProgramTimer = MakeEdit("Refresh Period", gbProgramOptions, 100, 51, 50);
  lbledtUserName = MakeEdit("User Name", gbUserOptions, 100, 24, 100);
  lbledtUserPassword = MakeEdit("Password", gbUserOptions, 100, 51, 300);
  lbledtUserNode = MakeEdit("Node Name", gbUserOptions, 300, 24, 100);

  gbButtons = new QGroupBox(this);
  gbButtons->setGeometry(0, 192, kClientWidth, kClientHeight - 192);
  btnSave = MakeButton("&Save", gbButtons, 172, 12);
  btnCancel = MakeButton("&Cancel", gbButtons, 253, 12);
  btnDefault = MakeButton("&Default", gbProgramOptions, 325, 51);
  chkProgramIPv6 = new QCheckBox(QStringLiteral("Also check in over IPv6"), gbProgramOptions);
  chkProgramIPv6->setGeometry(160, 53, 160, 17);

  // The user's own settings come first, so the dialog opens on the account name.
  QWidget* order[] = {lbledtUserName, lbledtUserPassword, lbledtUserNode, lbledtProgramURL,
                      lbledtProgramTimer, chkProgramIPv6, btnDefault, btnSave, btnCancel};
  for (std::size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);
  lbledtUserName->setFocus();

  connect(btnSave, &QPushButton::clicked, this, [this] {
    bool saved = false;
    CallHandler(btnSave, [this, &saved] {
      btnSaveClick(btnSave);
      saved = true;
    });
    // A failed save keeps the dialog open with everything the user typed.
    if (saved) done(mrOk);
  });
  connect(btnCancel, &QPushButton::clicked, this, [this] { done(mrCancel); });
  connect(btnDefault, &QPushButton::clicked, this, [this] { CallHandler(btnDefault, [this] { btnDefaultClick(btnDefault); }); });
  lbledtUserPassword->OnExit = [this](QObject* sender) { lbledtUserPasswordExit(sender); };

  FormCreate(this);
}

void TFormOptions::FormCreate(QObject*) {
  const std::string title = Application ? Application->Title() : std::string();
  setWindowTitle(ToQString(title + " ") + windowTitle());
}

void TFormOptions::showEvent(QShowEvent* event) {
  TDialogForm::showEvent(event);
  if (event->spontaneous()) return;
  CenterOnScreen();
  CallHandler(this, [this] { FormShow(this); });
}

void TFormOptions::FormShow(QObject*) {
  if (Settings == nullptr) return;
  lbledtProgramTimer->SetText(IntToStr(Settings->Refresh));
  lbledtProgramURL->SetText(Settings->URL);
  lbledtUserNode->SetText(Settings->Computer);
  lbledtUserName->SetText(Settings->Name);
  lbledtUserPassword->SetText(Settings->Password);
  chkProgramIPv6->setChecked(Settings->IPv6);
}

void TFormOptions::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Escape:
    case Qt::Key_Return:
    case Qt::Key_Enter:
      event->accept();  // neither closes this dialog
      return;
    default:
      TDialogForm::keyPressEvent(event);
  }
}

void TFormOptions::DigestPassword() {
  if (Settings == nullptr) return;
  const std::string text = lbledtUserPassword->Text();
  // Digesting a digest again would store a value no password produces.
  if (text == Settings->Password || (!lastDigest_.empty() && text == lastDigest_)) return;
  lastDigest_ = DigestToHex(MD5OfString(text));
  lbledtUserPassword->SetText(lastDigest_);
}

void TFormOptions::lbledtUserPasswordExit(QObject*) { DigestPassword(); }

void TFormOptions::btnSaveClick(QObject*) {
  if (Settings == nullptr) return;
  const int32_t refresh = StrToInt(lbledtProgramTimer->Text());
  // A password typed and saved without leaving its field is never stored as typed.
  DigestPassword();
  Settings->Refresh = refresh;
  Settings->URL = lbledtProgramURL->Text();
  Settings->Computer = lbledtUserNode->Text();
  Settings->Name = lbledtUserName->Text();
  Settings->Password = lbledtUserPassword->Text();
  Settings->IPv6 = chkProgramIPv6->isChecked();
  Settings->Save();
}

void TFormOptions::btnDefaultClick(QObject*) {
  if (Settings != nullptr) Settings->SetDefaults();
}
