#include "crash/report/CDReportComposer.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <set>

#include "crash/report/CDCallStackText.h"
#include "crash/report/CDDisassembler.h"
#include "crash/report/CDPluginRegistry.h"
#include "crash/report/CDRegisters.h"
#include "crash/report/CDReportFormat.h"
#include "crash/report/CDReportHeader.h"
#include "crash/sys/CDMemory.h"
#include "crash/sys/CDModuleList.h"
#include "runtime/SysUtils.h"
#include "runtime/ThreadName.h"

namespace {

constexpr char kSoon[] = ">> will be calculated soon";
constexpr char kNotAccessible[] = ">> stack not accessible";

std::mutex gReportThreadsLock;
std::set<pid_t> gReportThreads;

class TReportThreadMark {
 public:
  TReportThreadMark() : id_(CurrentThreadId()) {
    std::lock_guard<std::mutex> guard(gReportThreadsLock);
    gReportThreads.insert(id_);
  }
  ~TReportThreadMark() {
    std::lock_guard<std::mutex> guard(gReportThreadsLock);
    gReportThreads.erase(id_);
  }
  TReportThreadMark(const TReportThreadMark&) = delete;
  TReportThreadMark& operator=(const TReportThreadMark&) = delete;

 private:
  pid_t id_;
};

std::string HexId(pid_t id) { return DollarHex(static_cast<uint32_t>(id)); }

// "name ($id)", or "thread $id" with the class of its thread object.
std::string ThreadName(pid_t id, const TCDThreadRegEntry* entry, bool registryLocked, pid_t mainId) {
  if (!registryLocked) return "thread " + HexId(id);
  if (entry && !entry->Name.empty()) return entry->Name + " (" + HexId(id) + ")";
  if (id == mainId) return "main thread (" + HexId(id) + ")";
  std::string name = "thread " + HexId(id);
  if (entry && !entry->ClassName.empty()) name += " (" + entry->ClassName + ")";
  return name;
}

// The plug-ins the report's settings name and the registry knows, those with
// a section of their own or those with a header line.
std::vector<TCDPlugin> NamedPlugins(const TCDReportInput& input, bool ownSection) {
  const TCDPluginRegistry& registry = input.PluginRegistry ? *input.PluginRegistry : TCDPluginRegistry::Global();
  std::vector<TCDPlugin> plugins;
  for (const std::string& name : SplitItems(input.Plugins, '|')) {
    TCDPlugin plugin;
    if (name.empty() || !registry.Find(name, plugin) || plugin.OwnSection != ownSection) continue;
    plugins.push_back(std::move(plugin));
  }
  return plugins;
}

TCDCallStackOptions CallStackOptions(const TCDReportInput& input) {
  return TCDCallStackOptions{input.ShowRelAddrs, input.ShowRelLines};
}

template <typename F>
std::string Guarded(const char* step, F f) {
  try {
    return f();
  } catch (...) {
    return InternalErrorText(step);
  }
}

}  // namespace

bool TCDReportComposer::IsReportThread(pid_t threadId) {
  std::lock_guard<std::mutex> guard(gReportThreadsLock);
  return gReportThreads.count(threadId) != 0;
}

TCDReportComposer::TCDReportComposer(TCDReport& report, TCDReportInput input)
    : report_(report), input_(std::move(input)) {
  if (input_.MainThreadId == 0) input_.MainThreadId = static_cast<pid_t>(::getpid());
  if (input_.CrashedThreadId == 0) input_.CrashedThreadId = CurrentThreadId();
  if (input_.Freeze) input_.CrashedThreadId = input_.MainThreadId;
}

TCDReportComposer::~TCDReportComposer() {
  stop_ = true;
  if (completer_.joinable()) completer_.join();
}

void TCDReportComposer::BuildHeader() {
  try {
    FillHeader();
  } catch (...) {
    report_.Header.Set("bug report", InternalErrorText("BuildHeader"));
  }
}

