#include "settings/uPinmarkIni.h"

#include "runtime/StringList.h"
#include "runtime/SysUtils.h"

#ifndef PINMARK_SERVICE_HOST
#error "PINMARK_SERVICE_HOST must be set by the build"
#endif

namespace {
const char kUnknown[] = "UNKNOWN";

// Letters, digits and "-._~" stay; every other byte becomes %XX, so a blank,
// "&", "=" or "#" in a name can neither end the request line nor add a
// parameter of its own.
bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}
}  // namespace

std::string DefaultServiceURL() { return std::string("http://") + PINMARK_SERVICE_HOST + "/includes/r_update.php"; }

std::string ServiceHomePage() { return std::string("http://") + PINMARK_SERVICE_HOST + "/"; }

TIniPinmark::TIniPinmark(const std::string& exePath) : TIniFile(ChangeFileExt(exePath, ".ini")) {
  AfterConstruction();
}

void TIniPinmark::AfterConstruction() {
  SetIPAddress(kUnknown);
  // Rewrites the stamp in the current locale's form; unreadable text becomes the zero date-time.
  SetRefreshTime(ReadDateTime("Temp", "Refresh", 0));
  Refresh = ReadInteger("Program", "Refresh", 60);
  URL = ReadString("Program", "URL", DefaultServiceURL());
  Computer = ReadString("User", "Computer", "");
  Name = ReadString("User", "Name", "");
  Password = ReadString("User", "Password", "");
}

void TIniPinmark::SetDefaults() {
  SetIPAddress(kUnknown);
  Refresh = 60;
  URL = DefaultServiceURL();
}

void TIniPinmark::Save() {
  WriteInteger("Program", "Refresh", Refresh);
  WriteString("Program", "URL", URL);
  WriteString("User", "Computer", Computer);
  WriteString("User", "Name", Name);
  WriteString("User", "Password", Password);
}

std::string TIniPinmark::GetRequest() {
  std::string request = Format("%s?userid=%s&enc=%s&node=%s", URL.c_str(), PercentEncode(Name, IsUnreserved).c_str(),
                               PercentEncode(Password, IsUnreserved).c_str(), PercentEncode(Computer, IsUnreserved).c_str());
  WriteString("Temp", "HTTPRequest", request);
  return ReadString("Temp", "HTTPRequest", "");
}

void TIniPinmark::SetResponse(const std::string& answer) {
  // Only what a read gives back is kept: a long answer would otherwise sit in
  // the file whole and be copied with every later write.
  WriteString("Temp", "HTTPResponse", ValueAsRead(answer));
}

std::string TIniPinmark::GetIPAddress() {
  std::string result = kUnknown;
  TStringList parts;
  parts.Delimiter = '.';
  parts.SetDelimitedText(ReadString("Temp", "HTTPResponse", ""));
  if (parts.Count() == 4) {
    bool valid = true;
    for (const std::string& part : parts.Items()) {
      int32_t n = StrToIntDef(part, -1);
      if (n < 0 || n > 255) valid = false;
    }
    if (valid) result = parts[0] + "." + parts[1] + "." + parts[2] + "." + parts[3];
  }
  SetIPAddress(result);
  return result;
}

void TIniPinmark::SetIPAddress(const std::string& address) { WriteString("Temp", "IPAddress", address); }

void TIniPinmark::SetRefreshTime(TDateTime when) { WriteDateTime("Temp", "Refresh", when); }
