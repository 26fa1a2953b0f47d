#include "http/exchange/IdHTTPBodyReader.h"

#include <optional>
#include <string_view>

#include "http/IdException.h"
#include "runtime/SysUtils.h"

using namespace IdHTTPStrings;

std::string ReadResponseLine(TIdIOHandler& io) {
  std::string line = io.ReadLine();
  if (io.LineTimedOut()) throw EIdReadTimeout(IdIOHandlerStrings::RSReadTimeout);
  return line;
}

std::unique_ptr<TIdHTTPBodyReader> TIdHTTPBodyReader::For(const TIdHTTPBodyFraming& framing, TIdIOHandler& io,
                                                          int32_t trailerLineLimit) {
  switch (framing.Kind) {
    case bkLength:
      return std::make_unique<TIdHTTPLengthBodyReader>(io, framing.Length);
    case bkChunked:
      return std::make_unique<TIdHTTPChunkedBodyReader>(io, trailerLineLimit);
    case bkUntilClose:
      break;
  }
  return std::make_unique<TIdHTTPUntilCloseBodyReader>(io);
}

void TIdHTTPLengthBodyReader::ReadInto(TStream& stream) {
  const int64_t start = stream.Position();
  try {
    io_.ReadIntoStream(stream, length_);
  } catch (const EIdConnClosedGracefully&) {
    throw EIdHTTPMalformedResponse(
        Format(RSHTTPBodyCutShort, static_cast<long long>(stream.Position() - start), static_cast<long long>(length_)));
  }
}

void TIdHTTPUntilCloseBodyReader::ReadInto(TStream& stream) { io_.ReadIntoStream(stream, -1, true); }

void TIdHTTPChunkedBodyReader::ReadInto(TStream& stream) {
  const int64_t start = stream.Position();
  try {
    for (;;) {
      ReadWholeChunks(stream);
      // A chunk still arriving, a line too long to be taken whole, or the last chunk.
      const int64_t size = ParseChunkSizeLine(ReadResponseLine(io_));
      if (size == 0) break;
      io_.ReadIntoStream(stream, size);
      if (!ReadResponseLine(io_).empty()) throw EIdHTTPMalformedResponse(RSHTTPChunkNotTerminated);
    }
    // Trailer lines up to the empty line that ends the body; none is used,
    // but all must be read so that the next answer starts where it should.
    for (int lines = 0; !ReadResponseLine(io_).empty();)
      if (++lines > trailerLineLimit_)
        throw EIdHTTPMalformedResponse(Format(RSHTTPTooManyTrailerLines, trailerLineLimit_));
  } catch (const EIdConnClosedGracefully&) {
    throw EIdHTTPMalformedResponse(
        Format(RSHTTPChunkedBodyCutShort, static_cast<long long>(stream.Position() - start)));
  }
}

void TIdHTTPChunkedBodyReader::ReadWholeChunks(TStream& stream) {
  TIdBuffer& received = *io_.PendingInput();
  // The chunks taken are dropped from the queue together at the end, outside
  // any chunk's progress count, as the reads of their lines are.
  std::size_t taken = 0;
  struct DropTaken {
    TIdBuffer& received;
    std::size_t& taken;
    ~DropTaken() { received.Discard(static_cast<int32_t>(taken)); }
  } drop{received, taken};
  bool wrote = false;
  for (;;) {
    const std::string_view rest(reinterpret_cast<const char*>(received.Data()) + taken, received.Size() - taken);
    const std::optional<TIdHTTPChunk> chunk = FindWholeChunk(rest, io_.MaxLineLength);
    if (!chunk || chunk->Size == 0) break;
    // Counted as a read of the chunk's data alone, as ReadIntoStream counts it.
    io_.StartWorkCount(wmRead, chunk->Size);
    struct FinishCount {
      TIdIOHandler& io;
      ~FinishCount() { io.FinishWorkCount(wmRead); }
    } finish{io_};
    stream.WriteBuffer(rest.data() + chunk->DataStart, chunk->Size);
    io_.AddWorkCount(wmRead, chunk->Size);
    wrote = true;
    if (!chunk->Terminated) throw EIdHTTPMalformedResponse(RSHTTPChunkNotTerminated);
    taken += chunk->Length;
  }
  // As ReadIntoStream leaves it: a stream that held more ends where the body does so far.
  if (wrote && stream.Size() > stream.Position()) stream.SetSize(stream.Position());
}
