// Cookie texts as a server might send them, for a host taken from the
// input: parsing fails only with the port list's conversion error, and the
// store stays consistent enough to give a Cookie header.
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>

#include "http/protocol/IdCookieManager.h"
#include "runtime/Exception.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("TZ", "UTC0", 1);
  tzset();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view all(reinterpret_cast<const char*>(data), size);
  // "host\ncookie\ncookie..." ; the first line is the host.
  std::size_t eol = all.find('\n');
  std::string host(all.substr(0, eol == std::string_view::npos ? 0 : eol));
  std::string_view rest = eol == std::string_view::npos ? all : all.substr(eol + 1);

  TIdCookieManager manager;
  int line = 0;
  while (!rest.empty()) {
    std::size_t next = rest.find('\n');
    std::string_view text = rest.substr(0, next);
    rest = next == std::string_view::npos ? std::string_view() : rest.substr(next + 1);
    try {
      if (++line % 2)
        manager.AddServerCookie(text, host);
      else
        manager.AddServerCookie2(text, host);
    } catch (const EConvertError&) {
    }
  }
  std::string header = manager.CookieHeaderFor(TIdURI("http://" + host + "/"), true);
  if (header.size() > 2 * size + 16) std::abort();
  manager.PurgeExpired();
  return 0;
}