void TCDReportComposer::FillHeader() {
  TCDHeaderInput in;
  in.Time = input_.Time != 0 ? input_.Time : Now();
  try {
    in.Facts = GatherSystemFacts();
  } catch (...) {
    // Whatever could not be gathered stays out of the header.
  }
  in.Version = !input_.VersionVar.empty() ? input_.VersionVar : ExecutableFileVersion();
  for (const TCDPlugin& plugin : NamedPlugins(input_, false))
    in.PluginLines.emplace_back(plugin.Name, Guarded("plugin", [&] { return plugin.Procedure(); }));
  in.ExceptionNumber = input_.ExceptionNumber;
  in.Freeze = input_.Freeze;
  in.ExceptionClass = input_.ExceptionClass;
  in.ExceptionMessage = input_.ExceptionMessage;
  in.FrozenMsg = input_.FrozenMsg;
  in.DecimalSeparator = LocaleDecimalSeparator();
  FillReportHeader(report_.Header, in);
}

void TCDReportComposer::NameThreads() {
  const bool locked = snapshot_.RegistryLocked();
  for (const TCDThreadSnapshot& snap : snapshot_.Threads()) {
    TThread t;
    t.Snapshot = &snap;
    const TCDThreadRegEntry* e = snap.Entry ? &*snap.Entry : nullptr;
    t.SectionName = ThreadName(snap.Id, e, locked, input_.MainThreadId) + ":";
    if (e && e->Suspended && !snap.Caller) t.SectionName += " <suspended>";
    if (snap.RelativePriority) t.SectionName += " <priority:" + std::to_string(*snap.RelativePriority) + ">";
    if (e && e->CreationSite != 0) {
      const TCDThreadRegEntry* creator = snap.CreatorEntry ? &*snap.CreatorEntry : nullptr;
      t.CreatorName = e->CreatorId != 0 ? ThreadName(e->CreatorId, creator, locked, input_.MainThreadId)
                                        : std::string("thread ") + HexId(0);
    }
    threads_.push_back(std::move(t));
  }
}

void TCDReportComposer::WritePlaceholders() {
  const TCDCallStackOptions options = CallStackOptions(input_);
  TCDSymbolizer& symbols = snapshot_.Symbols();
  for (TThread& t : threads_) {
    std::string text;
    if (t.Snapshot->Accessible) {
      const uint64_t at = t.Snapshot->Capture.FirstAddress;
      text = (at ? SingleLineForm(at, symbols.Resolve(at), options) + "\r\n" : std::string()) + ">> stack " +
             "will be calculated soon";
    } else {
      text = kNotAccessible;
      if (t.Snapshot->Crashed && input_.ExceptionAddress != 0)
        text += ", exception location:\r\n" +
                SingleLineForm(input_.ExceptionAddress, symbols.Resolve(input_.ExceptionAddress), options);
    }
    report_.Sections.Set(t.SectionName, text);
  }
}

void TCDReportComposer::SetSection(const std::string& name, const std::string& text) {
  report_.Sections.Set(name, text);
  report_.SectionDone();
}

void TCDReportComposer::ReportProgress(int area, int position) {
  if (IProgressAlert* alert = input_.ProgressAlert) {
    if (area != progressArea_) {
      alert->SetArea(area);
      progressArea_ = area;
    }
    alert->SetPosition(std::clamp(position, 0, 1000));
  }
  if (!input_.Progress) return;
  // The same weighted arithmetic as the box's bar, on the same areas.
  TCDReportProgress p;
  p.Areas = progress_.Areas();
  p.Area = area;
  p.Position = std::clamp(position, 0, 1000);
  progress_.SetArea(area);
  progress_.SetPosition(p.Position);
  p.Overall = progress_.BarPosition();
  input_.Progress(p);
}

