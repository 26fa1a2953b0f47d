// A handled exception and its report: the report it starts is the full one,
// and whoever waits for it whole sees the please-wait box, whose areas are
// the threads whose stacks are analysed.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "crash/handling/ICDException.h"
#include "crash/settings/ICDSettings.h"
#include "runtime/Exception.h"
#include "runtime/ThreadName.h"

namespace {

// Records what the please-wait box is told. The analysis waits until the
// box stands, so that the report cannot complete before anyone waits for it.
class TRecordingAlert : public IProgressAlert {
 public:
  int AddArea(int64_t weight, const std::string& text) override {
    std::lock_guard<std::mutex> guard(lock_);
    weights.push_back(weight);
    texts.push_back(text);
    return static_cast<int>(weights.size()) - 1;
  }
  void SetArea(int index) override {
    std::lock_guard<std::mutex> guard(lock_);
    areas.push_back(index);
  }
  void SetPosition(int position) override {
    std::unique_lock<std::mutex> guard(lock_);
    shownCondition_.wait_for(guard, std::chrono::seconds(5), [this] { return shown; });
    lastPosition = position;
  }
  void Show(bool) override {
    std::lock_guard<std::mutex> guard(lock_);
    shown = true;
    shownCondition_.notify_all();
  }
  void Close() override {
    std::lock_guard<std::mutex> guard(lock_);
    closed = shown;
  }

  std::vector<int64_t> weights;
  std::vector<std::string> texts;
  std::vector<int> areas;
  int lastPosition = -1;
  bool shown = false, closed = false;

 private:
  std::mutex lock_;
  std::condition_variable shownCondition_;
};

TEST(TICDException, WaitingForTheReportShowsThePleaseWaitBoxFollowingTheThreadsStacks) {
  InitMainModuleSettings();
  std::atomic<bool> stop{false};
  std::atomic<pid_t> worker{0};
  std::thread thread([&] {
    worker = CurrentThreadId();
    while (!stop) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  while (worker == 0) std::this_thread::yield();

  TCDExceptionFacts facts;
  facts.Source = TCDExceptionSource::ThreadFunction;
  facts.ThreadId = worker;
  facts.Error = std::make_exception_ptr(EConvertError("'x' is not a valid integer value!!"));
  {
    TICDException e(std::move(facts));
    e.Settings().SetPlugins("");
    auto alert = std::make_unique<TRecordingAlert>();
    TRecordingAlert& seen = *alert;
    e.SetProgressAlert(std::move(alert));
    e.SetExceptionNumber(7);
    e.StartReport({}, true);
    e.CompleteReport();

    ASSERT_TRUE(e.Report().Complete());
    EXPECT_TRUE(seen.shown);
    EXPECT_TRUE(seen.closed);
    // The crashed worker and the main thread at least, each by its stack.
    ASSERT_GE(seen.weights.size(), 2u);
    for (std::size_t i = 0; i < seen.weights.size(); ++i) {
      EXPECT_GT(seen.weights[i], 0);
      EXPECT_EQ(seen.texts[i], "Please wait a moment...");
    }
    EXPECT_EQ(seen.lastPosition, 1000);
    EXPECT_EQ(seen.areas.back(), static_cast<int>(seen.weights.size()) - 1);

    const std::string text = e.Report().Text();
    EXPECT_NE(text.find("exception number  : 7"), std::string::npos) << text;
    EXPECT_NE(text.find("exception class   : EConvertError"), std::string::npos);
    EXPECT_NE(text.find("exception message : 'x' is not a valid integer value."), std::string::npos);
    EXPECT_NE(text.find("\r\n\r\nmain thread ($"), std::string::npos);
    EXPECT_EQ(text.find("will be calculated soon"), std::string::npos) << text;
  }
  stop = true;
  thread.join();
}

}  // namespace
