#include "http/transport/IdIOHandler.h"

#include <algorithm>
#include <limits>

#include "runtime/SysUtils.h"

using namespace IdIOHandlerStrings;

namespace {

// A count announced by the peer is not trusted for memory: the stream is
// pre-sized by at most this much and grows as the bytes really arrive.
constexpr int64_t kMaxPreSize = 1 << 20;

}  // namespace

TIdDeadline TIdDeadline::After(int32_t limitMs) {
  return TIdDeadline{std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs), limitMs};
}

TIdIOHandler::TIdIOHandler() = default;

int32_t TIdIOHandler::WaitWithinDeadline(int32_t timeout, bool& bounded) const {
  bounded = false;
  if (!Deadline || timeout == 0) return timeout;
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(Deadline->At - std::chrono::steady_clock::now()).count();
  if (left <= 0) RaiseDeadlineExceeded();
  if (timeout < 0 || timeout >= left) {
    bounded = true;
    return static_cast<int32_t>(std::min<int64_t>(left, std::numeric_limits<int32_t>::max()));
  }
  return timeout;
}

bool TIdIOHandler::DeadlinePassed() const { return Deadline && std::chrono::steady_clock::now() >= Deadline->At; }

void TIdIOHandler::RaiseDeadlineExceeded() const {
  const int32_t ms = Deadline ? Deadline->LimitMs : 0;
  const std::string limit = ms % 1000 == 0 ? IntToStr(ms / 1000) + " s" : Format("%d.%03d s", ms / 1000, ms % 1000);
  throw EIdDeadlineExceeded(Format(RSDeadlineExceeded, limit.c_str()));
}

TIdIOHandler::~TIdIOHandler() { isOpen_ = false; }

std::string TIdIOHandler::Destination() const {
  if (Port > 0 && Port != DefaultPort) return Host + ":" + IntToStr(Port);
  return Host;
}

void TIdIOHandler::SetDestination(const std::string& value) {
  std::size_t colon = value.find(':');
  if (colon == std::string::npos) return;
  Host = value.substr(0, colon);
  std::string port = Trim(value.substr(colon + 1, 255));
  Port = StrToIntDef(port, DefaultPort);
}

void TIdIOHandler::OpenHandler() {
  isOpen_ = false;
  peerClosed_ = false;
  receiveArea_ = std::make_unique<TIdBuffer>();
  pendingInput_ = std::make_unique<TIdBuffer>([this](TIdBuffer&, int32_t count) { AddWorkCount(wmRead, count); });
  isOpen_ = true;
}

void TIdIOHandler::CloseHandler() {
  if (Intercept) Intercept->Disconnect();
  isOpen_ = false;
}

bool TIdIOHandler::IsConnected() {
  CheckDisconnected(false, false);
  bool empty = !pendingInput_ || pendingInput_->Size() == 0;
  if ((peerClosed_ || !pendingInput_) && empty) return false;
  return isOpen_;
}

void TIdIOHandler::RaiseMaxLineLength() { throw EIdReadLnMaxLineLengthExceeded(RSReadLnMaxLineLengthExceeded); }

