// Turns one connection into a byte stream: line and block reads with time-outs,
// reads into streams, direct and queued writes, progress and status events.
//
// Every read is built on FillPendingInput (wait for readability, receive once,
// queue the bytes in PendingInput), which the concrete handler supplies.
// Everything blocks the calling thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "http/IdGlobal.h"
#include "http/transport/IdBuffer.h"
#include "http/transport/IdComponent.h"
#include "runtime/Stream.h"

enum TIdMaxLineAction { maException, maSplit };

namespace IdIOHandlerStrings {
inline constexpr const char* RSNotConnected = "Not Connected";
inline constexpr const char* RSReadTimeout = "Read Timeout";
inline constexpr const char* RSReadLnMaxLineLengthExceeded = "Max line length exceeded.";
inline constexpr const char* RSStatusDisconnected = "Disconnected.";
inline constexpr const char* RSConnectionClosedGracefully = "Connection Closed Gracefully.";
inline constexpr const char* RSNoDataToRead = "No data to read.";
inline constexpr const char* RSConnectTimeout = "Connect timed out.";
inline constexpr const char* RSDeadlineExceeded = "The exchange did not end within %s.";
}  // namespace IdIOHandlerStrings

// Hook points for a component that sees (and may rewrite) what passes through
// a connection. The default hooks do nothing.
class TIdConnectionIntercept {
 public:
  virtual ~TIdConnectionIntercept() = default;
  virtual void Connect(TIdComponent& /*connection*/) {}
  virtual void Disconnect() {}
  virtual void Receive(TIdBytes& /*bytes*/) {}
  virtual void Send(TIdBytes& /*bytes*/) {}
};

// The moment by which everything on a connection must have ended, and the
// limit it was set from (for the message).
struct TIdDeadline {
  std::chrono::steady_clock::time_point At;
  int32_t LimitMs = 0;

  // LimitMs from now.
  static TIdDeadline After(int32_t limitMs);
};

class TIdIOHandler : public TIdComponent {
 public:
  TIdIOHandler();
  ~TIdIOHandler() override;
  const char* ClassName() const override { return "TIdIOHandler"; }

  std::string Host;
  int32_t Port = 0;
  int32_t DefaultPort = 0;
  TIdConnectionIntercept* Intercept = nullptr;
  int32_t MaxLineLength = 16384;
  TIdMaxLineAction MaxLineAction = maException;
  int32_t RecvBufferSize = 32768;
  int32_t SendBufferSize = 32768;
  // Milliseconds; -1 and 0 wait without limit.
  int32_t ReadTimeout = -1;
  int32_t ConnectTimeout = 0;
  // Lets streams of 2^31 bytes and more be written, and makes announced sizes 8 bytes.
  bool Use64BitLengths = false;
  int32_t MaxCapturedLines = -1;
  // Bounds every wait of the connection together: connecting, the TLS
  // handshake, each write and each read. Once it has passed, a wait raises
  // EIdDeadlineExceeded (a poll that does not wait still answers). None by
  // default: then only the time-outs above apply, each to one wait.
  std::optional<TIdDeadline> Deadline;

  // timeout (ms; negative: no limit, 0: no wait) shortened to what is left
  // before Deadline; bounded tells whether the deadline is what set it.
  // Raises EIdDeadlineExceeded when a wait is asked for and nothing is left.
  int32_t WaitWithinDeadline(int32_t timeout, bool& bounded) const;
  [[noreturn]] void RaiseDeadlineExceeded() const;
  bool DeadlinePassed() const;

  // "host:port", the port only when above 0 and not DefaultPort.
  std::string Destination() const;
  // Splits "host:port" at the first colon; text without a colon changes nothing.
  void SetDestination(const std::string& value);

  // Received, unread bytes; nullptr until the first open. Survives a close.
  TIdBuffer* PendingInput() const { return pendingInput_.get(); }
  TIdBuffer* WriteQueue() const { return writeQueue_.get(); }
  int32_t FlushThreshold() const { return flushThreshold_; }
  bool PeerClosed() const { return peerClosed_; }
  bool IsOpen() const { return isOpen_; }
  bool LineWasSplit() const { return lineWasSplit_; }
  bool LineTimedOut() const { return lineTimedOut_; }
  // True once the handler has been opened at least once.
  bool Opened() const { return receiveArea_ != nullptr; }

  // Prepares for a new connection; buffered data of an earlier one is discarded.
  virtual void OpenHandler();
  virtual void CloseHandler();
  virtual bool IsConnected();
  // Notices a peer close (closing our side) and, with raise, raises
  // EIdConnClosedGracefully once nothing is left to read (or at once with ignoreBuffered).
  virtual void CheckDisconnected(bool raise, bool ignoreBuffered) = 0;
  // Waits for readability and receives once. Timeout -1 means ReadTimeout, 0
  // polls. Returns the byte count, 0, or -1 for a time-out without raise.
  virtual int32_t FillPendingInput(bool raise = true, int32_t timeout = -1, bool raiseOnTimeout = true) = 0;
  virtual bool WaitReadable(int32_t /*timeout*/) { return false; }

  // A line up to the terminator (LF by default, a CR before it dropped). A
  // time-out returns empty text with LineTimedOut set; a line longer than
  // maxLength (-1: MaxLineLength) raises or, with maSplit, is returned in parts.
  std::string ReadLine(const std::string& terminator = "\n", int32_t timeout = -1, int32_t maxLength = -1);
  // count bytes (waiting as needed), or with -1 whatever one receive brings.
  void ReadBlock(TIdBytes& dest, int32_t count, bool append = false);
  // count bytes into the stream, or everything until the peer closes. The
  // bytes already written stay in the stream when the read fails.
  void ReadIntoStream(TStream& stream, int64_t count = -1, bool untilDisconnect = false);
  // A network-order integer.
  int32_t ReadInt32();
  int64_t ReadInt64();

  void WriteByteArray(const TIdBytes& bytes);
  void WriteText(const std::string& text);
  void WriteLine(const std::string& text = std::string());
  // size < 0: from the position to the end; 0: the whole stream; > 0: that many
  // bytes from the position. With writeSize the size goes first.
  void WriteFromStream(TStream& stream, int64_t size = -1, bool writeSize = false);
  // Sends at once, bypassing the write queue.
  void SendDirect(const TIdBytes& bytes);

  // Queues writes until EndWriteBuffering; threshold > 0 flushes whenever that
  // many bytes are queued (-1 and 0 never flush on size).
  void BeginWriteBuffering(int32_t threshold = -1);
  void FlushWriteBuffer(int32_t count = -1);
  void EndWriteBuffering();
  void ClearWriteBuffer();
  void CancelWriteBuffering();
  bool WriteBufferingActive() const { return writeQueue_ != nullptr; }

 protected:
  // Sends what the connection takes of count bytes from offset; 0 means the peer closed.
  virtual int32_t WriteDataToTarget(const TIdBytes& bytes, int32_t offset, int32_t count) = 0;
  [[noreturn]] void RaiseMaxLineLength();

  std::unique_ptr<TIdBuffer> pendingInput_;
  std::unique_ptr<TIdBuffer> receiveArea_;
  std::unique_ptr<TIdBuffer> writeQueue_;
  int32_t flushThreshold_ = -1;
  bool peerClosed_ = false;
  bool isOpen_ = false;
  bool lineWasSplit_ = false;
  bool lineTimedOut_ = false;
};
