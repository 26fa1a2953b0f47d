// Date text of any shape: the tolerant reader always gives a finite value,
// and that value can be written again.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>

#include "http/protocol/IdHttpDate.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  tzset();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  TDateTime value = ParseHttpDate(text);
  if (!std::isfinite(value)) std::abort();
  std::string written = FormatHttpDate(value);
  if (written.size() != 29) std::abort();  // "Sun, 06 Nov 1994 08:49:37 GMT"
  return 0;
}