std::string TIdIOHandler::ReadLine(const std::string& terminatorIn, int32_t timeout, int32_t maxLength) {
  if (maxLength < 0) maxLength = MaxLineLength;
  const std::string terminator = terminatorIn.empty() ? std::string("\n") : terminatorIn;
  const auto termLength = static_cast<int32_t>(std::min<std::size_t>(terminator.size(), INT32_MAX / 2));
  lineWasSplit_ = false;
  lineTimedOut_ = false;
  int32_t found = -1;
  int32_t searched = 0;
  // Read only once there is something to wait for: a line already queued
  // needs no clock, and a body of many tiny chunks reads two lines per chunk.
  uint32_t started = 0;
  bool clockStarted = false;
  auto tooLong = [&]() -> std::string {
    if (MaxLineAction == maException) RaiseMaxLineLength();
    lineWasSplit_ = true;
    return pendingInput_->ExtractText(maxLength);
  };
  do {
    int32_t queued = pendingInput_ ? pendingInput_->Size() : 0;
    if (queued > 0) {
      if (searched < queued) {
        // Step back so that a terminator split across two receives is still found.
        found = pendingInput_->FindText(terminator, std::max(0, searched - (termLength - 1)));
      } else {
        found = -1;
      }
      searched = queued;
    }
    if (maxLength > 0 && found > maxLength) return tooLong();
    if (found == -1) {
      if (maxLength > 0 && searched > maxLength) return tooLong();
      CheckDisconnected(true, true);
      if (timeout >= 0 && !clockStarted) {
        started = GetTickCount();
        clockStarted = true;
      }
      if (FillPendingInput(true, timeout, false) == -1) lineTimedOut_ = true;
      if (!lineTimedOut_ && timeout >= 0 && GetTickCount() - started >= static_cast<uint32_t>(timeout))
        lineTimedOut_ = true;
      if (lineTimedOut_) return {};
    }
  } while (found < 0);
  std::string line = pendingInput_->ExtractText(found + termLength);
  std::size_t length = static_cast<std::size_t>(found);
  if (terminator == "\n" && length > 0 && line[length - 1] == '\r') --length;
  line.resize(length);
  return line;
}

void TIdIOHandler::ReadBlock(TIdBytes& dest, int32_t count, bool append) {
  if (count == -1) {
    FillPendingInput(false, ReadTimeout, false);
    CheckDisconnected(true, true);
    if (pendingInput_) pendingInput_->ExtractBytes(dest, -1, append);
    return;
  }
  if (count < 1) return;
  if (!pendingInput_) throw EIdException(RSNotConnected);
  while (pendingInput_->Size() < count) {
    FillPendingInput(false, -1, true);
    CheckDisconnected(true, true);
  }
  pendingInput_->ExtractBytes(dest, count, append);
}

int32_t TIdIOHandler::ReadInt32() {
  TIdBytes b;
  ReadBlock(b, 4);
  return static_cast<int32_t>((uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3]);
}

int64_t TIdIOHandler::ReadInt64() {
  TIdBytes b;
  ReadBlock(b, 8);
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | b[i];
  return static_cast<int64_t>(v);
}

void TIdIOHandler::ReadIntoStream(TStream& stream, int64_t count, bool untilDisconnect) {
  if (!pendingInput_) throw EIdException(RSNotConnected);
  if (count == -1 && !untilDisconnect) count = Use64BitLengths ? ReadInt64() : ReadInt32();
  if (count < 0) count = 0;
  if (!untilDisconnect && count > 0) {
    int64_t wanted = stream.Position() + std::min(count, kMaxPreSize);
    if (stream.Size() < wanted) stream.SetSize(wanted);
  }
  int64_t remaining = untilDisconnect ? std::numeric_limits<int64_t>::max() : count;
  StartWorkCount(wmRead, untilDisconnect ? 0 : count);
  try {
    if (pendingInput_ && pendingInput_->Size() > 0 && remaining > 0) {
      auto take = static_cast<int32_t>(std::min<int64_t>(remaining, pendingInput_->Size()));
      pendingInput_->MoveToStream(stream, take);
      remaining -= take;
    }
    // Each receive is asked for directly rather than through IsConnected,
    // which takes a reset connection for a closed one: a reset must fail the
    // read even where a close ends it.
    while (remaining > 0) {
      if (pendingInput_->Size() == 0) {
        try {
          FillPendingInput(false, -1, true);
          CheckDisconnected(true, true);
        } catch (const EIdConnClosedGracefully&) {
          if (untilDisconnect) break;
          throw;
        }
      }
      // Each receive goes on at once: the queue is empty again before the next
      // one, so the buffer takes the received area over instead of copying it.
      auto take = static_cast<int32_t>(std::min<int64_t>(remaining, pendingInput_->Size()));
      pendingInput_->MoveToStream(stream, take);
      remaining -= take;
    }
  } catch (...) {
    FinishWorkCount(wmRead);
    if (stream.Size() > stream.Position()) stream.SetSize(stream.Position());
    throw;
  }
  FinishWorkCount(wmRead);
  if (stream.Size() > stream.Position()) stream.SetSize(stream.Position());
}

