// crashdemo: a small program with the crash reporter wired in exactly as
// Pinmark has it, whose one argument chooses what goes wrong when its button
// is pressed (at once with --now). It is the crash reporter's subject in the
// end-to-end tests and a demonstration of each way a program can fail.
//
//   crashdemo <case> [--now] [--exit]
//
// --exit ends the program with exit code 0 once the case has returned (a
// case the crash reporter let continue). The window is titled after the case
// ("crashdemo: segv"), so that it is never taken for the exception box.
//
// For tests, CRASHDEMO_RECORD names a file that gets one line per start and
// per exception shown (in place of the box), CRASHDEMO_ANSWERS the endings
// the box answers in turn ("continue,restart,close"; they count across
// restarts through the record), and CRASHDEMO_BUGREPORT the bug-report file
// (CRASHDEMO_AUTOSAVE=0 leaves saving to the user).
// With CRASHDEMO_BOX set the real exception box is shown and its button of
// the answer ("restart application", ...) pressed; the answer "hold" leaves
// it standing. The answer "segv" makes the showing thread fault while it
// shows the exception; "send+<answer>" sends the report first (to the mail
// programs on PATH) and records what the user was told ("sendnote"). CRASHDEMO_ANSWER_GATE names a file that must exist
// before an answer is given; CRASHDEMO_MAPS a file that gets the process's
// memory map once the report of a shown exception is complete.
#include <link.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "crash/delivery/CDBugRepFile.h"
#include "crash/delivery/CDSendReport.h"
#include "crash/handling/CDHandlers.h"
#include "crash/handling/CDHandlingEntry.h"
#include "crash/handling/CDHandlingThread.h"
#include "crash/handling/CDPresenter.h"
#include "crash/settings/CDExceptionTimes.h"
#include "crash/settings/ICDSettings.h"
#include "crash/ui/CDHelperProcess.h"
#include "crash/ui/CDPresentException.h"
#include "crash/ui/ExceptionBox.h"
#include "crash/ui/CrashReporter.h"
#include "runtime/Exception.h"
#include "runtime/Forms.h"
#include "runtime/SysUtils.h"
#include "runtime/ThreadName.h"
#include "tools/crashdemo/DemoChain.h"

