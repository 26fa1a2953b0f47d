// The About box: the program icon and the texts of the executable's version
// table, laid out beside the icon just before the box is shown, and below
// them the whole path of the settings file the program uses (selectable, to
// copy it), with a warning when other users may read that file. The box
// grows downward to hold them.
#pragma once

#include <string>
#include <string_view>

#include "runtime/Forms.h"

class QLabel;
class QPushButton;
class QTextEdit;

class TFormAbout : public TDialogForm {
 public:
  explicit TFormAbout(QWidget* parent = nullptr);

  TPanel* pnlAbout;
  QLabel* imgProgramIcon;
  QLabel* lblProductName;
  QLabel* lblVersion;
  QLabel* lblCopyright;
  QLabel* lblComments;
  QPushButton* btnOK;
  QLabel* lblCompanyName;
  // "Settings: <file>", the whole path, wrapped anywhere to fit, read-only.
  QTextEdit* edtSettingsFile;
  // Why the settings file should be private, when others may read it.
  QLabel* lblSettingsWarning;

  // The settings file to name; empty names none.
  std::string SettingsFile;

  // Fills and lays out the labels beside the icon, sets the caption, then
  // shows the box modally. Raises EAssertionFailed, before anything is
  // shown, when the file version does not have four parts.
  int ShowModal() override;

  // The value of key (matched without case) in the version table, every
  // "<br>" turned into LF CR; empty when there is no table or no such key.
  static std::string GetVersionValue(std::string_view key);
  // "<product version>/<last part of the file version>".
  static std::string GetVersionText();

  // The captions as the program set them (the labels show them with the
  // line breaks of the screen).
  const std::string& Caption(const QLabel* label) const;

  static constexpr int kClientWidth = 298;
  static constexpr int kClientHeight = 213;

 private:
  void SetCaption(QLabel* label, std::string text);
  // Shows the settings file, and the warning when there is one, growing the
  // panel and the box to hold them.
  void LayOutSettingsFile();
  std::string captions_[5];
};
