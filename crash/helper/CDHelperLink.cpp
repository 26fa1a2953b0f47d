#include "crash/helper/CDHelperLink.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <span>
#include <string_view>

#include "crash/capture/CDProcessStart.h"
#include "crash/capture/CDSafeText.h"
#include "crash/handling/ICDException.h"
#include "crash/handling/ICDHelperLink.h"
#include "crash/helper/CDHelperProtocol.h"
#include "crash/sys/CDFd.h"

namespace {

std::atomic<bool> helperAvailable{false};

bool SendAll(int fd, const void* data, std::size_t size) { return CDSendAll(fd, data, size); }
bool SendAll(int fd, const std::string& bytes) { return CDSendAll(fd, bytes.data(), bytes.size()); }

// Starts the helper; returns our end of the socket pair or -1. Signal-safe.
int StartHelper() {
  if (!helperAvailable.load()) return -1;
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return -1;
  TCDSafeTextBuffer<64> variable;
  variable.Add(CDHelperEnvName).Add('=').Dec(pair[1]);
  const char* extra[] = {variable.CStr(), nullptr};
  TCDStartOptions options;
  options.ExtraEnvironment = extra;
  options.KeepFd = pair[1];
  const pid_t child = StartOwnProgram(options);
  close(pair[1]);
  if (child < 0) {
    close(pair[0]);
    return -1;
  }
  return pair[0];
}

template <typename F>
bool SendFrame(int fd, uint8_t* buffer, std::size_t capacity, F&& encode) {
  TCDWireWriter w(buffer, capacity);
  encode(w);
  return !w.Overflow() && SendAll(fd, buffer, w.Size());
}

// Shows the exception in a helper process and waits for its answer. Runs on
// the exception-handling thread. Not signal-safe.
TCDHelperOutcome PresentInHelper(TICDException& e, int showMode) {
  TCDHelperOutcome outcome;
  TCDFd fd(StartHelper());
  if (fd.Get() < 0) return outcome;

  uint8_t small[64];
  const bool started =
      SendFrame(fd.Get(), small, sizeof small,
                [](TCDWireWriter& w) {
                  EncodeHello(w, TCDHelperHello{CDHelperProtocolVersion, static_cast<uint32_t>(getpid())});
                }) &&
      SendAll(fd.Get(), EncodeExceptionFrame(TCDHelperException{
                            static_cast<int32_t>(e.ExceptionType()), e.ExceptionSource(), e.CanContinue(), showMode,
                            false, e.Flags().CreateScreenShot, e.ExceptionNumber(), e.ExceptionClass(),
                            e.ExceptionMessage(), e.Flags().Assistant, e.OwnEntries()}));
  if (!started) return outcome;

  // The report follows as it grows: each change marks it for sending, and
  // the loop below sends the lists as they are then.
  auto changed = std::make_shared<std::atomic<bool>>(true);
  e.Report().OnChange([changed] { changed->store(true); });
  e.Report().OnComplete([changed] { changed->store(true); });
  bool sentComplete = false;
  // A send fails when the helper has gone, or is going right after its
  // answer: the answer may still wait to be read, so reading goes on to the
  // end of the stream.
  bool canSend = true;

  TCDFrameReader reader;
  char buffer[4096];
  while (true) {
    if (canSend && changed->exchange(false) && !sentComplete) {
      const bool complete = e.Report().Complete();
      canSend = SendAll(fd.Get(), EncodeReportFrame(e.Report().Header.Items(), e.Report().Sections.Items(), complete));
      sentComplete = complete;
    }
    pollfd p{fd.Get(), POLLIN, 0};
    const int ready = poll(&p, 1, 100);
    if (ready < 0 && errno != EINTR) return outcome;
    if (ready <= 0) continue;
    const ssize_t n = read(fd.Get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return outcome;  // the helper is gone
    reader.Append(buffer, static_cast<std::size_t>(n));
    TCDRawFrame frame;
    while (reader.Next(frame)) {
      if (frame.Kind == static_cast<uint32_t>(TCDHelperFrame::Action)) {
        const std::optional<int32_t> action = DecodeAction(frame.Payload);
        const bool handled = action && e.CallActionHandlers(static_cast<TCDAction>(*action));
        canSend = canSend &&
                  SendFrame(fd.Get(), small, sizeof small, [&](TCDWireWriter& w) { EncodeActionResult(w, handled); });
      } else if (frame.Kind == static_cast<uint32_t>(TCDHelperFrame::Answer)) {
        const std::optional<TCDHelperAnswer> answer = DecodeAnswer(frame.Payload);
        if (!answer) return outcome;
        outcome.Answered = true;
        outcome.Answer = *answer;
        return outcome;
      }
    }
    if (!reader.Error().empty()) return outcome;
  }
}

// Frames for a process that cannot allocate; a report this large holds
// everything such a process can write.
uint8_t safeFrames[256 * 1024];

// The same without allocating: the report goes over complete, and the
// helper saves it itself. Action-handler questions are answered "not
// handled" (the program's handlers cannot run in such a process).
// Signal-safe.
TCDHelperOutcome PresentInHelperSafely(const TCDSafeExceptionView& e, std::span<const TCDFieldView> header,
                                       std::span<const TCDFieldView> sections) {
  TCDHelperOutcome outcome;
  const int fd = StartHelper();
  if (fd < 0) return outcome;
  TCDWireWriter w(safeFrames, sizeof safeFrames);
  EncodeHello(w, TCDHelperHello{CDHelperProtocolVersion, static_cast<uint32_t>(getpid())});
  EncodeException(w, e.Type, e.Source, e.CanContinue, e.ShowMode, true, false, e.ExceptionNumber, e.ClassName,
                  e.Message, std::string_view(), e.Settings);
  EncodeReport(w, header, sections, true);
  if (w.Overflow() || !SendAll(fd, safeFrames, w.Size())) {
    close(fd);
    return outcome;
  }
  // Only small frames come back; anything else is read past.
  while (true) {
    uint8_t head[CDHelperFrameHeader];
    if (!CDReadAll(fd, head, sizeof head)) break;
    uint32_t kind = 0, length = 0;
    for (int i = 0; i < 4; ++i) {
      kind |= static_cast<uint32_t>(head[i]) << (8 * i);
      length |= static_cast<uint32_t>(head[4 + i]) << (8 * i);
    }
    uint8_t payload[64];
    if (length > sizeof payload) {
      uint32_t left = length;
      while (left > 0) {
        const uint32_t chunk = left < sizeof payload ? left : static_cast<uint32_t>(sizeof payload);
        if (!CDReadAll(fd, payload, chunk)) break;
        left -= chunk;
      }
      if (left > 0) break;
      continue;
    }
    if (!CDReadAll(fd, payload, length)) break;
    if (kind == static_cast<uint32_t>(TCDHelperFrame::Action)) {
      uint8_t reply[16];
      TCDWireWriter r(reply, sizeof reply);
      EncodeActionResult(r, false);
      if (!SendAll(fd, reply, r.Size())) break;
    } else if (kind == static_cast<uint32_t>(TCDHelperFrame::Answer) && length == 6) {
      const int32_t ending = static_cast<int32_t>(payload[0] | (payload[1] << 8) | (payload[2] << 16) |
                                                  (static_cast<uint32_t>(payload[3]) << 24));
      if (ending >= 4 && ending <= 6 && payload[4] <= 1 && payload[5] <= 1) {
        outcome.Answered = true;
        outcome.Answer = TCDHelperAnswer{ending, payload[4] == 1, payload[5] == 1};
      }
      break;
    }
  }
  close(fd);
  return outcome;
}

}  // namespace

void SetHelperAvailable(bool available) { helperAvailable.store(available); }

void InstallHelperLink() {
  // Static: the link must outlive every thread that may still fault.
  class TLink : public ICDHelperLink {
   public:
    bool Available() const override { return helperAvailable.load(); }
    TCDHelperOutcome Present(TICDException& exception, int showMode) override {
      return PresentInHelper(exception, showMode);
    }
    TCDHelperOutcome PresentSafely(const TCDSafeExceptionView& exception, std::span<const TCDFieldView> header,
                                   std::span<const TCDFieldView> sections) override {
      return PresentInHelperSafely(exception, header, sections);
    }
  };
  static TLink link;
  SetCDHelperLink(&link);
}
