#include "service/http/RequestCheck.h"

#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>

#include "runtime/SysUtils.h"
#include "service/http/RequestText.h"

namespace {
bool TokenChar(unsigned char c) {
  if (c >= '0' && c <= '9') return true;
  if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

[[noreturn]] void Refuse(int status, const std::string& reason) { throw ERequestRefused(status, reason); }

// "METHOD SP /target SP HTTP/1.x"; fills method, target and version.
void CheckRequestLine(std::string_view line, TRequestHead& head) {
  const std::size_t sp1 = line.find(' ');
  if (sp1 == 0 || sp1 == std::string_view::npos) Refuse(400, "malformed request line");
  for (unsigned char c : line.substr(0, sp1))
    if (!TokenChar(c)) Refuse(400, "malformed method");
  const std::size_t sp2 = line.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos) Refuse(400, "malformed request line");
  const std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  if (target.size() > TRequestCheck::MaxTargetBytes) Refuse(414, "request URI too long");
  // Origin form only: an absolute URI or "*" would be read differently by a proxy.
  if (target.empty() || target[0] != '/') Refuse(400, "the target is not a path");
  for (unsigned char c : target)
    if (c <= ' ' || c >= 0x7F) Refuse(400, "a control character, blank or non-ASCII byte in the target");
  const std::string_view version = line.substr(sp2 + 1);
  if (version == "HTTP/1.1")
    head.Version = 11;
  else if (version == "HTTP/1.0")
    head.Version = 10;
  else
    Refuse(400, "not HTTP/1.0 or HTTP/1.1");
  head.Method = std::string(line.substr(0, sp1));
  head.Target = std::string(target);
}

// "name: value", the name a token directly followed by its colon.
void CheckFieldLine(std::string_view line) {
  if (line[0] == ' ' || line[0] == '\t') Refuse(400, "a folded header line");
  const std::size_t colon = line.find(':');
  if (colon == 0 || colon == std::string_view::npos) Refuse(400, "a header line without a name");
  for (unsigned char c : line.substr(0, colon))
    if (!TokenChar(c)) Refuse(400, "whitespace or another stray byte in a header name");
}
}  // namespace

std::optional<std::string> TRequestHead::Field(std::string_view name) const {
  for (const auto& [n, v] : Fields)
    if (SameText(n, name)) return v;
  return std::nullopt;
}

std::vector<std::string> TRequestHead::AllFields(std::string_view name) const {
  std::vector<std::string> values;
  for (const auto& [n, v] : Fields)
    if (SameText(n, name)) values.push_back(v);
  return values;
}

std::size_t TRequestCheck::HeadEnd(std::string_view bytes, std::size_t from) {
  const std::size_t window = std::min(bytes.size(), MaxHeadBytes);
  for (std::size_t i = from > 3 ? from - 3 : 0; i < window; ++i) {
    if (bytes[i] != '\n') continue;
    if (i == 0 || bytes[i - 1] != '\r') Refuse(400, "a line ended by a bare LF");
    if (i >= 3 && bytes[i - 2] == '\n' && bytes[i - 3] == '\r') return i + 1;
  }
  if (bytes.size() > MaxHeadBytes) Refuse(431, "request head too large");
  // The request line alone already longer than any target we take: say so now.
  if (bytes.find('\n') == std::string_view::npos && bytes.size() > MaxTargetBytes + 32)
    Refuse(414, "request URI too long");
  return 0;
}

TRequestHead TRequestCheck::Parse(std::string_view text) {
  if (text.size() > MaxHeadBytes) Refuse(431, "request head too large");
  if (text.size() < 4 || text.substr(text.size() - 4) != "\r\n\r\n") Refuse(400, "the head does not end");
  TRequestHead head;
  // Each line ends in CR LF, and no CR stands anywhere else.
  const std::string_view lines = text.substr(0, text.size() - 2);
  std::size_t hosts = 0, lengths = 0;
  std::string length;
  std::size_t start = 0;
  bool first = true;
  while (start < lines.size()) {
    const std::size_t end = lines.find("\r\n", start);
    const std::string_view line = lines.substr(start, end - start);
    if (line.find('\r') != std::string_view::npos || line.find('\n') != std::string_view::npos)
      Refuse(400, "a bare CR or LF in the head");
    if (first) {
      CheckRequestLine(line, head);
      first = false;
    } else {
      if (line.empty()) Refuse(400, "an empty header line");
      CheckFieldLine(line);
      const std::string_view name = line.substr(0, line.find(':'));
      if (SameText(name, "Host")) ++hosts;
      if (SameText(name, "Content-Length")) {
        ++lengths;
        length = Trim(line.substr(name.size() + 1));
      }
      if (SameText(name, "Transfer-Encoding")) Refuse(400, "a request carries no Transfer-Encoding");
    }
    start = end + 2;
  }
  if (lengths > 1) Refuse(400, "more than one Content-Length");
  // Judged before Beast reads the head, so that each refusal gets its own status.
  if (lengths == 1) {
    if (length.empty() || length.find_first_not_of("0123456789") != std::string::npos)
      Refuse(400, "invalid Content-Length");
    if (length.size() > 9 || std::stoul(length) > MaxBodyBytes) Refuse(413, "request body too large");
    head.ContentLength = std::stoul(length);
  }
  if (hosts > 1) Refuse(400, "more than one Host");
  if (hosts == 0 && head.Version == 11) Refuse(400, "no Host on HTTP/1.1");

  namespace http = boost::beast::http;
  http::request_parser<http::empty_body> parser;
  parser.header_limit(static_cast<std::uint32_t>(MaxHeadBytes));
  parser.eager(false);
  parser.body_limit(boost::none);  // the length was judged above, against our own limit
  boost::beast::error_code ec;
  parser.put(boost::asio::buffer(text.data(), text.size()), ec);
  if (ec || !parser.is_header_done()) Refuse(400, "malformed head: " + ec.message());
  const auto& message = parser.get();
  for (const auto& field : message) head.Fields.emplace_back(field.name_string(), field.value());
  head.KeepAlive = message.keep_alive();
  // Nothing here reads a body with these, so one would be taken for the next request.
  if (head.ContentLength > 0 && (head.Method == "GET" || head.Method == "HEAD" || head.Method == "OPTIONS"))
    Refuse(400, "this request carries no body");
  const std::size_t question = head.Target.find('?');
  head.Path = UrlDecode(std::string_view(head.Target).substr(0, question), false);
  if (question != std::string::npos) head.Query = head.Target.substr(question + 1);
  return head;
}
