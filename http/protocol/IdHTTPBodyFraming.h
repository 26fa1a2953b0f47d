// How the body of a response is delimited, decided once from its head: by a
// length, in chunks, or until the server closes the connection.
//
// The rules are strict on purpose. A length or a chunk size that is not a
// plain number is refused instead of guessed at, because a guessed frame
// would hand out a wrong or partial body as if it were the whole one. Every
// refusal raises EIdHTTPMalformedResponse with a message that says what was
// wrong; none of these functions reads from a connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "http/protocol/IdHeaderList.h"

enum TIdHTTPBodyKind : uint8_t { bkLength, bkChunked, bkUntilClose };

struct TIdHTTPBodyFraming {
  TIdHTTPBodyKind Kind = bkUntilClose;
  int64_t Length = 0;  // for bkLength: the exact byte count

  // From the head's lines: chunked when the last transfer coding named by
  // the "Transfer-Encoding" lines is "chunked" (matched ignoring case). A
  // coding other than "chunked" or "identity" (gzip, deflate, ...) raises,
  // naming it: its bytes are not the body. "Transfer-Encoding" without
  // chunking at the end means until close, whatever a length says. Without
  // one, the "Content-Length": one or more lines, each a decimal number or a
  // comma list of them, all the same value within 64 bits (a negative,
  // overflowing or non-numeric value, or two that differ, raises). Without
  // either, until close.
  static TIdHTTPBodyFraming FromHeaders(const TIdHeaderList& headers);
};

// The size a chunk-size line announces: 1 to 16 hexadecimal digits within the
// signed 64-bit range, with blanks around them and a ";" extension allowed
// ("1a", " 1A ", "1a;name=value"). Anything else raises: an empty line, "zz",
// "-5", "0x5", seventeen digits.
int64_t ParseChunkSizeLine(std::string_view line);

// A chunk that lies whole at the start of some received bytes: its size
// line, its data and the line break after the data.
struct TIdHTTPChunk {
  int64_t Size = 0;
  std::size_t DataStart = 0;  // where the data begins, just after the size line
  std::size_t Length = 0;     // every byte of the chunk, through the line after its data
  bool Terminated = false;    // the line after the data is empty, as it must be
};

// The chunk at the start of bytes when it is all there, its lines ending in
// LF (a CR before it dropped) and none longer than maxLine (0 or less: no
// limit); nothing when more must be read first or a line is too long, which
// a reader then takes the slow way. A last chunk (size 0) ends with its size
// line. Raises as ParseChunkSizeLine does for a size line that is complete
// but invalid.
std::optional<TIdHTTPChunk> FindWholeChunk(std::string_view bytes, int32_t maxLine);

// Peer text fit for an error message: at most 40 characters, every byte
// outside printable ASCII written as \xHH, in double quotes.
std::string QuotedPeerText(std::string_view text);
