// The main window: the check-in button, the last known address, the menu, the
// tray icon with the address in its tooltip, and the timer of the periodic
// check-in. It owns the one settings object and lends it to the dialogs.
#pragma once

#include <QMainWindow>
#include <QSystemTrayIcon>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/CheckIn.h"
#include "runtime/Forms.h"
#include "runtime/SysUtils.h"
#include "settings/uPinmarkIni.h"

class QAction;
class QLineEdit;
class QMenu;
class QMenuBar;
class QPushButton;

class TFormMain : public QMainWindow {
 public:
  // Creates the window and its settings object for the program at exePath
  // (the settings file is Pinmark.ini, beside it or in the user's
  // configuration folder: SettingsFileOf). Raises what
  // the settings object raises when its file cannot be written; no window
  // exists then.
  explicit TFormMain(std::string exePath = ApplicationExeName());
  ~TFormMain() override;

  QPushButton* btnPinmark;
  QMenuBar* MainMenu;
  QMenu* miHelp;
  QAction* miAbout;
  QSystemTrayIcon* TrayIcon;
  QMenu* File1;
  QAction* miOptions;
  QLineEdit* edtIPAddress;
  TTimer* Timer;
  // The IPv6 address, in a row of its own below the address; there only
  // while the IPv6 setting is on.
  QLineEdit* edtIPv6Address;

  // The check-in (TCheckIn): sends the request composed from the settings,
  // records the answer and the address derived from it, shows the address
  // and stamps the time. A failure raises; the previous address stays in
  // place. It blocks the window while it lasts, but always ends: connecting
  // and every wait for the service's answer are limited to CheckInTimeout.
  void btnPinmarkClick(QObject* Sender);
  void AboutClick(QObject* Sender);
  void FormShow(QObject* Sender);
  void TrayIconDblClick(QObject* Sender);
  void miOptionsClick(QObject* Sender);
  void FormCreate(QObject* Sender);
  void TimerTimer(QObject* Sender);

  // An incomplete account (no name or no password digest) is explained in a
  // message box, the service's home page is opened in the browser, and the
  // settings dialog comes up.
  void CheckAccount();
  // Installed as the application's minimise event: the program lives on in
  // the tray, where the desktop has one (TrayAvailable).
  void ApplicationMinimize(QObject* Sender);
  // minutes × 60 000 ms, wrapping in 32 bits; 0 stops the periodic check-in.
  void SetRefreshPeriod(int32_t Value);
  // "<title> - <address>", with IPv6 on "<title> - <address>, <IPv6
  // address>", cut to the 127 characters a tray tooltip holds.
  void UpdateTrayHint();

  TIniPinmark* GetSettings() const { return Settings.get(); }

  // Milliseconds allowed for the connect and for each wait on the service's
  // answer during a check-in.
  int32_t CheckInTimeout = TCheckIn::kTimeout;
  // Whether the desktop shows tray icons now (GNOME, for one, does not
  // without an extension); asked at each minimising.
  std::function<bool()> TrayAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };

  static constexpr int kClientWidth = 202;
  static constexpr int kClientHeight = 81;
  // With the IPv6 row: one more field's height and gap.
  static constexpr int kIPv6ClientHeight = 108;
  static constexpr std::size_t kMaxTrayHint = 127;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void AfterConstruction();
  // The IPv6 row shown or hidden as the setting says, and the window sized
  // to it; whether that changed anything.
  bool ApplyIPv6Setting();
  // Each recorded address in its field (the IPv6 one with IPv6 on).
  void ShowAddresses();

  std::string exePath_;
  std::unique_ptr<TIniPinmark> Settings;
};