namespace {

PINMARK_EXCEPTION_CLASS(EDemoError, Exception);
PINMARK_EXCEPTION_CLASS(EDemoMaskError, EDBEditError);

// ---- what goes wrong ----

// The faults are the point: a sanitizer build must let them happen rather
// than report the undefined behaviour first.
#define CRASHDEMO_REAL_FAULT __attribute__((no_sanitize("undefined")))

// Through a volatile pointer, so that the compiler keeps the write.
CRASHDEMO_REAL_FAULT void WriteNull() {
  volatile int* volatile target = nullptr;
  *target = 1;
}

void RaiseFromButton() { throw EDemoError("The demo button raised an exception."); }
void RaiseFromThread() { throw EDemoError("The demo thread raised an exception."); }

void* ThreadRaises(void*) {
  DemoChainOuter(RaiseFromThread);
  return nullptr;
}

void* ThreadWritesNull(void*) {
  DemoChainOuter(WriteNull);
  return nullptr;
}

pthread_barrier_t manyBarrier;
void* ThreadRaisesTogether(void* index) {
  pthread_barrier_wait(&manyBarrier);
  throw EDemoError("Demo thread " + IntToStr(reinterpret_cast<intptr_t>(index)) + " raised an exception.");
}

void StartThread(void* (*function)(void*), void* arg = nullptr) {
  pthread_t thread;
  if (pthread_create(&thread, nullptr, function, arg) == 0) pthread_detach(thread);
}

volatile bool endRecursion = false;
int Recurse(int depth) {
  volatile char frame[512];
  frame[0] = static_cast<char>(depth);
  if (endRecursion) return frame[0];
  return Recurse(depth + 1) + frame[0];
}

// A recursion whose round is longer than a report collapses: twenty
// functions that call each other in turn.
constexpr int kCycleLength = 20;
template <int N>
[[gnu::noinline]] int Cycle(int depth) {
  volatile char frame[64];
  frame[0] = static_cast<char>(depth);
  frame[1] = static_cast<char>(N);  // no two alike, or the compiler folds them into one
  if (endRecursion) return frame[0];
  return Cycle<(N + 1) % kCycleLength>(depth + 1) + frame[1];
}

// Holds the allocator's lock when it aborts: the second free of a block
// that is neither small nor mapped is caught under the arena's lock.
void* ThreadDoubleFrees(void*) {
  // Volatile, so that the compiler cannot see through the pair and drop it.
  void* volatile block = std::malloc(64 * 1024);
  void* volatile guard = std::malloc(64);
  std::free(block);
  std::free(block);
  std::free(guard);
  return nullptr;
}

void FaultWhileIteratingModules() {
  dl_iterate_phdr(
      [](dl_phdr_info*, size_t, void*) -> int {
        WriteNull();
        return 1;
      },
      nullptr);
}

CRASHDEMO_REAL_FAULT void DivideByZero() {
  // Both operands unknown to the compiler, so that a real division runs.
  volatile int seven = 7, zero = 0;
  volatile int x = seven / zero;
  (void)x;
}

// A thread that Qt names after its object ("DemoWorker"), as libraries name
// theirs, and that idles until the process ends; it is running when this
// returns.
void StartNamedWorker() {
  static std::atomic<bool> running{false};
  QThread* worker = QThread::create([] {
    running.store(true);
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
  });
  worker->setObjectName(QStringLiteral("DemoWorker"));
  worker->start();
  while (!running.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void GoWrong(const std::string& kind) {
  if (kind == "exception") return DemoChainOuter(RaiseFromButton);
  if (kind == "thread-exception") return StartThread(ThreadRaises);
  if (kind == "segv") return DemoChainOuter(WriteNull);
  if (kind == "thread-segv") return StartThread(ThreadWritesNull);
  if (kind == "segv-worker") {
    StartNamedWorker();
    return DemoChainOuter(WriteNull);
  }
  if (kind == "abort") std::abort();
  if (kind == "fpe") return DivideByZero();
  if (kind == "stack-overflow") {
    (void)Recurse(0);
    return;
  }
  if (kind == "cycle-overflow") {
    (void)Cycle<0>(0);
    return;
  }
  if (kind == "terminate") std::terminate();
  if (kind == "eabort") Abort();
  if (kind == "dbedit") throw EDemoMaskError("'12x' is not a valid input for this field.");
  if (kind == "hidden") {
    try {
      throw EDemoError("The demo handled this exception itself.");
    } catch (...) {
      HandleHiddenException(std::current_exception());
    }
    return;
  }
  if (kind == "many") {
    pthread_barrier_init(&manyBarrier, nullptr, 10);
    for (intptr_t i = 1; i <= 10; ++i) StartThread(ThreadRaisesTogether, reinterpret_cast<void*>(i));
    return;
  }
  if (kind == "freeze") {
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  if (kind == "blocked-malloc") return StartThread(ThreadDoubleFrees);
  if (kind == "blocked-loader") return FaultWhileIteratingModules();
  if (kind == "handler-crash") {
    RegisterExceptionHandler([](ICDException&, int, bool&) { WriteNull(); });
    throw EDemoError("An exception whose handler crashes.");
  }
  throw EConvertError("'" + kind + "' is no crashdemo case");
}

const char* const kCases[] = {"exception", "thread-exception", "segv",   "thread-segv",    "abort",
                              "fpe",       "stack-overflow",   "terminate", "eabort",      "dbedit",
                              "hidden",    "many",             "freeze", "blocked-malloc", "blocked-loader",
                              "handler-crash", "segv-worker", "cycle-overflow"};

// ---- the test presenter ----

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : "";
}

void Record(const std::string& line) {
  const std::string file = Env("CRASHDEMO_RECORD");
  if (file.empty()) return;
  // One write per line, appended: several processes write to the one file.
  FILE* f = std::fopen(file.c_str(), "a");
  if (f == nullptr) return;
  const std::string text = line + "\n";
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
}

int CountRecorded(const std::string& prefix) {
  std::ifstream in(Env("CRASHDEMO_RECORD"));
  int n = 0;
  for (std::string line; std::getline(in, line);)
    if (line.rfind(prefix, 0) == 0) ++n;
  return n;
}

int RecordedTimes() {
  int n = 0;
  for (uint32_t t : ProcessExceptionTimes().Times())
    if (t != 0) ++n;
  return n;
}

std::string TimesText() { return IntToStr(RecordedTimes()); }

// The process as the system sees it: its name, blocked signals and nice value.
std::string ProcessText() {
  std::ifstream comm("/proc/self/comm");
  std::string name;
  std::getline(comm, name);
  sigset_t blocked;
  pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
  uint64_t mask = 0;
  for (int s = 1; s <= 64; ++s)
    if (sigismember(&blocked, s) == 1) mask |= uint64_t{1} << (s - 1);
  char hex[20];
  std::snprintf(hex, sizeof hex, "%llx", static_cast<unsigned long long>(mask));
  return "comm=" + name + "|sigblk=" + hex + "|nice=" + IntToStr(getpriority(PRIO_PROCESS, 0));
}

std::string OneLine(std::string text) {
  for (char& c : text)
    if (c == '\r' || c == '\n' || c == '|') c = ' ';
  return text;
}

// Shows the real box and presses its button labelled `button` as soon as it
// stands and the button may be pressed.
TCDEnding PressInBox(ICDException& e, int showMode, const std::string& button) {
  QTimer press;
  QObject::connect(&press, &QTimer::timeout, [&press, text = ToQString(button)] {
    for (QWidget* top : QApplication::topLevelWidgets()) {
      auto* box = dynamic_cast<TExceptionBox*>(top);
      if (box == nullptr || !box->isVisible()) continue;
      for (QPushButton* b : box->findChildren<QPushButton*>())
        if (b->text() == text && b->isVisible() && b->isEnabled()) {
          press.stop();
          b->click();
          return;
        }
    }
  });
  press.start(50);
  return CDPresentException(e, showMode);
}

TCDEnding RecordingPresenter(ICDException& e, int showMode) {
  std::vector<std::string> answers;
  std::stringstream list(Env("CRASHDEMO_ANSWERS"));
  for (std::string a; std::getline(list, a, ',');) answers.push_back(a);
  const int index = CountRecorded("present ");
  std::string answer = index < static_cast<int>(answers.size()) ? answers[index] : "continue";
  Record("present pid=" + IntToStr(getpid()) + "|source=" + IntToStr(e.ExceptionSource()) +
         "|type=" + IntToStr(static_cast<int>(e.ExceptionType())) + "|continue=" + (e.CanContinue() ? "1" : "0") +
         "|mode=" + IntToStr(showMode) + "|class=" + e.ExceptionClass() + "|message=" + OneLine(e.ExceptionMessage()) +
         "|times=" + TimesText() + "|answer=" + answer + "|savenote=" + OneLine(PlannedSaveText(e)) + "|" +
         ProcessText());
  if (const std::string maps = Env("CRASHDEMO_MAPS"); !maps.empty()) {
    e.CompleteReport();
    std::ifstream in("/proc/self/maps");
    std::ofstream(maps) << in.rdbuf();
  }
  if (const std::string gate = Env("CRASHDEMO_ANSWER_GATE"); !gate.empty())
    for (int i = 0; i < 600 && access(gate.c_str(), F_OK) != 0; ++i) usleep(50 * 1000);
  if (answer == "segv") WriteNull();
  if (answer.rfind("send+", 0) == 0) {
    e.CompleteReport();
    TCDSendOptions options;
    options.ShowFailure = [](const std::string& text) { Record("sendnote text=" + OneLine(text)); };
    SendBugReport(e, e.Report().Text(), e.ScreenShotFile(), options);
    answer = answer.substr(5);
  }
  if (!Env("CRASHDEMO_BOX").empty()) return PressInBox(e, showMode, answer + " application");
  if (answer == "restart") return TCDEnding::Restart;
  if (answer == "close") return TCDEnding::Close;
  return TCDEnding::Continue;
}

void InstallTestMode(const std::string& kind) {
  if (Env("CRASHDEMO_RECORD").empty()) return;
  SetCDPresenter(RecordingPresenter);
  if (kind == "hidden")
    RegisterHiddenExceptionHandler([](ICDException& e, int, bool&) {
      Record("hidden pid=" + IntToStr(getpid()) + "|source=" + IntToStr(e.ExceptionSource()) +
             "|class=" + e.ExceptionClass() + "|message=" + OneLine(e.ExceptionMessage()));
    });
}

// Settings the demo changes before the crash reporter starts.
void AdjustSettings(const std::string& kind) {
  InitMainModuleSettings();
  TICDSettings settings;
  if (kind == "freeze") {
    settings.SetCheckFreeze(true);
    const std::string timeout = Env("CRASHDEMO_FREEZE_TIMEOUT");
    settings.SetFreezeTimeout(timeout.empty() ? 5000 : StrToIntDef(timeout, 5000));
  }
  const std::string bugReport = Env("CRASHDEMO_BUGREPORT");
  if (!bugReport.empty()) settings.SetBugRepFile(bugReport);
  if (Env("CRASHDEMO_AUTOSAVE") == "0") settings.SetAutoSave(false);
}

}  // namespace

int main(int argc, char** argv) {
  std::string kind = argc > 1 ? argv[1] : "";
  InstallTestMode(kind);
  if (IsCrashHelperProcess()) return RunCrashHelperProcess(argc, argv);

  bool now = false, exitAfter = false;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--now") == 0) now = true;
    if (std::strcmp(argv[i], "--exit") == 0) exitAfter = true;
  }
  bool known = false;
  for (const char* c : kCases) known = known || kind == c;
  if (!known) {
    std::fprintf(stderr, "usage: crashdemo <case> [--now] [--exit]\ncases:");
    for (const char* c : kCases) std::fprintf(stderr, " %s", c);
    std::fprintf(stderr, "\n");
    return 2;
  }

  AdjustSettings(kind);
  TCrashReporter crashReporter;
  TApplication app(argc, argv);
  crashReporter.AttachApplication(app);
  app.SetTitle("crashdemo");
  Record("start pid=" + IntToStr(getpid()) + "|times=" + TimesText() + "|argc=" + IntToStr(argc) +
         "|last=" + OneLine(argv[argc - 1]) + "|" + ProcessText());

  QWidget window;
  window.setWindowTitle(ToQString("crashdemo: " + kind));
  auto* layout = new QVBoxLayout(&window);
  layout->addWidget(new QLabel(ToQString("Pressing the button makes this happen: " + kind), &window));
  auto* button = new QPushButton(QStringLiteral("&Go wrong"), &window);
  layout->addWidget(button);
  auto* ticks = new QLabel(QStringLiteral("0"), &window);
  layout->addWidget(ticks);
  // Shows that the window keeps running while a box stands.
  QTimer alive;
  QObject::connect(&alive, &QTimer::timeout, ticks, [ticks] { ticks->setNum(ticks->text().toInt() + 1); });
  alive.start(100);

  auto run = [kind, exitAfter, button] {
    CallHandler(button, [&] { GoWrong(kind); });
    if (exitAfter) {
      // Threads that go wrong need a moment to reach the crash reporter, and
      // the crash reporter to finish with them (ten of them for "many",
      // however busy the machine): the program ends once it is idle.
      const bool threads = kind == "many" || kind.rfind("thread", 0) == 0 || kind.rfind("blocked", 0) == 0;
      const int settleMs = threads ? 1500 : 0;
      const int failures = kind == "many" ? 10 : 0;
      auto* idle = new QTimer(QCoreApplication::instance());
      QElapsedTimer since;
      since.start();
      QObject::connect(idle, &QTimer::timeout, [idle, since, settleMs, failures] {
        const bool settled = since.elapsed() >= settleMs && RecordedTimes() >= failures &&
                             TCDHandlingThread::CurrentRequest() == nullptr;
        if (!settled && since.elapsed() < 60000) return;
        idle->stop();
        QCoreApplication::exit(0);
      });
      idle->start(threads ? 50 : 0);
    }
  };
  QObject::connect(button, &QPushButton::clicked, button, run);
  app.SetMainForm(&window);
  window.show();
  if (now) QTimer::singleShot(0, button, run);
  const int code = app.exec();
  crashReporter.DetachApplication();
  return code;
}
