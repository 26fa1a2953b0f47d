// An I/O handler without a socket, for tests and fuzzing: each connection it
// opens plays a scripted answer and records every byte the client sends.
//
// The answer is there once the client has sent something on the connection
// (a server answers a request) and arrives in pieces: each receive brings
// the bytes up to the next cut point, so a test can feed a message cut
// wherever it likes. After the last byte the connection ends as the script
// says: the peer closes, resets, or stays silent, which is a read time-out at
// once whatever the time limit (nothing here ever waits). Connections opened
// after the last answer of the script get that last answer again.
//
// It behaves towards the layers above as the socket stack handler does: a
// close by the peer is noticed when a read finds it or when IsConnected
// looks, reads raise the same exceptions, and a reset is socket error 10054.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "http/IdException.h"
#include "http/transport/IdIOHandler.h"
#include "http/transport/IdStack.h"
#include "runtime/SysUtils.h"
#include "tests/support/NotCovered.h"

struct ScriptedAnswer {
  enum End { kClose, kReset, kSilence };

  ScriptedAnswer(std::string bytes = {}, std::vector<std::size_t> cuts = {}, End end = kClose)
      : bytes(std::move(bytes)), cuts(std::move(cuts)), end(end) {}

  std::string bytes;
  // Where receives end, as offsets into bytes, ascending; none: all at once.
  std::vector<std::size_t> cuts;
  End end = kClose;

  // The answer cut after every `size` bytes.
  static ScriptedAnswer InPieces(std::string bytes, std::size_t size, End end = kClose) {
    ScriptedAnswer answer(std::move(bytes), {}, end);
    for (std::size_t at = size; size > 0 && at < answer.bytes.size(); at += size) answer.cuts.push_back(at);
    return answer;
  }
};

class ScriptedIOHandler : public TIdIOHandler {
 public:
  explicit ScriptedIOHandler(std::vector<ScriptedAnswer> answers) : answers_(std::move(answers)) {
    if (answers_.empty()) answers_.push_back(ScriptedAnswer{});
  }
  explicit ScriptedIOHandler(ScriptedAnswer answer)
      : ScriptedIOHandler(std::vector<ScriptedAnswer>{std::move(answer)}) {}
  const char* ClassName() const override { return "ScriptedIOHandler"; }

  // What the client sent, one text per connection opened.
  const std::vector<std::string>& Sent() const { return sent_; }
  int Connections() const { return static_cast<int>(sent_.size()); }

  PINMARK_NOT_COVERED void OpenHandler() override {
    TIdIOHandler::OpenHandler();
    answer_ = &answers_[std::min(sent_.size(), answers_.size() - 1)];
    delivered_ = 0;
    nextCut_ = 0;
    connected_ = true;
    sent_.emplace_back();
  }

  PINMARK_NOT_COVERED void CloseHandler() override {
    connected_ = false;
    TIdIOHandler::CloseHandler();
  }

  PINMARK_NOT_COVERED bool IsConnected() override {
    try {
      FillPendingInput(false, 0, false);
    } catch (const EIdSocketError&) {
      CloseHandler();
    }
    return (connected_ && TIdIOHandler::IsConnected()) || (pendingInput_ && pendingInput_->Size() > 0);
  }

  PINMARK_NOT_COVERED void CheckDisconnected(bool raise, bool ignoreBuffered) override {
    bool disconnected = !connected_;
    if (peerClosed_) {
      if (connected_) {
        CloseHandler();
        ReportStatus(hsDisconnected);
      }
      disconnected = true;
    }
    if (disconnected && pendingInput_ && (pendingInput_->Size() == 0 || ignoreBuffered) && raise)
      throw EIdConnClosedGracefully(IdIOHandlerStrings::RSConnectionClosedGracefully);
  }

  PINMARK_NOT_COVERED bool WaitReadable(int32_t /*timeout*/) override {
    return Answered() && (Left() > 0 || answer_->end != ScriptedAnswer::kSilence);
  }

  PINMARK_NOT_COVERED int32_t FillPendingInput(bool raise = true, int32_t /*timeout*/ = -1,
                                               bool raiseOnTimeout = true) override {
    CheckDisconnected(raise, false);
    if (!connected_) {
      if (raise) throw EIdException(IdIOHandlerStrings::RSNotConnected);
      return 0;
    }
    if (!WaitReadable(0)) {
      if (raiseOnTimeout) throw EIdReadTimeout(IdIOHandlerStrings::RSReadTimeout);
      return -1;
    }
    if (Left() == 0) {
      if (answer_->end == ScriptedAnswer::kReset) {
        constexpr int32_t kReset = Id_WSAECONNRESET;
        throw EIdSocketError(kReset,
                             Format(IdStackStrings::RSStackError, kReset, IdStackStrings::SocketErrorCodeText(kReset)));
      }
      peerClosed_ = true;
      CheckDisconnected(raise, false);
      return 0;
    }
    std::size_t end = answer_->bytes.size();
    while (nextCut_ < answer_->cuts.size() && answer_->cuts[nextCut_] <= delivered_) ++nextCut_;
    if (nextCut_ < answer_->cuts.size()) end = std::min(end, answer_->cuts[nextCut_]);
    const auto* from = reinterpret_cast<const uint8_t*>(answer_->bytes.data()) + delivered_;
    auto count = static_cast<int32_t>(end - delivered_);
    delivered_ = end;
    if (!Intercept) {
      pendingInput_->AppendBytes(from, static_cast<std::size_t>(count));
      return count;
    }
    TIdBytes piece(from, from + count);
    Intercept->Receive(piece);
    count = static_cast<int32_t>(piece.size());
    pendingInput_->AppendBytes(std::move(piece));
    return count;
  }

 protected:
  PINMARK_NOT_COVERED int32_t WriteDataToTarget(const TIdBytes& bytes, int32_t offset, int32_t count) override {
    if (!connected_) throw EIdClosedSocket(IdIOHandlerStrings::RSStatusDisconnected);
    sent_.back().append(reinterpret_cast<const char*>(bytes.data()) + offset, static_cast<std::size_t>(count));
    return count;
  }

 private:
  PINMARK_NOT_COVERED bool Answered() const { return connected_ && !sent_.empty() && !sent_.back().empty(); }
  PINMARK_NOT_COVERED std::size_t Left() const { return answer_->bytes.size() - delivered_; }

  std::vector<ScriptedAnswer> answers_;
  const ScriptedAnswer* answer_ = nullptr;
  std::size_t delivered_ = 0;
  std::size_t nextCut_ = 0;
  bool connected_ = false;
  std::vector<std::string> sent_;
};
