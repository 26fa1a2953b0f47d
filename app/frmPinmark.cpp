#include "app/frmPinmark.h"

#include <QDesktopServices>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QShowEvent>
#include <QSystemTrayIcon>
#include <QUrl>

#include "app/frmAbout.h"
#include "app/frmOptions.h"
#include "runtime/UserFiles.h"

namespace {
constexpr const char* kIconName = "MAINICON";

// The address in its field, and why it is none as the field's tooltip; an
// IPv6 address is also shown whole there, where the field may be too narrow.
void ShowIn(QLineEdit* field, const TFamilyAddress& address, bool wholeInTooltip) {
  field->setText(ToQString(address.Address));
  field->setToolTip(ToQString(address.Reason.empty() && wholeInTooltip ? address.Address : address.Reason));
}
}  // namespace

TFormMain::TFormMain(std::string exePath) : exePath_(std::move(exePath)) {
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  setFont(FormFont("Tahoma", 11));
  setWindowIcon(ResourceIcon(kIconName));

  auto* client = new QWidget(this);
  client->setFixedSize(kClientWidth, kClientHeight);
  setCentralWidget(client);

  btnPinmark = new QPushButton(QStringLiteral("&Pin-Mark"), client);
  btnPinmark->setGeometry(62, 12, 75, 25);
  btnPinmark->setAutoDefault(false);

  MainMenu = new QMenuBar(this);
  setMenuBar(MainMenu);
  File1 = MainMenu->addMenu(QStringLiteral("&File"));
  miOptions = File1->addAction(QStringLiteral("&Options"));
  miHelp = MainMenu->addMenu(QStringLiteral("&Help"));
  miAbout = miHelp->addAction(QStringLiteral("&About"));

  TrayIcon = new QSystemTrayIcon(this);
  TrayIcon->setIcon(ResourceIcon(kIconName));

  edtIPAddress = new QLineEdit(client);
  edtIPAddress->setGeometry(50, 49, 100, 21);
  edtIPAddress->setReadOnly(true);
  setTabOrder(btnPinmark, edtIPAddress);
  // Wide enough for the usual IPv6 address; the longest scroll, and their
  // tooltip holds them whole.
  edtIPv6Address = new QLineEdit(client);
  edtIPv6Address->setGeometry(11, 76, 180, 21);
  edtIPv6Address->setReadOnly(true);
  edtIPv6Address->hide();
  setTabOrder(edtIPAddress, edtIPv6Address);

  // The window keeps its size: the menu bar above a fixed client area.
  layout()->setSizeConstraint(QLayout::SetFixedSize);
  layout()->activate();

  Timer = new TTimer(this);
  Timer->SetOnTimer([this](QObject* sender) { TimerTimer(sender); });

  connect(btnPinmark, &QPushButton::clicked, this, [this] { CallHandler(btnPinmark, [this] { btnPinmarkClick(btnPinmark); }); });
  connect(miOptions, &QAction::triggered, this, [this] { CallHandler(miOptions, [this] { miOptionsClick(miOptions); }); });
  connect(miAbout, &QAction::triggered, this, [this] { CallHandler(miAbout, [this] { AboutClick(miAbout); }); });
  connect(TrayIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::DoubleClick) CallHandler(TrayIcon, [this] { TrayIconDblClick(TrayIcon); });
  });

  FormCreate(this);
  AfterConstruction();
  TrayIcon->show();
}

TFormMain::~TFormMain() {
  // The minimise event points at this window; it must not outlive it.
  if (Application != nullptr) {
    Application->OnMinimize = nullptr;
    if (Application->MainForm() == this) Application->SetMainForm(nullptr);
  }
}

void TFormMain::FormCreate(QObject*) {
  // An installed copy keeps its settings in the user's configuration folder,
  // made here on first use; a folder that cannot be made shows as the
  // settings file that cannot be written.
  TUserFiles::Current().CreateFolder();
  Settings = std::make_unique<TIniPinmark>(PinmarkSettingsFile(exePath_));
}

void TFormMain::AfterConstruction() {
  ApplyIPv6Setting();
  SetRefreshPeriod(Settings->Refresh);
  if (Application != nullptr) Application->OnMinimize = [this](QObject* sender) { ApplicationMinimize(sender); };
  UpdateTrayHint();
}

void TFormMain::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  // A window coming back from the task bar is no new showing.
  if (!event->spontaneous()) CallHandler(this, [this] { FormShow(this); });
}

