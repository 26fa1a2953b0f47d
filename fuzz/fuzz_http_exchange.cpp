// Arbitrary bytes as a server's whole answer to an exchange, played by an
// in-memory I/O handler: no sockets, so each input costs only the client's
// own work. The first byte picks the client's settings (so redirects,
// in-process authentication and GET are reached too) and how the answer
// arrives: in one piece or cut into pieces of a few bytes, ended by a close,
// a reset or silence.
//
// Besides staying sanitizer-clean, the exchange must keep its promises: when
// it returns normally, the result is exactly the body that the answer's
// final 2xx head frames, read here by a reference reader of its own; when it
// fails, the caller's stream holds nothing; and whatever the answer said
// (a Location to follow, say), every request the client sent is a well-formed
// head: a request line with one target and no line break inside any line.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http/exchange/IdHTTP.h"
#include "runtime/SysUtils.h"
#include "tests/support/NotCovered.h"
#include "tests/support/ScriptedIOHandler.h"

namespace {
// The answer read line by line and block by block, as the wire delivers it.
class AnswerReader {
 public:
  explicit AnswerReader(std::string_view answer) : rest_(answer) {}
  // A line up to LF, one CR before it dropped; false when no LF is left.
  PINMARK_NOT_COVERED bool Line(std::string& line) {
    const std::size_t lf = rest_.find('\n');
    if (lf == std::string_view::npos) return false;
    line.assign(rest_.substr(0, lf > 0 && rest_[lf - 1] == '\r' ? lf - 1 : lf));
    rest_.remove_prefix(lf + 1);
    return true;
  }
  PINMARK_NOT_COVERED bool Block(uint64_t count, std::string& into) {
    if (count > rest_.size()) return false;
    into.append(rest_.substr(0, count));
    rest_.remove_prefix(count);
    return true;
  }
  std::string_view Rest() const { return rest_; }

