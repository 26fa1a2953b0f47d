// The screenshot page of an assistant: whether the screenshot goes with the
// report, and the screenshot itself, which a click opens in the desktop's
// image program. The page looks at the file every 250 ms, so an edited image
// shows as soon as it is saved.
#pragma once

#include <QCheckBox>
#include <QDateTime>
#include <QLabel>
#include <QTimer>

#include <string>

#include "crash/ui/CDAssistantForm.h"

class TCDScrShotForm : public TCDAssistantPage {
 public:
  explicit TCDScrShotForm(std::string screenShot, QWidget* parent = nullptr);

  std::string Message() const override { return "Screenshot Configuration"; }
  bool SkipAllowed() const override { return false; }
  bool Complete() const override { return true; }
  void Leave(TCDAssistantOutput& output) override;

  QCheckBox* AttachCheck;
  QLabel* Image;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Reload();

  std::string file_;
  QDateTime loaded_;
  QTimer timer_;
};
