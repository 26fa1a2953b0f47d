// Arbitrary text through the settings store's text rules: the service's
// answer split into an address, integers and locale date-times.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "runtime/DateTime.h"
#include "runtime/StringList.h"
#include "runtime/SysUtils.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  TStringList parts;
  parts.Delimiter = '.';
  parts.SetDelimitedText(text);
  for (const std::string& part : parts.Items()) {
    int32_t v32 = 0;
    int64_t v64 = 0;
    (void)TryStrToInt(part, v32);
    (void)TryStrToInt64(part, v64);
  }
  // What is written as delimited text reads back as the same items.
  TStringList back;
  back.Delimiter = '.';
  back.SetDelimitedText(parts.DelimitedText());
  if (parts.Count() > 0 && back.Items() != parts.Items()) {
    // A lone empty item has no delimited form of its own.
    if (!(parts.Count() == 1 && parts[0].empty())) std::abort();
  }
  TDateTime when = 0;
  if (TryStrToDateTime(text, when)) {
    TDateTime again = 0;
    if (!TryStrToDateTime(DateTimeToStr(when), again) || again != when) std::abort();
  }
  return 0;
}
