#include "crash/report/CDReport.h"

#include <chrono>

#include "crash/report/CDReportText.h"

TCDReport::TCDReport() {
  Header.SetOnChange([this] { Changed(); });
  Sections.SetOnChange([this] { Changed(); });
}

void TCDReport::Changed() {
  std::vector<std::function<void()>> listeners;
  {
    std::lock_guard<std::mutex> guard(lock_);
    listeners = changeListeners_;
  }
  for (auto& l : listeners) l();
}

std::string TCDReport::Text() {
  uint64_t before = Header.ChangeCount() + Sections.ChangeCount();
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (textChanges_ == before) return text_;
  }
  std::string text = RenderBugReport(Header, Sections);
  uint64_t after = Header.ChangeCount() + Sections.ChangeCount();
  if (after == before) {
    std::lock_guard<std::mutex> guard(lock_);
    text_ = text;
    textChanges_ = before;
  }
  return text;
}

void TCDReport::SetOutstanding(int sections) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    outstanding_ = sections;
  }
  if (sections <= 0) MarkComplete();
}

void TCDReport::SectionDone() {
  bool done;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (outstanding_ > 0) --outstanding_;
    done = outstanding_ == 0;
  }
  if (done) MarkComplete();
}

int TCDReport::Outstanding() const {
  std::lock_guard<std::mutex> guard(lock_);
  return outstanding_;
}

void TCDReport::MarkComplete() {
  std::vector<std::function<void()>> callbacks;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (complete_) return;
    complete_ = true;
    outstanding_ = 0;
    callbacks.swap(completeCallbacks_);
  }
  completed_.notify_all();
  for (auto& c : callbacks) c();
}

bool TCDReport::Complete() const {
  std::lock_guard<std::mutex> guard(lock_);
  return complete_;
}

bool TCDReport::WaitComplete(int timeoutMs) {
  std::unique_lock<std::mutex> guard(lock_);
  if (timeoutMs < 0) {
    completed_.wait(guard, [this] { return complete_; });
    return true;
  }
  return completed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [this] { return complete_; });
}

void TCDReport::Abort() {
  std::lock_guard<std::mutex> guard(lock_);
  aborted_ = true;
}

bool TCDReport::Aborted() const {
  std::lock_guard<std::mutex> guard(lock_);
  return aborted_;
}

void TCDReport::OnChange(std::function<void()> listener) {
  std::lock_guard<std::mutex> guard(lock_);
  changeListeners_.push_back(std::move(listener));
}

void TCDReport::OnComplete(std::function<void()> callback) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!complete_) {
      completeCallbacks_.push_back(std::move(callback));
      return;
    }
  }
  callback();
}
