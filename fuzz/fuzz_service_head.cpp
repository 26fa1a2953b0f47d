// A request head and body as any client may send them, through the front's
// strict check: the head's end is found the same whichever way the bytes
// were cut, a head that passes reads one way only (no CR or LF left in a
// name or a value, origin-form target, one Host on HTTP/1.1, a length within
// the limit), and the parameters and the forgery checks take what passed.
//
// Input: the bytes of a connection; a first byte picks where they are cut.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "service/http/FrontRequest.h"
#include "service/http/RequestCheck.h"

namespace {
// HeadEnd's answer, or minus the status it refused with.
long long EndOf(std::string_view bytes, std::size_t from) {
  try {
    return static_cast<long long>(TRequestCheck::HeadEnd(bytes, from));
  } catch (const ERequestRefused& e) {
    return -e.Status();
  }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::size_t cut = bytes.empty() ? 0 : data[0] % (bytes.size() + 1);

  // Read in one piece or in two: the same end, or the same refusal.
  const long long whole = EndOf(bytes, 0);
  const long long first = EndOf(bytes.substr(0, cut), 0);
  const long long pieces = first != 0 ? first : EndOf(bytes, cut);
  if (whole != pieces) std::abort();
  if (whole <= 0) return 0;

  const std::string_view headText = bytes.substr(0, static_cast<std::size_t>(whole));
  TRequestHead head;
  try {
    head = TRequestCheck::Parse(headText);
  } catch (const ERequestRefused& e) {
    if (e.Status() != 400 && e.Status() != 413 && e.Status() != 414 && e.Status() != 431) std::abort();
    return 0;
  }
  if (head.Version != 10 && head.Version != 11) std::abort();
  if (head.Target.empty() || head.Target[0] != '/' || head.Target.size() > TRequestCheck::MaxTargetBytes) std::abort();
  if (head.ContentLength > TRequestCheck::MaxBodyBytes) std::abort();
  if (head.Version == 11 && head.AllFields("Host").size() != 1) std::abort();
  if (head.AllFields("Content-Length").size() > 1 || head.Field("Transfer-Encoding")) std::abort();
  for (const auto& [name, value] : head.Fields)
    if (name.find_first_of("\r\n: \t") != std::string::npos || value.find_first_of("\r\n") != std::string::npos)
      std::abort();

  const std::string body(bytes.substr(headText.size(), head.ContentLength));
  const TFrontRequest req = TFrontRequest::Make(head, body, "127.0.0.1", false);
  (void)req.Param("userid");
  (void)req.FromAnotherSite();
  (void)req.CrossSiteNavigation();
  return 0;
}
