// Arbitrary text through the settings store's text rules: the service's
// answer split into an address, integers and locale date-times (in a locale
// picked by the first byte, among some whose own forms needed mending).
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "runtime/DateTime.h"
#include "runtime/StringList.h"
#include "runtime/SysUtils.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char* const kLocales[] = {"C",          "en_US.UTF-8", "fa_IR",       "ms_MY.UTF-8",
                                         "nb_NO.UTF-8", "gd_GB.UTF-8", "lzh_TW",      "ja_JP.UTF-8"};
  if (size > 0) setlocale(LC_ALL, kLocales[data[0] % (sizeof kLocales / sizeof kLocales[0])]);
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
