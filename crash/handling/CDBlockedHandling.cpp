#include "crash/handling/CDBlockedHandling.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <typeinfo>
#include <vector>

#include "crash/capture/CDRestartBlock.h"
#include "crash/capture/CDSafeText.h"
#include "crash/capture/CDThreadRegistry.h"
#include "crash/capture/CDThrowTrace.h"
#include "crash/delivery/CDBugRepFile.h"
#include "crash/handling/CDConsoleReport.h"
#include "crash/handling/ICDException.h"
#include "crash/handling/ICDHelperLink.h"
#include "crash/report/CDRegisters.h"
#include "crash/report/CDReportFormat.h"
#include "crash/settings/CDExceptionTimes.h"
#include "crash/settings/ICDSettings.h"
#include "crash/sys/CDMemory.h"
#include "runtime/Exception.h"
#include "runtime/SysUtils.h"

namespace {

std::atomic<uint64_t> exceptionCounter{0};

// The settings, as read at start-up.
struct TSafeSettings {
  char ExceptMsg[512] = "An error occurred in the application.";
  char FrozenMsg[512] = "The application seems to be frozen.";
  char BugReportPath[4096] = "";
  char Executable[256] = "";
  bool AutoSave = true;
  bool AppendBugReps = true;
  bool ShowReportOnConsole = true;
  long UtcOffset = 0;  // seconds east of UTC
} settings;
// The executable's settings as they were at start-up, for the helper: the
// program may have changed some of them in memory.
std::vector<TCDProperty>* startupSettings = nullptr;

void Copy(char* to, std::size_t size, const std::string& from) {
  const std::size_t n = from.size() < size - 1 ? from.size() : size - 1;
  std::memcpy(to, from.data(), n);
  to[n] = '\0';
}

// Storage for the report: one buffer per line or section.
TCDSafeTextBuffer<64> headerValues[8];
TCDSafeTextBuffer<1024> messageValue;
TCDSafeTextBuffer<128> threadName;
TCDSafeTextBuffer<512> threadSection;
TCDSafeTextBuffer<1024> registers;
TCDSafeTextBuffer<4096> stackDump;
TCDSafeTextBuffer<128 * 1024> consoleText;

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void CivilFromDays(int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

void DateTimeNow(TCDSafeText& t) {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  const int64_t local = static_cast<int64_t>(ts.tv_sec) + settings.UtcOffset;
  int64_t days = local / 86400, secs = local % 86400;
  if (secs < 0) {
    secs += 86400;
    --days;
  }
  int y, m, d;
  CivilFromDays(days, y, m, d);
  t.Dec(y, 4).Add('-').Dec(m, 2).Add('-').Dec(d, 2).Add(", ");
  t.Dec(secs / 3600, 2).Add(':').Dec(secs / 60 % 60, 2).Add(':').Dec(secs % 60, 2).Add(", ");
  t.Dec(ts.tv_nsec / 1000000).Add("ms");
}

// The class name of a type by its mangled name: "9EIdSocket" is EIdSocket;
// names in namespaces stay mangled rather than be demangled with allocations.
std::string_view PlainTypeName(const char* mangled) {
  if (mangled == nullptr) return "Unknown";
  std::size_t length = 0, i = 0;
  while (mangled[i] >= '0' && mangled[i] <= '9') length = length * 10 + static_cast<std::size_t>(mangled[i++] - '0');
  if (i == 0 || length == 0) return mangled;
  const std::size_t available = CDStrLen(mangled + i, length);
  return std::string_view(mangled + i, available);
}

// Class and message of an exception object without rethrowing it: the
// runtime's own type matching finds our Exception or std::exception in it.
void DescribeObject(const TCDExceptionObject* object, std::string_view& className, TCDSafeText& message) {
  className = "Unknown";
  if (object == nullptr) return;
  if (object->Signal != nullptr) {
    className = SignalClassName(*object->Signal);
    FormatSignalMessage(*object->Signal, message);
    return;
  }
  if (!object->Error) return;
  const std::type_info* type = object->Error.__cxa_exception_type();
  if (type == nullptr) return;
  void* address = const_cast<void*>(ExceptionObjectAddress(object->Error));
  className = PlainTypeName(type->name());
  void* asOurs = address;
  if (typeid(Exception).__do_catch(type, &asOurs, 1)) {
    const auto* e = static_cast<const Exception*>(asOurs);
    className = e->ClassName();
    message.Add(e->what());
    return;
  }
  void* asStd = address;
  if (typeid(std::exception).__do_catch(type, &asStd, 1))
    message.Add(static_cast<const std::exception*>(asStd)->what());
}

void SaveHere(std::string_view report) {
  if (!settings.AutoSave || settings.BugReportPath[0] == '\0') return;
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (settings.AppendBugReps ? O_APPEND : O_TRUNC);
  const int fd = open(settings.BugReportPath, flags, 0644);
  if (fd < 0) return;
  CDWriteAll(fd, report.data(), report.size());
  CDWriteAll(fd, "\r\n\r\n", 4);
  fsync(fd);
  close(fd);
}

}  // namespace

uint64_t NextExceptionNumber() { return exceptionCounter.fetch_add(1) + 1; }

void CaptureBlockedHandlingSettings() {
  TICDSettings s;
  Copy(settings.ExceptMsg, sizeof settings.ExceptMsg, s.GetExceptMsg());
  Copy(settings.FrozenMsg, sizeof settings.FrozenMsg, s.GetFrozenMsg());
  Copy(settings.BugReportPath, sizeof settings.BugReportPath, BugRepPathBesideExecutable(ConfiguredBugRepFile(s)));
  Copy(settings.Executable, sizeof settings.Executable, ExtractFileName(ApplicationExeName()));
  settings.AutoSave = s.GetAutoSave();
  settings.AppendBugReps = s.GetAppendBugReps();
  settings.ShowReportOnConsole = s.GetAutoShowBugRep() || s.GetShowBtnVis();
  const time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  settings.UtcOffset = local.tm_gmtoff;
  s.MakeOwnCopy();
  // Kept for the life of the process; read without allocating.
  delete startupSettings;
  startupSettings = new std::vector<TCDProperty>(s.OwnEntries());
}

void HandleInFaultingThread(const TCDBlockedInput& in) {
  const uint64_t number = NextExceptionNumber();
  ProcessExceptionTimes().TryRecord(CDSecondsNow());

  std::string_view className;
  TCDSafeTextBuffer<1024> rawMessage;
  const bool freeze = in.Type == 1;
  if (!freeze) DescribeObject(in.Object, className, rawMessage);

  for (auto& v : headerValues) v.Clear();
  messageValue.Clear();
  DateTimeNow(headerValues[0]);
  headerValues[1].Add('$').Hex(static_cast<uint32_t>(getpid()));
  headerValues[2].Add(settings.Executable);
  headerValues[3].Dec(static_cast<int64_t>(number));
  if (freeze)
    messageValue.Add(settings.FrozenMsg);
  else
    CleanExceptionMessage(rawMessage.View(), className, messageValue);

  TCDFieldView header[6];
  std::size_t headerCount = 0;
  header[headerCount++] = {"date/time", headerValues[0].View()};
  header[headerCount++] = {"process id", headerValues[1].View()};
  header[headerCount++] = {"executable", headerValues[2].View()};
  header[headerCount++] = {"exception number", headerValues[3].View()};
  if (!freeze) header[headerCount++] = {"exception class", className};
  if (messageValue.Size() > 0) header[headerCount++] = {"exception message", messageValue.View()};

  threadName.Clear();
  threadSection.Clear();
  registers.Clear();
  stackDump.Clear();
  if (TCDThreadRegistry::IsMainThread(in.ThreadId))
    threadName.Add("main thread ($").Hex(static_cast<uint32_t>(in.ThreadId)).Add("):");
  else
    threadName.Add("thread $").Hex(static_cast<uint32_t>(in.ThreadId)).Add(':');
  threadSection.Add(">> stack not accessible, exception location:\r\n").Hex(in.Address, 16).Add(" ???");
  TCDFieldView sections[3];
  std::size_t sectionCount = 0;
  sections[sectionCount++] = {threadName.View(), threadSection.View()};
  if (in.Context != nullptr) {
    WriteCpuRegisters(*in.Context, registers);
    // A reader without allocation: a plain function is kept in place.
    const TCDReadMemory read(ReadOwnMemoryInHandler);
    WriteStackDump(in.Context->Rsp, UINT64_MAX, read, stackDump);
    sections[sectionCount++] = {"cpu registers", registers.View()};
    if (stackDump.Size() > 0) sections[sectionCount++] = {"stack dump", stackDump.View()};
  }

  TCDSafeExceptionView view;
  view.Type = in.Type;
  view.Source = static_cast<int32_t>(in.Source);
  view.CanContinue = false;  // the process ends whatever the box says
  view.ExceptionNumber = number;
  view.ClassName = className;
  view.Message = freeze ? std::string_view(settings.FrozenMsg) : rawMessage.View();
  if (startupSettings != nullptr) view.Settings = *startupSettings;
  ICDHelperLink* helper = CDHelperLink();
  const TCDHelperOutcome outcome =
      helper != nullptr ? helper->PresentSafely(view, std::span(header, headerCount), std::span(sections, sectionCount))
                        : TCDHelperOutcome{};

  if (!outcome.Answered) {
    // Nobody can show a box: the console gets the message and the report,
    // and the report is saved here.
    consoleText.Clear();
    for (std::size_t i = 0; i < headerCount; ++i) {
      if (i > 0) consoleText.Add("\r\n");
      consoleText.Add(header[i].Name).PadTo(18).Add(": ").Add(header[i].Content);
    }
    for (std::size_t i = 0; i < sectionCount; ++i)
      consoleText.Add("\r\n\r\n").Add(sections[i].Name).Add("\r\n").Add(sections[i].Content);
    // The file first: the console may be gone.
    SaveHere(consoleText.View());
    const char* message = freeze ? settings.FrozenMsg : settings.ExceptMsg;
    WriteConsoleReport(std::string_view(message, CDStrLen(message)),
                       settings.ShowReportOnConsole ? consoleText.View() : std::string_view());
    CloseProcess();
  }
  if (outcome.Answer.Ending == static_cast<int32_t>(TCDEnding::Restart)) {
    TCDExceptionTimeList times{};
    ProcessExceptionTimes().TryTimes(times);
    RestartProcess(times);
  }
  CloseProcess();
}
