// A handled exception made by hand for the box and delivery tests: the
// executable's settings (an own copy, so a test may change them), a report
// filled by the test, and the state the box and the delivery leave behind.
#pragma once

#include <string>
#include <vector>

#include "crash/handling/ICDException.h"
#include "crash/report/CDReportText.h"

class TFakeCDException : public ICDException {
 public:
  TFakeCDException() { settings.MakeOwnCopy(); }

  const TICDSettings& Settings() const override { return settings; }
  TICDSettings& Settings() override { return settings; }
  TCDExceptionType ExceptionType() const override { return type; }
  std::string ExceptionClass() const override { return exceptionClass; }
  std::string ExceptionMessage() const override { return message; }
  bool CanContinue() const override { return canContinue; }
  int32_t ShowMode() const override { return showMode; }
  TCDReport& Report() override { return report; }
  void CompleteReport() override {
    ++completions;
    report.MarkComplete();
  }
  bool CallActionHandlers(TCDAction action) override {
    actions.push_back(action);
    for (TCDAction taken : takenOver)
      if (taken == action) return true;
    return false;
  }
  std::string ScreenShotFile() const override { return screenShot; }
  bool Sent() const override { return sent; }
  void SetSent(bool value) override { sent = value; }
  bool Saved() const override { return saved; }
  void SetSaved(bool value) override { saved = value; }
  bool AutoSaved() const override { return autoSaved; }
  void SetAutoSaved() override { autoSaved = true; }

  // Fills the report with the usual header lines and one thread section.
  void FillReport(const std::string& crc = "$11111111, $22222222, $33333333") {
    report.Header.Set("date/time", "2024-05-06, 07:08:09, 10ms");
    report.Header.Set("executable", "Pinmark");
    report.Header.Set("exec. date/time", "2024-05-01 12:00");
    report.Header.Set("version", "1.0.0.2");
    report.Header.Set("callstack crc", crc);
    report.Header.Set("exception number", "1");
    report.Header.Set("exception class", exceptionClass);
    report.Header.Set("exception message", message);
    report.Sections.Set("main thread ($1):", "0000000000401000 +000 Pinmark frmPinmark.cpp 12 +1 TFormMain::btnClick");
  }

  TICDSettings settings;
  TCDReport report;
  TCDExceptionType type = TCDExceptionType::Exception;
  std::string exceptionClass = "EIdSocketError";
  std::string message = "Socket Error # 10061\r\nConnection refused.";
  bool canContinue = true;
  int32_t showMode = 0;
  std::string screenShot;
  bool sent = false, saved = false, autoSaved = false;
  int completions = 0;
  std::vector<TCDAction> actions;
  std::vector<TCDAction> takenOver;
};
