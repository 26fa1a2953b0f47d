// Arbitrary bytes as an INI file: reads never fail or over-read, the
// settings store's own readers among them, and a key written into any file
// reads back as written.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "runtime/IniFile.h"
#include "runtime/PrivateProfile.h"
#include "settings/uPinmarkIni.h"

namespace {
std::string Folder() {
  static std::string folder = [] {
    char tmpl[] = "/tmp/fuzz-ini-XXXXXX";
    const char* made = mkdtemp(tmpl);
    if (!made) std::abort();
    return std::string(made);
  }();
  return folder;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string file = Folder() + "/f.ini";
  FILE* f = std::fopen(file.c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);

  TIniFile ini(file);
  for (const char* section : {"Temp", "Program", "User", ""})
    for (const char* key : {"Refresh", "URL", "IPAddress", ""}) {
      (void)ini.ReadString(section, key, "d");
      (void)ini.ReadInteger(section, key, 60);
      (void)ini.ReadDateTime(section, key, 0);
    }
  (void)ReadRefreshPeriod(ini);
  (void)ReadAccountComplete(ini);
  // On for exactly the value 1, whatever else the file holds.
  if (ReadIPv6Setting(ini) != (ini.ReadInteger("Program", "IPv6", 0) == 1)) std::abort();
  ini.WriteString("Temp", "IPAddress", "1.2.3.4");
  if (ini.ReadString("Temp", "IPAddress", "") != "1.2.3.4") std::abort();
  ini.WriteString("New", "Key", " padded value ");
  if (ini.ReadString("new", "KEY", "") != "padded value") std::abort();
  if (ini.ReadString("Temp", "IPAddress", "") != "1.2.3.4") std::abort();
  return 0;
}