void TFormMain::FormShow(QObject*) {
  setWindowTitle(ToQString(Application ? Application->Title() : std::string()));
  // Only the work area's size counts, not its origin.
  const QRect area = WorkArea();
  const QSize outer = frameGeometry().size();
  move(area.width() - outer.width(), area.height() - outer.height());
  ShowAddresses();
  CheckAccount();
}

void TFormMain::ShowAddresses() {
  ShowIn(edtIPAddress, ShownAddress(*Settings), false);
  if (Settings->IPv6) ShowIn(edtIPv6Address, RecordIPv6AddressFromAnswer(*Settings), true);
}

bool TFormMain::ApplyIPv6Setting() {
  const bool ipv6 = Settings->IPv6;
  if (edtIPv6Address->isHidden() != ipv6) return false;
  edtIPv6Address->setVisible(ipv6);
  centralWidget()->setFixedSize(kClientWidth, ipv6 ? kIPv6ClientHeight : kClientHeight);
  layout()->activate();
  return true;
}

void TFormMain::CheckAccount() {
  if (IsAccountComplete(Settings->Name, Settings->Password)) return;
  const std::string homePage = ServiceHomePage();
  const std::string title = Application ? Application->Title() : std::string();
  const std::string text = "To use Pinmark you must first register for a free account at " + homePage +
                           " then configure your name and password in Pinmark.";
  if (Application != nullptr) Application->MessageBox(text, title, MB_OK);
  // Whether a browser came up is not ours to judge; the dialog follows regardless.
  QDesktopServices::openUrl(QUrl(ToQString(homePage)));
  miOptionsClick(this);
}

void TFormMain::TrayIconDblClick(QObject*) {
  if (!isVisible()) {
    show();
    if (Application != nullptr) Application->Restore();
  }
  if (Application != nullptr) Application->BringToFront();
}

void TFormMain::miOptionsClick(QObject*) {
  auto form = std::make_unique<TFormOptions>();
  form->Settings = Settings.get();
  form->ShowModal();
  SetRefreshPeriod(Settings->Refresh);
  if (!ApplyIPv6Setting()) return;
  ShowAddresses();
  UpdateTrayHint();
  // A window that grew or shrank keeps its bottom on the work area: the
  // frame around the client stays, the client has its new size.
  if (isVisible()) {
    const QRect area = WorkArea();
    const QSize outer = frameGeometry().size() - size() + minimumSize();
    move(area.width() - outer.width(), area.height() - outer.height());
  }
}

void TFormMain::AboutClick(QObject*) {
  auto form = std::make_unique<TFormAbout>();
  form->SettingsFile = Settings->FileName();
  form->ShowModal();
}

void TFormMain::TimerTimer(QObject*) {
  // Disabled while a run lasts, so that runs never overlap; enabling it again
  // starts a full period from the end of this run, also when the run raised.
  Timer->SetEnabled(false);
  struct Reenable {
    TTimer* timer;
    ~Reenable() { timer->SetEnabled(true); }
  } reenable{Timer};
  btnPinmarkClick(Timer);
}

void TFormMain::btnPinmarkClick(QObject*) {
  TCheckIn checkIn(*Settings);
  checkIn.Timeout = CheckInTimeout;
  checkIn.OnAddress = [this](const TFamilyAddress& address) { ShowIn(edtIPAddress, address, false); };
  checkIn.OnIPv6Address = [this](const TFamilyAddress& address) { ShowIn(edtIPv6Address, address, true); };
  checkIn.Run();
  UpdateTrayHint();
}

void TFormMain::ApplicationMinimize(QObject*) {
  // Without a notification area there would be no way back: the window then
  // stays minimised like any other.
  if (TrayAvailable()) hide();
}

void TFormMain::SetRefreshPeriod(int32_t Value) { Timer->SetInterval(RefreshIntervalMs(Value)); }

void TFormMain::UpdateTrayHint() {
  std::string address = ShownAddress(*Settings).Address;
  if (Settings->IPv6) address += ", " + RecordIPv6AddressFromAnswer(*Settings).Address;
  std::string hint = Format("%s - %s", Application ? Application->Title().c_str() : "", address.c_str());
  if (hint.size() > kMaxTrayHint) hint.resize(kMaxTrayHint);
  TrayIcon->setToolTip(ToQString(hint));
}