 private:
  std::string_view rest_;
};

PINMARK_NOT_COVERED std::string_view Blanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// The elements of every line with that name, comma-separated, blanks trimmed.
PINMARK_NOT_COVERED std::vector<std::string> Elements(const TIdHeaderList& head, std::string_view name) {
  std::vector<std::string> out;
  for (int i = 0; i < head.Count(); ++i) {
    if (head.NameAt(i) != name) continue;
    const std::string value = head.ValueAt(i);
    std::size_t start = 0;
    for (std::size_t comma; (comma = value.find(',', start)) != std::string::npos; start = comma + 1)
      out.emplace_back(Blanks(std::string_view(value).substr(start, comma - start)));
    out.emplace_back(Blanks(std::string_view(value).substr(start)));
  }
  return out;
}

constexpr int kLineLimit = 255;

// The body of the answer's final head as its framing delimits it, or nothing
// when that answer cannot be taken whole: cut short, framed wrongly, or not 2xx.
PINMARK_NOT_COVERED std::optional<std::string> FramedBody(std::string_view answer) {
  AnswerReader in(answer);
  TIdHTTPStatusLine status;
  TIdHeaderList head;
  do {
    std::string first;
    if (!in.Line(first)) return std::nullopt;
    status = TIdHTTPStatusLine::Parse(first);
    head.Clear();
    for (std::string line;;) {
      if (!in.Line(line)) return std::nullopt;
      if (line.empty()) break;
      if (head.Count() == kLineLimit) return std::nullopt;
      head.Add(line);
    }
  } while (status.Code / 100 == 1 && status.Code != 101);  // interim answers come before the real one
  if (!status.WellFormed) return std::nullopt;
  const int32_t code = status.Code;
  if (code / 100 != 2) return std::nullopt;
  if (code == 204) return std::string();

  std::string body;
  const std::vector<std::string> codings = Elements(head, "TRANSFER-ENCODING");
  if (!codings.empty()) {
    std::string last;
    for (const std::string& c : codings)
      if (!c.empty()) last = c;
    if (!SameText(Blanks(std::string_view(last).substr(0, last.find(';'))), "chunked")) return std::string(in.Rest());
    std::string line;
    for (;;) {
      if (!in.Line(line)) return std::nullopt;
      const std::string_view digits = Blanks(std::string_view(line).substr(0, line.find(';')));
      if (digits.empty() || digits.size() > 16 ||
          digits.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos)
        return std::nullopt;
      const uint64_t chunk = std::stoull(std::string(digits), nullptr, 16);
      if (chunk > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
      if (chunk == 0) break;
      if (!in.Block(chunk, body) || !in.Line(line) || !line.empty()) return std::nullopt;
    }
    for (int trailers = 0;; ++trailers) {
      if (!in.Line(line)) return std::nullopt;
      if (line.empty()) return body;
      if (trailers == kLineLimit) return std::nullopt;
    }
  }
  const std::vector<std::string> lengths = Elements(head, "CONTENT-LENGTH");
  if (lengths.empty()) return std::string(in.Rest());
  uint64_t length = 0;
  for (std::size_t i = 0; i < lengths.size(); ++i) {
    const std::string& text = lengths[i];
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos)
      return std::nullopt;
    const uint64_t value = std::stoull(text);
    if (value > static_cast<uint64_t>(INT64_MAX) || (i > 0 && value != length)) return std::nullopt;
    length = value;
  }
  if (!in.Block(length, body)) return std::nullopt;
  return body;
}

// Every request head ends in an empty line, and its lines hold no CR or LF of
// their own; the request line is a method, one target without blanks and the version.
PINMARK_NOT_COVERED bool WellFormedRequest(std::string_view sent) {
  const std::size_t end = sent.find("\r\n\r\n");
  if (end == std::string_view::npos) return false;
  const std::string_view head = sent.substr(0, end + 2);
  std::size_t lineEnd = head.find("\r\n");
  const std::string_view requestLine = head.substr(0, lineEnd);
  const std::size_t blank = requestLine.find(' ');
  const std::size_t lastBlank = requestLine.rfind(' ');
  if (blank == std::string_view::npos || blank == lastBlank || !requestLine.substr(lastBlank).starts_with(" HTTP/1."))
    return false;
  // The head's lines are separated by CR LF; any other CR or LF split a line.
  std::size_t breaks = 0;
  for (const char* at = head.data();
       (at = static_cast<const char*>(std::memchr(at, '\n', head.data() + head.size() - at))); ++at) {
    if (at == head.data() || at[-1] != '\r') return false;
    ++breaks;
  }
  std::size_t returns = 0;
  for (const char* at = head.data();
       (at = static_cast<const char*>(std::memchr(at, '\r', head.data() + head.size() - at))); ++at)
    ++returns;
  return breaks == returns;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Held for the whole run, so that no input pays for making the socket stack.
  static TIdStackUser stack;
  if (size == 0) return 0;
  const uint8_t mode = data[0];
  const std::string answer(reinterpret_cast<const char*>(data + 1), size - 1);
  static constexpr std::size_t kPieces[] = {0, 0, 0, 0, 1, 3, 16, 256};
  const auto end = (mode & 0x40)   ? ScriptedAnswer::kReset
                   : (mode & 0x80) ? ScriptedAnswer::kSilence
                                   : ScriptedAnswer::kClose;
  auto owned = std::make_unique<ScriptedIOHandler>(ScriptedAnswer::InPieces(answer, kPieces[(mode >> 3) & 7], end));
  ScriptedIOHandler& io = *owned;
  const std::string url = "http://user:pw@127.0.0.1:8080/x.php?a=1";
  TStringStream out;
  std::string body;
  bool succeeded = false;
  {
    TIdHTTP http;
    http.SetIOHandler(std::move(owned));
    http.HandleRedirects = mode & 1;
    // Every connection gets the same answer, so a redirect or a refusal
    // followed again only repeats the same path; low limits still reach the
    // code that ends the loop, at a fraction of the cost.
    http.RedirectMaximum = 3;
    http.MaxAuthRetries = 1;
    if (mode & 2) http.HTTPOptions |= hoInProcessAuth;
    try {
      if (mode & 4) {
        http.Get(url, out);
        body = out.DataString();
      } else {
        body = http.PostFormText(url, nullptr);
      }
      succeeded = true;
    } catch (const Exception&) {
      // Refused answers, broken frames and closed connections are expected.
    }
    for (const std::string& sent : io.Sent())
      if (!WellFormedRequest(sent)) std::abort();  // the answer put something into a request
  }
  if (!succeeded) {
    if (out.Size() != 0) std::abort();  // a failed exchange left a partial body behind
    return 0;
  }
  // Every connection gets the same answer, so whatever was followed or
  // retried, a success can only be the final head of this answer.
  const std::optional<std::string> framed = FramedBody(answer);
  if (!framed || *framed != body) std::abort();
  return 0;
}
