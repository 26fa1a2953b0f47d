#include "http/protocol/IdHTTPBodyFraming.h"

#include <limits>
#include <vector>

#include "http/IdException.h"
#include "runtime/SysUtils.h"

namespace {
constexpr const char* RSHTTPInvalidContentLength = "Invalid Content-Length %s.";
constexpr const char* RSHTTPConflictingContentLength = "Conflicting Content-Length values %s and %s.";
constexpr const char* RSHTTPInvalidChunkSize = "Invalid chunk size line %s.";
constexpr const char* RSHTTPUnsupportedTransferCoding = "Unsupported transfer coding %s.";
constexpr std::size_t kMaxChunkSizeDigits = 16;
constexpr std::size_t kMaxQuoted = 40;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// The comma-separated elements of every line with that name, in order, each
// trimmed; empty elements are kept so that a caller can refuse them.
std::vector<std::string> ListElements(const TIdHeaderList& headers, std::string_view name) {
  std::vector<std::string> elements;
  for (int i = 0; i < headers.Count(); ++i) {
    if (!headers.HasNameText(i, name)) continue;
    const std::string value = headers.ValueAt(i);
    std::string_view rest = value;
    for (;;) {
      std::size_t comma = rest.find(',');
      elements.emplace_back(TrimBlanks(rest.substr(0, comma)));
      if (comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
    }
  }
  return elements;
}

// A coding may carry parameters ("gzip;level=1"); its name ends before them.
std::string_view CodingName(std::string_view coding) { return TrimBlanks(coding.substr(0, coding.find(';'))); }

bool IsChunkedLast(const std::vector<std::string>& codings) {
  for (auto it = codings.rbegin(); it != codings.rend(); ++it) {
    if (it->empty()) continue;  // "chunked, " still ends in chunked
    return SameText(CodingName(*it), "chunked");
  }
  return false;
}

// Only chunking is undone here: a body still compressed by another transfer
// coding must not be handed out as if it were the body itself.
void RefuseUndecodedCodings(const std::vector<std::string>& codings) {
  for (const std::string& coding : codings) {
    const std::string_view name = CodingName(coding);
    if (name.empty() || SameText(name, "chunked") || SameText(name, "identity")) continue;
    throw EIdHTTPMalformedResponse(Format(RSHTTPUnsupportedTransferCoding, QuotedPeerText(name).c_str()));
  }
}

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

int HexValue(char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; }

// The end of the line at the start of bytes (the position of its LF), or
// npos when it has not all arrived or is longer than maxLine.
std::size_t WholeLineEnd(std::string_view bytes, int32_t maxLine) {
  const std::size_t lf = bytes.find('\n');
  if (lf == std::string_view::npos || (maxLine > 0 && lf > static_cast<std::size_t>(maxLine)))
    return std::string_view::npos;
  return lf;
}
}  // namespace

TIdHTTPBodyFraming TIdHTTPBodyFraming::FromHeaders(const TIdHeaderList& headers) {
  TIdHTTPBodyFraming framing;
  if (headers.IndexOfHeader("Transfer-Encoding") >= 0) {
    const std::vector<std::string> codings = ListElements(headers, "Transfer-Encoding");
    RefuseUndecodedCodings(codings);
    framing.Kind = IsChunkedLast(codings) ? bkChunked : bkUntilClose;
    return framing;
  }
  const std::vector<std::string> lengths = ListElements(headers, "Content-Length");
  if (lengths.empty()) return framing;
  for (const std::string& text : lengths) {
    int64_t value = -1;
    // Digits only: no sign, no blanks inside, no hexadecimal prefix.
    const bool digits = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
    if (!digits || !TryDecimalToInt64(text, value))
      throw EIdHTTPMalformedResponse(Format(RSHTTPInvalidContentLength, QuotedPeerText(text).c_str()));
    if (framing.Kind == bkLength && value != framing.Length)
      throw EIdHTTPMalformedResponse(Format(RSHTTPConflictingContentLength, IntToStr(framing.Length).c_str(),
                                            IntToStr(value).c_str()));
    framing.Kind = bkLength;
    framing.Length = value;
  }
  return framing;
}

int64_t ParseChunkSizeLine(std::string_view line) {
  const std::string_view size = TrimBlanks(line.substr(0, line.find(';')));
  bool valid = !size.empty() && size.size() <= kMaxChunkSizeDigits;
  uint64_t value = 0;
  for (std::size_t i = 0; valid && i < size.size(); ++i) {
    valid = IsHexDigit(size[i]);
    if (valid) value = value << 4 | static_cast<uint64_t>(HexValue(size[i]));
  }
  if (!valid || value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
    throw EIdHTTPMalformedResponse(Format(RSHTTPInvalidChunkSize, QuotedPeerText(line).c_str()));
  return static_cast<int64_t>(value);
}

std::optional<TIdHTTPChunk> FindWholeChunk(std::string_view bytes, int32_t maxLine) {
  const std::size_t sizeEnd = WholeLineEnd(bytes, maxLine);
  if (sizeEnd == std::string_view::npos) return std::nullopt;
  std::string_view sizeLine = bytes.substr(0, sizeEnd);
  if (!sizeLine.empty() && sizeLine.back() == '\r') sizeLine.remove_suffix(1);
  TIdHTTPChunk chunk;
  chunk.Size = ParseChunkSizeLine(sizeLine);
  chunk.DataStart = sizeEnd + 1;
  if (chunk.Size == 0) {
    chunk.Length = chunk.DataStart;
    chunk.Terminated = true;
    return chunk;
  }
  if (bytes.size() - chunk.DataStart <= static_cast<uint64_t>(chunk.Size)) return std::nullopt;
  const std::string_view after = bytes.substr(chunk.DataStart + static_cast<std::size_t>(chunk.Size));
  const std::size_t afterEnd = WholeLineEnd(after, maxLine);
  if (afterEnd == std::string_view::npos) return std::nullopt;
  chunk.Terminated = afterEnd == 0 || (afterEnd == 1 && after[0] == '\r');
  chunk.Length = chunk.DataStart + static_cast<std::size_t>(chunk.Size) + afterEnd + 1;
  return chunk;
}

std::string QuotedPeerText(std::string_view text) {
  std::string quoted = "\"";
  for (std::size_t i = 0; i < text.size() && i < kMaxQuoted; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F && c != '\\' && c != '"')
      quoted += static_cast<char>(c);
    else
      quoted += Format("\\x%02X", c);
  }
  if (text.size() > kMaxQuoted) quoted += "...";
  return quoted + "\"";
}
