// The details page of an assistant: what the user was doing when the error
// occurred, a required text that becomes the report section "error details".
#pragma once

#include <QPlainTextEdit>

#include "crash/ui/CDAssistantForm.h"

class TCDDetailsForm : public TCDAssistantPage {
 public:
  explicit TCDDetailsForm(QWidget* parent = nullptr);

  std::string Message() const override { return "Error Details"; }
  bool SkipAllowed() const override { return true; }
  bool Complete() const override;
  void Leave(TCDAssistantOutput& output) override;

  QPlainTextEdit* DetailsMemo;
};