std::string TCDReportComposer::FaultText(const TCDStepFault& fault, bool original) {
  // The step left the symbol session in an unknown state (its locks may be
  // held): a new one serves from here.
  snapshot_.RenewSymbols();
  TCDSymbolizer& symbols = snapshot_.Symbols();
  const TCDCallStackOptions options = CallStackOptions(input_);
  std::string text = InternalErrorText(*fault.Step ? fault.Step : "plugin",
                                       SingleLineForm(fault.Address, symbols.Resolve(fault.Address), options));
  if (original && input_.ExceptionAddress != 0)
    text += "\r\n>> original exception location:\r\n" +
            SingleLineForm(input_.ExceptionAddress, symbols.Resolve(input_.ExceptionAddress), options);
  return text;
}

void TCDReportComposer::CompleteThread(TThread& t, int area) {
  const TCDCallStackOptions options = CallStackOptions(input_);
  std::vector<TCDStackEntry> entries;
  std::vector<TCDStackLine> lines;
  std::string text;
  TCDStepFault fault;
  const bool ran = RunFaultGuarded(
      [&] {
        try {
          entries = snapshot_.Trace(*t.Snapshot, [&](int position) { ReportProgress(area, position); });
        } catch (const ECDTraceError& e) {
          text = InternalErrorText(e.Message());
          return;
        } catch (...) {
          text = InternalErrorText("CollectPossibleStackItems");
          return;
        }
        TCDStepName fill("FillFinalOutput");
        TCDSymbolizer& symbols = snapshot_.Symbols();
        text = Guarded("FillFinalOutput", [&] {
          uint64_t leftOut = 0;
          for (std::size_t i = 0; i < entries.size(); ++i) {
            // The calls inlined at the address stand before the real
            // function, as entries of their own (not at a creation site,
            // which is one line by itself).
            std::vector<TCDSymbol> frames = entries[i].CreationSite
                                                ? std::vector<TCDSymbol>{symbols.ResolveCallSite(entries[i].Address)}
                                                : symbols.ResolveFrames(entries[i].Address, !entries[i].Exact);
            // Entries without a line say little; leave them out when asked,
            // but keep where the thread stands and where it was created.
            leftOut += entries[i].LeftOut;  // a hidden entry passes its count on
            if (input_.HideUglyItems && frames.back().Line <= 0 && i > 0 && !entries[i].CreationSite) continue;
            for (TCDSymbol& s : frames) {
              lines.push_back(TCDStackLine{entries[i].Address, std::move(s), leftOut});
              leftOut = 0;
            }
          }
          return std::string();
        });
        if (!text.empty()) return;
        TCDStepName compose("ComposeResult");
        const bool created = !entries.empty() && entries.back().CreationSite;
        text = Guarded("ComposeResult", [&] {
          return FormatCallStack(lines, options, created ? std::string_view(t.CreatorName) : std::string_view());
        });
        std::vector<TCDCrcEntry> crc;
        for (const TCDStackLine& l : lines)
          crc.push_back(TCDCrcEntry{l.Address, l.Symbol.Known && l.Symbol.HasStart && !l.Symbol.Function.empty(),
                                    l.Symbol.FunctionStart, l.Symbol.Module, l.Symbol.Unit, l.Symbol.Function,
                                    l.Symbol.Line > 0, l.Symbol.ModuleBase});
        t.Crc = ThreadCrc(crc);
      },
      fault);
  if (!ran) text = FaultText(fault, t.Snapshot->Crashed);
  if (text.empty()) text = kNotAccessible;
  SetSection(t.SectionName, text);
}

std::string TCDReportComposer::GuardedStep(const char* name, const std::function<std::string()>& step) {
  std::string text;
  TCDStepFault fault;
  TCDStepName named(name);
  if (!RunFaultGuarded([&] { text = Guarded(name, step); }, fault)) text = FaultText(fault, false);
  return text;
}

