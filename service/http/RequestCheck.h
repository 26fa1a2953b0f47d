// The strict reading of a request's head, before any of it reaches a door.
//
// A head is taken only when it reads one way to every server and proxy that
// may stand before this one: a request line "METHOD SP /origin-form SP
// HTTP/1.x", fields "name: value" with nothing between the name and its
// colon, no folded lines, every line ended by CR LF and no CR elsewhere, at
// most one Content-Length made of digits, no Transfer-Encoding (no request
// here needs a body in chunks), exactly one Host on HTTP/1.1 and at most one
// on HTTP/1.0. Boost.Beast's parser then reads what passed, and refuses what
// it finds malformed itself. Anything else is refused (ERequestRefused) with
// the status to answer; the connection is closed after that answer, since
// where the refused request ends is not known.
//
// Works on bytes only: no I/O, so it is tested and fuzzed on plain text.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/Exception.h"

// A request the service will not read; Message says why, Status what to answer.
class ERequestRefused : public Exception {
 public:
  ERequestRefused(int status, const std::string& reason) : Exception(reason), status_(status) {}
  int Status() const { return status_; }
  PINMARK_EXCEPTION_IDENTITY(ERequestRefused, Exception)

 private:
  int status_;
};

struct TRequestHead {
  std::string Method;
  std::string Target;  // as sent: path and query
  std::string Path;    // percent-decoded, without the query
  std::string Query;   // after '?', still encoded
  int Version = 11;    // 10 or 11
  std::vector<std::pair<std::string, std::string>> Fields;
  std::size_t ContentLength = 0;
  bool KeepAlive = true;

  // The first field of that name (without regard to case), or nothing.
  std::optional<std::string> Field(std::string_view name) const;
  // Every field of that name, in the order they came.
  std::vector<std::string> AllFields(std::string_view name) const;
};

class TRequestCheck {
 public:
  static constexpr std::size_t MaxHeadBytes = 16 * 1024;  // with the blank line that ends it
  static constexpr std::size_t MaxTargetBytes = 8 * 1024;
  static constexpr std::size_t MaxBodyBytes = 4096;

  // Where the head ends in the bytes read so far (just past its blank line),
  // or 0 while more must come. Refuses at once what cannot become a good
  // head: over MaxHeadBytes without its end (431), a line ended by a bare LF
  // (400), a request line that grew past MaxTargetBytes (414). The bytes
  // before from were looked at already (by an earlier call on fewer bytes).
  static std::size_t HeadEnd(std::string_view bytes, std::size_t from = 0);
  // Reads a whole head, as HeadEnd delimits it; throws ERequestRefused.
  static TRequestHead Parse(std::string_view head);
};
