#include "app/frmAbout.h"

#include <QLabel>
#include <QPushButton>
#include <QTextEdit>

#include <algorithm>
#include <vector>

#include "runtime/Exception.h"
#include "runtime/StringList.h"
#include "runtime/SysUtils.h"
#include "runtime/VersionInfo.h"
#include "settings/uPinmarkIni.h"

namespace {
constexpr const char* kStringTable = "\\StringFileInfo\\0C0904E4\\";

QLabel* MakeLabel(QWidget* parent, int top) {
  auto* l = new QLabel(parent);
  l->setGeometry(82, top, 187, 13);
  l->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  l->setTextFormat(Qt::PlainText);
  return l;
}
}  // namespace

TFormAbout::TFormAbout(QWidget* parent) : TDialogForm(parent) {
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);
  setFont(FormFont("MS Sans Serif", 11));
  setWindowTitle(QStringLiteral("About"));
  SetClientSize(kClientWidth, kClientHeight);

  pnlAbout = new TPanel(this);
  pnlAbout->setGeometry(8, 8, 281, 161);
  pnlAbout->BevelOuter = TBevelCut::bvLowered;
  pnlAbout->BevelInner = TBevelCut::bvRaised;
  pnlAbout->setBackgroundRole(QPalette::Base);
  pnlAbout->setAutoFillBackground(true);

  imgProgramIcon = new QLabel(pnlAbout);
  imgProgramIcon->setGeometry(6, 6, 64, 64);
  imgProgramIcon->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  const QPixmap icon = ResourcePixmap("MAINICON");
  if (!icon.isNull())
    imgProgramIcon->setPixmap(icon.scaled(imgProgramIcon->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation));

  lblProductName = MakeLabel(pnlAbout, 6);
  lblVersion = MakeLabel(pnlAbout, 25);
  lblCopyright = MakeLabel(pnlAbout, 44);
  lblComments = MakeLabel(pnlAbout, 82);
  lblComments->setGeometry(12, 82, 257, 13);
  lblComments->setWordWrap(true);

  btnOK = new QPushButton(QStringLiteral("OK"), this);
  btnOK->setGeometry(111, 180, 75, 25);
  btnOK->setDefault(true);
  connect(btnOK, &QPushButton::clicked, this, [this] { done(mrOk); });

  lblCompanyName = MakeLabel(pnlAbout, 63);

  // A path has no blanks to wrap at, and a label cannot wrap anywhere else.
  edtSettingsFile = new QTextEdit(pnlAbout);
  edtSettingsFile->setGeometry(12, 140, 257, 13);
  edtSettingsFile->setReadOnly(true);
  edtSettingsFile->setFrameShape(QFrame::NoFrame);
  edtSettingsFile->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  edtSettingsFile->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  edtSettingsFile->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  edtSettingsFile->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  edtSettingsFile->document()->setDocumentMargin(0);
  edtSettingsFile->setFocusPolicy(Qt::ClickFocus);
  edtSettingsFile->hide();

  lblSettingsWarning = new QLabel(pnlAbout);
  lblSettingsWarning->setGeometry(12, 140, 257, 13);
  lblSettingsWarning->setWordWrap(true);
  lblSettingsWarning->setTextFormat(Qt::PlainText);
  lblSettingsWarning->hide();
}

const std::string& TFormAbout::Caption(const QLabel* label) const {
  static const std::string none;
  const QLabel* labels[] = {lblProductName, lblVersion, lblCopyright, lblCompanyName, lblComments};
  for (int i = 0; i < 5; ++i)
    if (labels[i] == label) return captions_[i];
  return none;
}

void TFormAbout::SetCaption(QLabel* label, std::string text) {
  const QLabel* labels[] = {lblProductName, lblVersion, lblCopyright, lblCompanyName, lblComments};
  for (int i = 0; i < 5; ++i)
    if (labels[i] == label) captions_[i] = text;
  label->setText(MultiLineText(text));
}

int TFormAbout::ShowModal() {
  const int inner = imgProgramIcon->x() + imgProgramIcon->width();
  const int columnLeft = inner + 12;
  // Each label is placed before its caption is set, in this order; a version
  // table without a proper file version stops here with the labels above it done.
  struct Row {
    QLabel* label;
    const char* key;
  };
  for (const Row& row : {Row{lblProductName, "OriginalFileName"}, Row{lblVersion, nullptr},
                         Row{lblCopyright, "LegalCopyright"}, Row{lblCompanyName, "CompanyName"}}) {
    row.label->setGeometry(columnLeft, row.label->y(), pnlAbout->width() - inner - 24, row.label->height());
    SetCaption(row.label, row.key ? GetVersionValue(row.key) : GetVersionText());
  }

  lblComments->setGeometry(12, lblComments->y(), pnlAbout->width() - 24, lblComments->height());
  SetCaption(lblComments, GetVersionValue("Comments"));
  // The comments grow downward to fit their text.
  lblComments->resize(lblComments->width(), std::max(lblComments->heightForWidth(lblComments->width()), 0));

  if (!SettingsFile.empty()) LayOutSettingsFile();

  setWindowTitle(ToQString("About " + Caption(lblProductName)));
  return TDialogForm::ShowModal();
}

void TFormAbout::LayOutSettingsFile() {
  edtSettingsFile->setPlainText(ToQString("Settings: " + SettingsFile));
  edtSettingsFile->document()->setTextWidth(edtSettingsFile->width());
  const int pathHeight = static_cast<int>(edtSettingsFile->document()->size().height() + 0.5);
  edtSettingsFile->resize(edtSettingsFile->width(), pathHeight);
  edtSettingsFile->show();
  int bottom = edtSettingsFile->y() + pathHeight;

  const std::string warning = SettingsExposureWarning(SettingsFile);
  if (!warning.empty()) {
    lblSettingsWarning->setText(
        ToQString("Other users may read this file, and its password digest is as good "
                  "as the password: chmod 600 it."));
    const int height = lblSettingsWarning->heightForWidth(lblSettingsWarning->width());
    lblSettingsWarning->setGeometry(lblSettingsWarning->x(), bottom + 4, lblSettingsWarning->width(), height);
    lblSettingsWarning->show();
    bottom += 4 + height;
  }
  // The panel grows only for what does not fit above its lower edge.
  const int grow = bottom + 4 - pnlAbout->height();
  if (grow <= 0) return;
  pnlAbout->resize(pnlAbout->width(), pnlAbout->height() + grow);
  btnOK->move(btnOK->x(), btnOK->y() + grow);
  SetClientSize(kClientWidth, kClientHeight + grow);
}

std::string TFormAbout::GetVersionValue(std::string_view key) {
  const std::string exe = ApplicationExeName();
  const uint32_t size = GetFileVersionInfoSize(exe);
  if (size == 0) return std::string();
  // The block is released on every way out.
  std::vector<char> block(size, 0);
  GetFileVersionInfo(exe, size, block.data());
  const char* value = nullptr;
  uint32_t length = 0;
  if (!VerQueryValue(block.data(), std::string(kStringTable) + std::string(key), value, length)) return std::string();
  return ReplaceAll(value, "<br>", "\n\r");
}

std::string TFormAbout::GetVersionText() {
  const std::string product = GetVersionValue("ProductVersion");
  TStringList parts;
  parts.Delimiter = '.';
  parts.SetDelimitedText(GetVersionValue("FileVersion"));
  Assert(parts.Count() == 4, "", "frmAbout", 52);
  return Format("%s/%s", product.c_str(), parts[3].c_str());
}