void TCDReportComposer::FinishChecksum() {
  TCDThreadCrc crashed;
  std::vector<TCDThreadCrc> others;
  for (const TThread& t : threads_) {
    if (t.Snapshot->Crashed)
      crashed = t.Crc;
    else
      others.push_back(t.Crc);
  }
  report_.Header.Set(CDCallstackCrcLabel, CallstackCrcText(crashed, others));
  report_.SectionDone();
}

void TCDReportComposer::StartSections(bool background) {
  try {
    PrepareSections();
  } catch (...) {
    // Nothing half-made is completed: the report says where it failed.
    steps_.clear();
    report_.Sections.Set("bug report", InternalErrorText("StartSections"));
    report_.SetOutstanding(0);
    return;
  }
  if (!background) {
    RunSteps(false);
    return;
  }
  completerDone_ = false;
  try {
    completer_ = std::thread([this] {
      TReportThreadMark mark;
      completerId_ = CurrentThreadId();
      // Above the program's own threads, so the box shows a complete report soon.
      ::setpriority(PRIO_PROCESS, static_cast<id_t>(completerId_.load()), -5);
      RunSteps(true);
      completerDone_ = true;
    });
  } catch (...) {
    // No thread to be had: complete the report here.
    completerDone_ = true;
    RunSteps(false);
  }
}

TCDSnapshotInput TCDReportComposer::SnapshotInput() const {
  TCDSnapshotInput in;
  in.CrashedThreadId = input_.CrashedThreadId;
  in.MainThreadId = input_.MainThreadId;
  in.ListThreads = input_.ListThreads;
  in.IsOwnThread = [this](pid_t id) {
    return IsReportThread(id) ||
           std::find(input_.OwnThreads.begin(), input_.OwnThreads.end(), id) != input_.OwnThreads.end();
  };
  in.Threads = input_.Threads;
  in.Contexts = input_.Contexts;
  in.ExceptionAddress = input_.ExceptionAddress;
  in.Context = input_.Context;
  in.StackPointer = input_.StackPointer;
  in.FramePointer = input_.FramePointer;
  in.ThrowStack = input_.ThrowStack;
  return in;
}

