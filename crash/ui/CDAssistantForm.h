// An assistant: a modal sequence of pages that collects what the user adds
// to a report before it is sent, saved or printed (contact data, a
// description, the screenshot's fate). The window bears the assistant's
// title, each page shows its heading, and the buttons are Continue, Skip and
// Cancel. Continue is enabled only while the page's required fields hold
// valid text. What the pages collect is applied only when the assistant ends
// without Cancel.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QStackedWidget>
#include <QWidget>

#include <functional>
#include <string>
#include <vector>

#include "crash/report/ICDFields.h"
#include "crash/settings/ICDSettings.h"

class ICDException;

// What the pages hand over.
struct TCDAssistantOutput {
  std::vector<TCDField> HeaderFields;  // added to the report's header
  std::vector<TCDField> Sections;      // added as report sections
  std::string Sender;                  // the mail's sender; empty = unchanged
  bool DropScreenShot = false;         // the user does not want it attached
};

// One page of an assistant.
class TCDAssistantPage : public QWidget {
 public:
  explicit TCDAssistantPage(QWidget* parent = nullptr) : QWidget(parent) {}
  // The heading shown above the page.
  virtual std::string Message() const = 0;
  virtual bool SkipAllowed() const = 0;
  // Every required field holds valid text.
  virtual bool Complete() const = 0;
  // The user pressed Continue on this page.
  virtual void Leave(TCDAssistantOutput& output) = 0;
  // Called by the page whenever Complete() may have changed.
  std::function<void()> OnChange;

 protected:
  void Changed() {
    if (OnChange) OnChange();
  }
};

class TCDAssistantForm : public QDialog {
 public:
  // Pages by name ("ContactForm", "DetailsForm", "ScrShotForm"); the
  // screenshot page only when screenShot names an existing file. Unknown
  // names are left out.
  TCDAssistantForm(const TCDAssistant& assistant, const std::string& screenShot, QWidget* parent = nullptr);

  // Shows the pages; true unless the user cancelled.
  bool Execute();
  const TCDAssistantOutput& Output() const { return output_; }

  int PageCount() const { return static_cast<int>(pages_.size()); }
  TCDAssistantPage* CurrentPage() const;
  QLabel* Heading() const { return heading_; }
  QPushButton* ContinueButton() const { return continue_; }
  QPushButton* SkipButton() const { return skip_; }
  QPushButton* CancelButton() const { return cancel_; }

 private:
  void ShowPage(int index);
  void UpdateButtons();
  void Next(bool keep);

  std::vector<TCDAssistantPage*> pages_;
  int current_ = 0;
  TCDAssistantOutput output_;
  QLabel* heading_;
  QStackedWidget* stack_;
  QPushButton *continue_, *skip_, *cancel_;
};

// Runs the exception's assistant of that name and applies what it collected
// to the exception (header fields, sections, sender); screenShot is cleared
// when the user does not want it. True when there was no such assistant or
// it ended without Cancel.
bool RunCDAssistant(ICDException& exception, const std::string& name, std::string& screenShot,
                    QWidget* parent = nullptr);
