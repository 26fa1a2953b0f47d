// The please-wait box: a small top-most tool window titled PlWaitTitle with
// the bitmap "CDIPLWAIT" at its left when the program carries one, the
// current step's text (word-wrapped at 420 pixels; the window at least 220
// wide) and a bar from 0 to 1000. While it is shown its owner window is
// disabled. Shown with activation it is centred on the screen; otherwise it
// appears without taking the focus at the bottom right of the work area.
//
// TProgressAlert is the window (GUI thread only). TCDProgressProxy is the
// IProgressAlert that any thread drives: it keeps the areas and hands the
// window its updates, posted from other threads and sent, with the pending
// events dispatched, from the GUI thread.
#pragma once

#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QWidget>

#include <atomic>
#include <memory>
#include <string>

#include "crash/report/IProgressAlert.h"

class ICDGuiBridge;

class TProgressAlert : public QWidget {
 public:
  explicit TProgressAlert(const std::string& title);
  ~TProgressAlert() override;

  void SetText(const std::string& text);
  void SetBar(int position);
  void ShowAlert(bool activate);
  void CloseAlert();

  QLabel* Text() const { return text_; }
  QLabel* Picture() const { return picture_; }
  QProgressBar* Bar() const { return bar_; }

  static constexpr int kTextWidth = 420;
  static constexpr int kMinWidth = 220;

 private:
  QLabel* picture_ = nullptr;
  QLabel* text_ = nullptr;
  QProgressBar* bar_ = nullptr;
  QPointer<QWidget> owner_;  // disabled while the box stands
};

class TCDProgressProxy : public IProgressAlert {
 public:
  TCDProgressProxy(std::shared_ptr<ICDGuiBridge> bridge, const std::string& title);
  ~TCDProgressProxy() override;

  int AddArea(int64_t weight, const std::string& text) override;
  void SetArea(int index) override;
  void SetPosition(int position) override;
  void Show(bool activate) override;
  void Close() override;

  const TCDProgressAreas& Areas() const { return state_->Areas; }

 private:
  struct TState {
    TCDProgressAreas Areas;
    std::string Title;
    QPointer<TProgressAlert> Window;  // GUI thread only
    std::atomic<bool> RefreshPosted{false};
    // A Show asked for from another thread runs later, so a Close or the end
    // of the proxy asked for meanwhile on the GUI thread would run first and
    // the box would stand for good. Each Show takes a ticket; a Close cancels
    // every ticket taken before it was asked for, the proxy's end all.
    std::atomic<uint64_t> ShowTickets{0};
    uint64_t ClosedThrough = 0;  // GUI thread only
  };
  // Runs on the GUI thread: now when called there, else posted.
  void OnGui(std::function<void(TState&)> job, bool dispatch);
  void Refresh();

  std::shared_ptr<ICDGuiBridge> bridge_;
  std::shared_ptr<TState> state_;
};
