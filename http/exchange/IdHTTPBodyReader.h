// Reading one response body off a connection, as its head framed it: by a
// length, in chunks, or until the server closes. The exchange decides the
// framing once from the head and chooses the reader for it (For); the
// reader then knows nothing of requests, redirects or refusals, only of the
// I/O handler it reads from and the stream it fills.
//
// A reader never passes a broken body off as a whole one: a body cut short
// by a close, a chunk that is malformed or not terminated, a trailer longer
// than its limit each raise EIdHTTPMalformedResponse saying what was wrong,
// and a read time-out raises EIdReadTimeout. What was written to the stream
// before that stays there for the caller to cut back. A stream that refuses
// a write (a bounded one that is full) stops the read where it refused, with
// its own exception, and the rest of the body is left unread.
//
// Everything blocks the calling thread, as the handler's reads do.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "http/protocol/IdHTTPBodyFraming.h"
#include "http/transport/IdIOHandler.h"
#include "runtime/Stream.h"

namespace IdHTTPStrings {
inline constexpr const char* RSHTTPTooManyTrailerLines = "Chunked body has more than %d trailer lines.";
inline constexpr const char* RSHTTPBodyCutShort = "Connection closed after %lld of %lld body bytes.";
inline constexpr const char* RSHTTPChunkedBodyCutShort = "Connection closed inside a chunked body after %lld bytes.";
inline constexpr const char* RSHTTPChunkNotTerminated = "Chunk data is not followed by a line break.";
}  // namespace IdHTTPStrings

// A line of a response (a head line, a chunk size, a trailer line); a read
// time-out raises EIdReadTimeout instead of passing for an empty line.
std::string ReadResponseLine(TIdIOHandler& io);

class TIdHTTPBodyReader {
 public:
  virtual ~TIdHTTPBodyReader() = default;
  TIdHTTPBodyReader(const TIdHTTPBodyReader&) = delete;
  TIdHTTPBodyReader& operator=(const TIdHTTPBodyReader&) = delete;

  // The reader of a body framed so, over io (which must outlive it).
  // trailerLineLimit: the most trailer lines a chunked body may end with.
  static std::unique_ptr<TIdHTTPBodyReader> For(const TIdHTTPBodyFraming& framing, TIdIOHandler& io,
                                                int32_t trailerLineLimit);

  // Reads the whole body into the stream at its position; a stream that
  // held more ends where the body does.
  virtual void ReadInto(TStream& stream) = 0;

 protected:
  explicit TIdHTTPBodyReader(TIdIOHandler& io) : io_(io) {}

  TIdIOHandler& io_;
};

// Exactly the announced length; a close before its end raises.
class TIdHTTPLengthBodyReader : public TIdHTTPBodyReader {
 public:
  TIdHTTPLengthBodyReader(TIdIOHandler& io, int64_t length) : TIdHTTPBodyReader(io), length_(length) {}
  void ReadInto(TStream& stream) override;

 private:
  int64_t length_;
};

// Chunk after chunk up to the last one, then the trailer lines up to the
// empty line, so that the next answer starts where it should. Chunks that
// have arrived whole are taken straight from the received bytes; a chunk
// still arriving is read line by line.
class TIdHTTPChunkedBodyReader : public TIdHTTPBodyReader {
 public:
  TIdHTTPChunkedBodyReader(TIdIOHandler& io, int32_t trailerLineLimit)
      : TIdHTTPBodyReader(io), trailerLineLimit_(trailerLineLimit) {}
  void ReadInto(TStream& stream) override;

 private:
  // Reads every chunk that has arrived whole, with its lines; stops before
  // the last chunk and before one that is not all there yet.
  void ReadWholeChunks(TStream& stream);

  int32_t trailerLineLimit_;
};

// Everything the server sends until it closes the connection.
class TIdHTTPUntilCloseBodyReader : public TIdHTTPBodyReader {
 public:
  explicit TIdHTTPUntilCloseBodyReader(TIdIOHandler& io) : TIdHTTPBodyReader(io) {}
  void ReadInto(TStream& stream) override;
};
