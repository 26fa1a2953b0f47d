// The interim exception box, until the full one (report view, assistants,
// send, save and print) takes its place behind the same presenter: the
// message, the report on request, and the endings continue, restart and
// close with the texts, visibility and Esc rules of the settings. Each
// button first asks the program's action handlers, which may cancel it.
//
// GUI thread only.
#pragma once

#include <QDialog>
#include <QPlainTextEdit>
#include <QPushButton>

#include "crash/handling/ICDException.h"

class TCDSimpleBox : public QDialog {
 public:
  TCDSimpleBox(ICDException& exception, int showMode, QWidget* parent = nullptr);

  // Shows the box and returns the ending chosen.
  TCDEnding Execute();

  QPushButton* ContinueButton() const { return continue_; }
  QPushButton* RestartButton() const { return restart_; }
  QPushButton* CloseButton() const { return close_; }
  QPushButton* ShowButton() const { return show_; }
  QPlainTextEdit* ReportView() const { return report_; }

  // What Esc or the caption's close box does.
  TCDEnding EscapeEnding() const;

 protected:
  void reject() override;

 private:
  void Choose(TCDEnding ending);
  void ShowReport();

  ICDException& e_;
  bool small_;
  QPushButton* continue_ = nullptr;
  QPushButton* restart_ = nullptr;
  QPushButton* close_ = nullptr;
  QPushButton* show_ = nullptr;
  QPlainTextEdit* report_ = nullptr;
  TCDEnding ending_ = TCDEnding::Continue;
};

// The presenter over the interim box.
TCDEnding PresentInSimpleBox(ICDException& exception, int showMode);
