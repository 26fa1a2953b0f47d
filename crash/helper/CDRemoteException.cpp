#include "crash/helper/CDRemoteException.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "crash/capture/CDEvent.h"
#include "crash/delivery/CDSendReport.h"
#include "crash/capture/CDSafeText.h"
#include "crash/capture/CDThreadRegistry.h"
#include "runtime/SysUtils.h"
#include "runtime/ThreadName.h"

namespace {
// Brings a list to the given fields: fields that went are deleted, the
// others set (only real changes count as changes).
void MatchFields(TICDFields& list, const std::vector<TCDField>& fields) {
  for (const TCDField& old : list.Items()) {
    bool kept = false;
    for (const TCDField& f : fields) kept = kept || SameText(old.Name, f.Name);
    if (!kept) list.Set(old.Name, "");
  }
  for (const TCDField& f : fields) list.Set(f.Name, f.Content);
}
}  // namespace

// ---- TCDRemoteException ----

TCDRemoteException::TCDRemoteException(const TCDHelperException& facts, std::function<bool(TCDAction)> ask)
    : facts_(facts), askActionHandlers_(std::move(ask)) {
  MakeOwnCopy();
  for (const TCDProperty& p : facts_.Settings) {
    switch (p.Kind) {
      case TCDPropKind::Boolean: SetBool(p.Name, p.BoolValue); break;
      case TCDPropKind::Integer: SetInt(p.Name, p.IntValue); break;
      case TCDPropKind::Text: SetStr(p.Name, p.TextValue); break;
      default: break;
    }
  }
}

TCDRemoteException::~TCDRemoteException() {
  // A send still running in background must not mark a gone exception.
  ForgetSendsOf(*this);
  if (progress_) progress_->Close();
}

void TCDRemoteException::UpdateReport(const TCDHelperReport& report) {
  MatchFields(report_.Header, report.Header);
  MatchFields(report_.Sections, report.Sections);
  if (report.Complete) report_.MarkComplete();
}

void TCDRemoteException::PeerGone() {
  // What came is all there will be.
  report_.MarkComplete();
}

void TCDRemoteException::CompleteReport() {
  if (report_.Complete()) return;
  WaitForCompleteReport(progress_.get(), GetPlWaitBox(), [this](const std::function<void()>& pump) {
    while (!report_.WaitComplete(50)) pump();
  });
}

// ---- TCDHelperSession ----

TCDHelperSession::TCDHelperSession(int fd) : fd_(fd) {}

TCDHelperSession::~TCDHelperSession() {
  // Wakes the follower out of its read.
  shutdown(fd_, SHUT_RDWR);
  if (follower_.joinable()) follower_.join();
  close(fd_);
}

bool TCDHelperSession::ReadFrame(TCDRawFrame& frame, int timeoutMs) {
  const int64_t deadline = timeoutMs < 0 ? -1 : CDMonotonicMs() + timeoutMs;
  char buffer[16384];
  while (!reader_.Next(frame)) {
    if (!reader_.Error().empty()) return false;
    int wait = -1;
    if (deadline >= 0) {
      const int64_t left = deadline - CDMonotonicMs();
      if (left <= 0) return false;
      wait = static_cast<int>(left);
    }
    pollfd p{fd_, POLLIN, 0};
    const int ready = poll(&p, 1, wait);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    const ssize_t n = read(fd_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    reader_.Append(buffer, static_cast<std::size_t>(n));
  }
  return true;
}

bool TCDHelperSession::Open(std::string& error, int timeoutMs) {
  TCDRawFrame frame;
  if (!ReadFrame(frame, timeoutMs) || frame.Kind != static_cast<uint32_t>(TCDHelperFrame::Hello) ||
      !DecodeHello(frame.Payload)) {
    error = reader_.Error().empty() ? "no greeting from the crashed process" : reader_.Error();
    return false;
  }
  if (!ReadFrame(frame, timeoutMs) || frame.Kind != static_cast<uint32_t>(TCDHelperFrame::Exception)) {
    error = "no exception from the crashed process";
    return false;
  }
  std::optional<TCDHelperException> facts = DecodeException(frame.Payload);
  if (!facts) {
    error = "a malformed exception from the crashed process";
    return false;
  }
  exception_ = std::make_unique<TCDRemoteException>(*facts, [this](TCDAction a) { return AskActionHandlers(a); });
  follower_ = std::thread([this] { Follow(); });
  return true;
}

void TCDHelperSession::Follow() {
  NameThreadForDebugging("-");
  TCDThreadRegistry::Instance().MarkOwn(CurrentThreadId());
  TCDRawFrame frame;
  while (ReadFrame(frame, -1)) {
    if (frame.Kind == static_cast<uint32_t>(TCDHelperFrame::Report)) {
      if (std::optional<TCDHelperReport> report = DecodeReport(frame.Payload)) exception_->UpdateReport(*report);
    } else if (frame.Kind == static_cast<uint32_t>(TCDHelperFrame::ActionResult)) {
      std::optional<bool> handled = DecodeActionResult(frame.Payload);
      std::lock_guard<std::mutex> guard(lock_);
      actionResult_ = handled.value_or(false);
      changed_.notify_all();
    }
  }
  exception_->PeerGone();
  std::lock_guard<std::mutex> guard(lock_);
  gone_ = true;
  changed_.notify_all();
}

bool TCDHelperSession::Send(const std::string& bytes) {
  std::lock_guard<std::mutex> guard(sendLock_);
  return CDSendAll(fd_, bytes.data(), bytes.size());
}

bool TCDHelperSession::AskActionHandlers(TCDAction action) {
  uint8_t bytes[16];
  TCDWireWriter w(bytes, sizeof bytes);
  EncodeAction(w, static_cast<int32_t>(action));
  std::unique_lock<std::mutex> guard(lock_);
  actionResult_.reset();
  guard.unlock();
  if (!Send(std::string(reinterpret_cast<const char*>(bytes), w.Size()))) return false;
  guard.lock();
  changed_.wait(guard, [this] { return actionResult_.has_value() || gone_; });
  return actionResult_.value_or(false);
}

bool TCDHelperSession::Answer(TCDEnding ending) {
  uint8_t bytes[32];
  TCDWireWriter w(bytes, sizeof bytes);
  // A report the box saved, wherever it went, is not saved again by the
  // crashed process.
  EncodeAnswer(w, TCDHelperAnswer{static_cast<int32_t>(ending), exception_->Sent(),
                                  exception_->Saved() || exception_->AutoSaved()});
  return Send(std::string(reinterpret_cast<const char*>(bytes), w.Size()));
}

bool TCDHelperSession::PeerGone() {
  std::lock_guard<std::mutex> guard(lock_);
  return gone_;
}
