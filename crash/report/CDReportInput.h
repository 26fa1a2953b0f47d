// What the handling hands to the bug report: the exception, the settings the
// report reads, and the views of the process's threads that its snapshot is
// taken through. Plain values and the snapshot's two small interfaces, so
// that the report never depends on the handling, and tests build inputs by
// hand.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "crash/capture/CDContext.h"
#include "crash/report/IProgressAlert.h"
#include "crash/snapshot/CDThreadContextSource.h"
#include "crash/snapshot/CDThreadRegistryView.h"
#include "crash/settings/ICDSettings.h"
#include "runtime/DateTime.h"

class TCDPluginRegistry;

// Where the completion of the report stands, for the please-wait box: one
// area per thread whose stack is analysed, weighted by the size of that
// stack.
struct TCDReportProgress {
  int Area = 0, Areas = 0;
  int Position = 0;  // within the area, 0 to 1000 (0-25 scan, 25-650 checks, 650-1000 chain)
  int Overall = 0;   // 0 to 1000 over all areas
};

struct TCDReportInput {
  // The exception.
  bool Freeze = false;
  std::string ExceptionClass;  // empty: none ("Unknown")
  std::string ExceptionMessage;
  uint64_t ExceptionAddress = 0;
  TCDContext Context;  // the processor context of the exception, when there is one
  // Where the handling holds the crashed thread: frames below this stack
  // pointer are the handling's own. 0 when the context says it all.
  uint64_t StackPointer = 0, FramePointer = 0;
  pid_t CrashedThreadId = 0;
  pid_t MainThreadId = 0;
  uint64_t ExceptionNumber = 0;
  TDateTime Time = 0;  // of the exception; 0: when the header is made
  // Where the exception was thrown: the return addresses of the throwing
  // thread's stack at the throw, innermost first. By the time the report is
  // made the throwing frames are gone (the exception was caught), so the
  // crashed thread's section lists these after the exception address in
  // place of the catching stack. Empty: the crashed thread's stack is traced.
  std::vector<uint64_t> ThrowStack;

  // The settings the report reads (see FromSettings).
  bool ListThreads = true, CpuRegs = true, StackDump = true, ShowDisAsm = true;
  bool HideUglyItems = false, ShowRelAddrs = true, ShowRelLines = true, FormatDisAsm = false;
  int32_t LimitDisAsm = 5;
  std::string Plugins;  // "|"-separated plug-in names
  std::string VersionVar;
  std::string FrozenMsg;

  // The process's threads. Without a registry, threads have no names but the
  // main thread's; without a context source, other threads' stacks are not
  // accessible.
  std::shared_ptr<const ICDThreadRegistryView> Threads;
  std::shared_ptr<ICDThreadContextSource> Contexts;
  const TCDPluginRegistry* PluginRegistry = nullptr;  // null: the process's registry
  // Threads of the crash reporter itself, left out like those named "-".
  std::vector<pid_t> OwnThreads;
  // Called on the completing thread as the stack analysis proceeds.
  std::function<void(const TCDReportProgress&)> Progress;
  // The please-wait box, told the same: one area per thread whose stack is
  // analysed, weighted by its stack size and labelled PlWaitText. Null when
  // there is none; it must outlive the report's completion.
  IProgressAlert* ProgressAlert = nullptr;
  std::string PlWaitText;

  // Takes the report settings of an exception (or a module), the version
  // variable's text among them.
  void FromSettings(const TICDSettings& settings);
};
