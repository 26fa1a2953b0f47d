// Feeds arbitrary peer bytes, in arbitrary receive sizes, to the handler's
// line, block and stream readers. Whatever the peer sends, a read must end in
// a result or one of the handler's own exceptions, and memory must stay
// bounded by what was really received.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <string>

#include "http/transport/IdIOHandler.h"

namespace {

// A handler whose connection is the fuzz input: each receive delivers the next
// few bytes, and the end of the input is the peer closing.
class TFuzzIOHandler : public TIdIOHandler {
 public:
  explicit TFuzzIOHandler(FuzzedDataProvider& in) : in_(in) {}

  void Open() {
    OpenHandler();
    socketOpen_ = true;
  }
  void CloseHandler() override {
    socketOpen_ = false;
    TIdIOHandler::CloseHandler();
  }

  int32_t FillPendingInput(bool raise, int32_t timeout, bool raiseOnTimeout) override {
    CheckDisconnected(raise, false);
    if (!socketOpen_) {
      if (raise) throw EIdException(IdIOHandlerStrings::RSNotConnected);
      return 0;
    }
    // A zero-length "receive" that is not the end stands for a time-out.
    if (timeout >= 0 && in_.remaining_bytes() > 0 && in_.ConsumeIntegralInRange<int>(0, 15) == 0) {
      if (raiseOnTimeout) throw EIdReadTimeout(IdIOHandlerStrings::RSReadTimeout);
      return -1;
    }
    std::string bytes = in_.ConsumeBytesAsString(in_.ConsumeIntegralInRange<std::size_t>(1, 70000));
    auto count = static_cast<int32_t>(bytes.size());
    if (count > 0) pendingInput_->AppendBytes(ToBytes(bytes));
    peerClosed_ = count == 0;
    CheckDisconnected(raise, false);
    return count;
  }

  void CheckDisconnected(bool raise, bool ignoreBuffered) override {
    bool disconnected = peerClosed_ || !socketOpen_;
    if (peerClosed_ && socketOpen_) CloseHandler();
    if (disconnected && pendingInput_ && (pendingInput_->Size() == 0 || ignoreBuffered) && raise)
      throw EIdConnClosedGracefully(IdIOHandlerStrings::RSConnectionClosedGracefully);
  }

 protected:
  int32_t WriteDataToTarget(const TIdBytes&, int32_t, int32_t count) override { return count; }

 private:
  FuzzedDataProvider& in_;
  bool socketOpen_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  TFuzzIOHandler io(in);
  io.MaxLineLength = in.ConsumeIntegralInRange<int32_t>(0, 20000);
  io.MaxLineAction = in.ConsumeBool() ? maSplit : maException;
  io.Use64BitLengths = in.ConsumeBool();
  io.RecvBufferSize = in.ConsumeIntegralInRange<int32_t>(1, 40000);
  const std::string terminators[] = {"\n", "\r\n", "\r\n\r\n", ""};
  io.Open();
  for (int reads = 0; reads < 64 && in.remaining_bytes() > 0; ++reads) {
    try {
      switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0: {
          const std::string& term = terminators[in.ConsumeIntegralInRange<int>(0, 3)];
          int32_t timeout = in.ConsumeBool() ? -1 : 1000;
          std::string line = io.ReadLine(term, timeout);
          if (io.MaxLineLength > 0 && line.size() > static_cast<std::size_t>(io.MaxLineLength) + 1) std::abort();
          if (!io.LineTimedOut() && !io.LineWasSplit() && (term == "\n" || term.empty()) &&
              line.find('\n') != std::string::npos)
            std::abort();
          break;
        }
        case 1: {
          TIdBytes block;
          io.ReadBlock(block, in.ConsumeIntegralInRange<int32_t>(-1, 5000));
          break;
        }
        case 2: {
          TStringStream stream;
          int64_t count = in.ConsumeBool() ? -1 : in.ConsumeIntegral<int64_t>();
          io.ReadIntoStream(stream, count, in.ConsumeBool());
          // Never larger than what the peer really sent.
          if (stream.Size() > static_cast<int64_t>(size)) std::abort();
          break;
        }
        case 3: {
          if (io.IsConnected() && io.PendingInput()->Size() == 0 && !io.IsOpen()) std::abort();
          break;
        }
      }
    } catch (const EIdException&) {
      // Every failure a peer can cause is one of the handler's own.
    }
  }
  if (io.PendingInput() && io.PendingInput()->Size() > static_cast<int32_t>(size)) std::abort();
  return 0;
}