void TIdIOHandler::WriteByteArray(const TIdBytes& bytes) {
  if (bytes.empty()) return;
  if (writeQueue_) {
    writeQueue_->AppendBytes(bytes.data(), bytes.size());
    if (flushThreshold_ > 0 && writeQueue_->Size() >= flushThreshold_) FlushWriteBuffer(flushThreshold_);
  } else {
    SendDirect(bytes);
  }
}

void TIdIOHandler::WriteText(const std::string& text) {
  if (!text.empty()) WriteByteArray(ToBytes(text));
}

void TIdIOHandler::WriteLine(const std::string& text) { WriteText(text + "\r\n"); }

void TIdIOHandler::WriteFromStream(TStream& stream, int64_t size, bool writeSize) {
  if (size < 0) {
    size = std::max<int64_t>(0, stream.Size() - stream.Position());
  } else if (size == 0) {
    stream.SetPosition(0);
    size = stream.Size();
  }
  if (size >= (int64_t(1) << 31) && !Use64BitLengths) throw EIdIoHandlerRequiresLargeStream("");
  if (writeSize) {
    TIdBytes head;
    int bytes = Use64BitLengths ? 8 : 4;
    for (int i = bytes - 1; i >= 0; --i) head.push_back(static_cast<uint8_t>(static_cast<uint64_t>(size) >> (8 * i)));
    WriteByteArray(head);
  }
  StartWorkCount(wmWrite, size);
  try {
    TIdBytes chunk;
    while (size > 0) {
      auto n = std::min<int64_t>(std::max(SendBufferSize, 1), size);
      chunk.resize(static_cast<std::size_t>(n));
      int64_t got = stream.Read(chunk.data(), n);
      if (got <= 0) throw EIdNoDataToRead(RSNoDataToRead);
      chunk.resize(static_cast<std::size_t>(got));
      WriteByteArray(chunk);
      size -= got;
    }
  } catch (...) {
    FinishWorkCount(wmWrite);
    throw;
  }
  FinishWorkCount(wmWrite);
}

void TIdIOHandler::SendDirect(const TIdBytes& bytesIn) {
  CheckDisconnected(true, true);
  TIdBytes intercepted;
  const TIdBytes* bytes = &bytesIn;
  if (Intercept) {
    intercepted = bytesIn;
    Intercept->Send(intercepted);
    bytes = &intercepted;
  }
  auto length = static_cast<int32_t>(std::min<std::size_t>(bytes->size(), INT32_MAX));
  int32_t offset = 0;
  while (offset < length) {
    int32_t sent = WriteDataToTarget(*bytes, offset, length - offset);
    peerClosed_ = sent == 0;
    CheckDisconnected(true, false);
    AddWorkCount(wmWrite, sent);
    offset += sent;
  }
}

void TIdIOHandler::BeginWriteBuffering(int32_t threshold) {
  if (writeQueue_) {
    writeQueue_->EmptyBuffer();
  } else {
    writeQueue_ = std::make_unique<TIdBuffer>();
  }
  flushThreshold_ = threshold;
}

void TIdIOHandler::FlushWriteBuffer(int32_t count) {
  if (!writeQueue_ || writeQueue_->Size() == 0) return;
  if (count < 0 || count > writeQueue_->Size()) count = writeQueue_->Size();
  TIdBytes bytes;
  writeQueue_->ExtractBytes(bytes, count, true);
  SendDirect(bytes);
}

void TIdIOHandler::EndWriteBuffering() {
  struct Drop {
    TIdIOHandler& self;
    ~Drop() { self.writeQueue_.reset(); }
  } drop{*this};
  FlushWriteBuffer(-1);
}

void TIdIOHandler::ClearWriteBuffer() {
  if (writeQueue_) writeQueue_->EmptyBuffer();
}

void TIdIOHandler::CancelWriteBuffering() {
  ClearWriteBuffer();
  EndWriteBuffering();
}
