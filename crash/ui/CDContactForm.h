// The contact page of an assistant: the user's name (optional) and e-mail
// address (required, validated as it is typed), and whether to remember
// both for the next report. Remembered values live in the user's settings
// under Kestro/ContactForm ("RememberName", "RememberEmail").
#pragma once

#include <QCheckBox>
#include <QLineEdit>

#include <string>
#include <string_view>

#include "crash/ui/CDAssistantForm.h"

// An address the page accepts: no surrounding blanks; one "@", not first;
// a "." after it but not right after it; no "." at either end; nothing but
// letters, digits, "+", "-", "_", "." and the "@".
bool IsValidEmailAddress(std::string_view text);

class TCDContactForm : public TCDAssistantPage {
 public:
  explicit TCDContactForm(QWidget* parent = nullptr);

  std::string Message() const override { return "Contact Information"; }
  bool SkipAllowed() const override { return false; }
  bool Complete() const override;
  // Remembers or forgets the values, hands over "contact name" and
  // "contact email" and, with a name, the sender "name <email>".
  void Leave(TCDAssistantOutput& output) override;

  QLineEdit* NameEdit;
  QLineEdit* EmailEdit;
  QCheckBox* MemCheck;

 private:
  void EmailChanged();
};
