// The settings dialog: refresh period, account name, password and node name,
// with the service address shown read-only. A typed password is replaced by
// its MD5 digest as soon as it is left or saved, so only the digest is ever
// stored or sent.
#pragma once

#include <string>

#include "runtime/Forms.h"
#include "settings/uPinmarkIni.h"

class QCheckBox;
class QGroupBox;
class QPushButton;

class TFormOptions : public TDialogForm {
 public:
  explicit TFormOptions(QWidget* parent = nullptr);

  QGroupBox* gbProgramOptions;
  QGroupBox* gbUserOptions;
  TLabeledEdit* lbledtProgramURL;
  TLabeledEdit* lbledtProgramTimer;
  TLabeledEdit* lbledtUserName;
  TLabeledEdit* lbledtUserPassword;
  TLabeledEdit* lbledtUserNode;
  QGroupBox* gbButtons;
  QPushButton* btnSave;
  QPushButton* btnCancel;
  QPushButton* btnDefault;
  // "Also check in over IPv6", between the period and Default.
  QCheckBox* chkProgramIPv6;

  // Lent by the main window before the dialog is shown; not owned.
  TIniPinmark* Settings = nullptr;

  void FormCreate(QObject* Sender);
  void FormShow(QObject* Sender);
  // Copies the edits into the settings object and saves them. Raises
  // EConvertError for a period that is not an integer before anything is
  // copied; the dialog then stays open.
  void btnSaveClick(QObject* Sender);
  void btnDefaultClick(QObject* Sender);
  void lbledtUserPasswordExit(QObject* Sender);

  static constexpr int kClientWidth = 502;
  static constexpr int kClientHeight = 243;

 protected:
  void showEvent(QShowEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  // Replaces a typed password in the field by its digest; leaves a digest
  // (the stored one, or the one this dialog made last) as it is.
  void DigestPassword();
  std::string lastDigest_;
};
