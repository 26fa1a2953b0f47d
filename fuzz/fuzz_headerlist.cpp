// A header block as a server might send it: every line can be named, read
// and unfolded, refolded without a line break surviving inside a line, and
// the response record fills its fields from it.
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>

#include "http/protocol/IdHeaderInfo.h"
#include "http/protocol/IdHeaderList.h"

namespace {
bool HasLineBreak(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  tzset();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  int width = data[0] % 100;  // 0 and tiny widths included
  std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);

  TIdHeaderList list(width);
  list.SetText(text);
  for (int i = 0; i < list.Count(); ++i) {
    std::string name = list.NameAt(i);
    std::string value = list.ValueAt(i);
    if (value.size() > text.size()) std::abort();
    if (!name.empty() && list.IndexOfHeader(name) > i) std::abort();
    for (const std::string& piece : list.FoldValue(list[i]))
      if (HasLineBreak(piece)) std::abort();
  }
  // Setting a value taken from the input, line breaks included.
  TIdHeaderList target(width);
  target.SetValue("X-Fuzz", text);
  for (int i = 0; i < target.Count(); ++i)
    if (HasLineBreak(target[i])) std::abort();
  target.ValueOf("X-Fuzz");
  target.SetValue("x-fuzz", "");
  if (target.Count() != 0) std::abort();

  TIdResponseHeaderInfo response;
  response.RawHeaders.SetText(text);
  response.ParseHeaders();
  response.BuildHeaders();
  TIdRequestHeaderInfo request;
  request.RawHeaders.SetText(text);
  request.ParseHeaders();
  request.BuildHeaders();
  return 0;
}