void TCDReportComposer::PrepareSections() {
  snapshot_.Take(SnapshotInput());
  try {
    NameThreads();
  } catch (...) {
    threads_.clear();
  }
  for (const TThread& t : threads_)
    if (t.Snapshot->Accessible) {
      const auto weight = static_cast<int64_t>(t.Snapshot->Weight);
      progress_.AddArea(weight, input_.PlWaitText);
      if (input_.ProgressAlert) input_.ProgressAlert->AddArea(weight, input_.PlWaitText);
    }
  WritePlaceholders();

  // Which sections there are, each with its completing step, in the order of
  // completion: the crashed thread, registers, dump, disassembly, plug-ins,
  // the other threads.
  int outstanding = 0;
  int area = 0;
  std::map<pid_t, int> areas;
  for (const TThread& t : threads_)
    if (t.Snapshot->Accessible) areas[t.Snapshot->Id] = area++;
  auto add = [&](std::function<void()> step) {
    steps_.push_back(std::move(step));
    ++outstanding;
  };
  for (TThread& t : threads_)
    if (t.Snapshot->Crashed && t.Snapshot->Accessible)
      add([this, &t, a = areas[t.Snapshot->Id]] { CompleteThread(t, a); });

  // The plug-ins' sections stand right after the threads, before the
  // registers, the dump and the disassembly, though they complete later.
  const std::vector<TCDPlugin> plugins = NamedPlugins(input_, true);
  for (const TCDPlugin& plugin : plugins) report_.Sections.Set(plugin.Name, kSoon);

  const TCDContext& context = input_.Context;
  if (input_.CpuRegs && context.Valid) {
    report_.Sections.Set("cpu registers", kSoon);
    add([this] {
      SetSection("cpu registers", GuardedStep("cpu registers", [&] { return CpuRegistersText(input_.Context); }));
    });
  }
  if (input_.StackDump && context.Valid) {
    report_.Sections.Set("stack dump", kSoon);
    add([this] {
      SetSection("stack dump", GuardedStep("stack dump", [&] {
                   // An overflowed stack shows its readable memory from just above the fault.
                   uint64_t from = input_.Context.Rsp;
                   const TCDMapping* m = snapshot_.Space().Find(from);
                   if (m == nullptr || !m->Read) {
                     m = OverflowedStack(snapshot_.Space(), from);
                     if (m != nullptr) from = m->Start;
                   }
                   std::string text = m ? StackDumpText(from, m->End, ReadOwnMemoryPartly) : std::string();
                   return text.empty() ? std::string(kNotAccessible) : text;
                 }));
    });
  }
  if (input_.ShowDisAsm && input_.ExceptionAddress != 0) {
    report_.Sections.Set("disassembling", kSoon);
    add([this] {
      SetSection("disassembling", GuardedStep("disassembling", [&] {
                   std::string text = DisassemblyText(input_.ExceptionAddress, snapshot_.Symbols(), ReadOwnMemoryPartly,
                                                      input_.FormatDisAsm, input_.LimitDisAsm);
                   return text.empty() ? std::string(">> code not accessible") : text;
                 }));
    });
  }
  for (const TCDPlugin& plugin : plugins)
    add([this, plugin] { SetSection(plugin.Name, GuardedStep("plugin", [&] { return plugin.Procedure(); })); });
  for (TThread& t : threads_)
    if (!t.Snapshot->Crashed && t.Snapshot->Accessible)
      add([this, &t, a = areas[t.Snapshot->Id]] { CompleteThread(t, a); });
  // The checksum needs every thread's stack; it completes the report.
  steps_.push_back([this] { FinishChecksum(); });
  report_.SetOutstanding(outstanding + 1);
}

void TCDReportComposer::RunSteps(bool honourAbort) {
  while (true) {
    if (honourAbort && (stop_ || report_.Aborted())) return;
    std::function<void()> step;
    {
      std::lock_guard<std::mutex> guard(stepsLock_);
      if (steps_.empty()) return;
      step = std::move(steps_.front());
      steps_.pop_front();
    }
    try {
      step();
    } catch (...) {
      // Each step guards its own work; what escapes is its very last
      // change (memory ran out): the section counts as done all the same,
      // so that the report still completes.
      report_.SectionDone();
    }
  }
}

bool TCDReportComposer::CompleteNow(const std::function<void()>& pump, int timeoutMs) {
  const pid_t completer = completerId_.load();
  if (completer != 0 && !completerDone_) ::setpriority(PRIO_PROCESS, static_cast<id_t>(completer), -20);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  auto timeLeft = [&] {
    if (timeoutMs < 0) return 50;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::clamp<int64_t>(left.count(), 0, 50));
  };
  while (!report_.Complete()) {
    if (completerDone_) {
      // Stopped by an abort (or never started): finish here.
      RunSteps(false);
      break;
    }
    const int wait = timeLeft();
    if (wait == 0) return false;
    report_.WaitComplete(wait);
    if (pump) pump();
  }
  // The completion callbacks run on the completing thread right after the
  // report turned complete; whoever needs the report also sees them done.
  // (A callback that asks for the report itself must not wait for itself.)
  if (CurrentThreadId() != completer) {
    while (!completerDone_) {
      const int wait = timeLeft();
      if (wait == 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min(wait, 1)));
    }
  }
  return report_.Complete();
}

void TCDReportComposer::Abort() {
  stop_ = true;
  report_.Abort();
}

std::unique_ptr<TCDReportComposer> StartBugReport(TCDReport& report, TCDReportInput input, bool background) {
  auto composer = std::make_unique<TCDReportComposer>(report, std::move(input));
  composer->BuildHeader();
  composer->StartSections(background);
  return composer;
}
