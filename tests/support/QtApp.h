// Shared by the widget tests: the one application object, message boxes
// answered without a screen, and modal windows closed from inside their loop.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QObject>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "runtime/Forms.h"

// The application, created once per test program and titled like the real one.
// A watchdog closes any modal window that stays up for ten seconds and fails
// the test, so that a window nobody answers can never hang the suite.
inline TApplication& App() {
  static int argc = 1;
  static char name[] = "app_tests";
  static char* argv[] = {name, nullptr};
  static TApplication* app = [] {
    auto* a = new TApplication(argc, argv);
    a->SetTitle("Pinmark");
    auto* watchdog = new QTimer(a);
    watchdog->setInterval(1000);
    QObject::connect(watchdog, &QTimer::timeout, [] {
      static QWidget* seen = nullptr;
      static int seconds = 0;
      QWidget* modal = QApplication::activeModalWidget();
      seconds = (modal != nullptr && modal == seen) ? seconds + 1 : 0;
      seen = modal;
      if (modal != nullptr && seconds >= 10) {
        ADD_FAILURE() << "a modal window was left waiting";
        modal->close();
        seen = nullptr;
        seconds = 0;
      }
    });
    watchdog->start();
    return a;
  }();
  return *app;
}

// Records every message box and answers it with its default button.
struct BoxRecorder {
  std::vector<TMessageBoxRequest> boxes;
  BoxRecorder() {
    App().MessageBoxHook = [this](const TMessageBoxRequest& r) {
      boxes.push_back(r);
      return r.DefaultResult;
    };
  }
  ~BoxRecorder() { App().MessageBoxHook = nullptr; }
};

// Runs action on each modal window that comes up while armed (polling from
// the event loop, so it also works inside exec()). If the action leaves the
// window open, the window is closed anyway so that no test can hang on it.
class ModalDriver {
 public:
  using Action = std::function<void(QWidget* modal)>;
  explicit ModalDriver(Action action) : action_(std::move(action)) {
    timer_.setInterval(10);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
    timer_.start();
  }
  int seen() const { return seen_; }
  bool leftOpen() const { return leftOpen_; }

 private:
  void Poll() {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || modal == last_) return;
    last_ = modal;
    ++seen_;
    action_(modal);
    if (QApplication::activeModalWidget() == modal && modal->isVisible()) {
      leftOpen_ = true;
      modal->close();
    }
    last_ = nullptr;
  }
  Action action_;
  QTimer timer_;
  QWidget* last_ = nullptr;
  int seen_ = 0;
  bool leftOpen_ = false;
};

