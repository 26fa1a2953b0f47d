#include "settings/uPinmarkIni.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "runtime/AtomicFile.h"
#include "runtime/SysUtils.h"
#include "runtime/UserFiles.h"

#ifndef PINMARK_SERVICE_HOST
#error "PINMARK_SERVICE_HOST must be set by the build"
#endif

namespace {
const char kUnknown[] = "UNKNOWN";
}  // namespace

std::string DefaultServiceURL() { return std::string("http://") + PINMARK_SERVICE_HOST + "/includes/r_update.php"; }

std::string ServiceHomePage() { return std::string("http://") + PINMARK_SERVICE_HOST + "/"; }

std::string SettingsFileOf(std::string_view exePath) {
  const std::string beside = ChangeFileExt(exePath, ".ini");
  const TUserFiles& files = TUserFiles::Current();
  return files.BesideExecutable() ? beside : files.File(ExtractFileName(beside));
}

std::string PinmarkSettingsFile(std::string_view exePath) {
  return SettingsFileOf(ExtractFilePath(exePath) + "Pinmark");
}

std::string SettingsExposureWarning(const std::string& fileName) {
  struct stat st {};
  if (::stat(fileName.c_str(), &st) != 0 || (st.st_mode & (S_IRGRP | S_IROTH)) == 0) return std::string();
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  return fileName + " can be read by other users (mode " + mode +
         "), and its password digest is as good as the password: chmod 600 " + fileName;
}

int32_t ReadRefreshPeriod(TCustomIniFile& ini) { return ini.ReadInteger("Program", "Refresh", 60); }

bool ReadIPv6Setting(TCustomIniFile& ini) { return ini.ReadInteger("Program", "IPv6", 0) == 1; }

bool IsAccountComplete(std::string_view name, std::string_view password) {
  return !Trim(name).empty() && !Trim(password).empty();
}

bool ReadAccountComplete(TCustomIniFile& ini) {
  return IsAccountComplete(ini.ReadString("User", "Name", ""), ini.ReadString("User", "Password", ""));
}

TIniPinmark::TIniPinmark(std::string fileName) : TIniFile(std::move(fileName)) { AfterConstruction(); }

void TIniPinmark::AfterConstruction() {
  // Every later write keeps the mode of the file it replaces, so a new file
  // made private here stays private. An existing file is left as it is.
  const int fd = ::open(FollowLinks(FileName()).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0) ::close(fd);
  SetIPAddress(kUnknown);
  // Rewrites the stamp in the current locale's form; unreadable text becomes the zero date-time.
  SetRefreshTime(ReadDateTime("Temp", "Refresh", 0));
  Refresh = ReadRefreshPeriod(*this);
  URL = ReadString("Program", "URL", DefaultServiceURL());
  Computer = ReadString("User", "Computer", "");
  Name = ReadString("User", "Name", "");
  Password = ReadString("User", "Password", "");
  IPv6 = ReadIPv6Setting(*this);
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
  // A file that never had the setting keeps the very bytes it had until it is turned on.
  if (IPv6 || !ReadString("Program", "IPv6", "").empty()) WriteInteger("Program", "IPv6", IPv6 ? 1 : 0);
}

void TIniPinmark::SetRequest(const std::string& request) { WriteString("Temp", "HTTPRequest", request); }

std::string TIniPinmark::GetRequest() { return ReadString("Temp", "HTTPRequest", ""); }

void TIniPinmark::SetResponse(const std::string& answer) {
  // Only what a read gives back is kept: a long answer would otherwise sit in
  // the file whole and be copied with every later write.
  WriteString("Temp", "HTTPResponse", ValueAsRead(answer));
}

std::string TIniPinmark::GetResponse() { return ReadString("Temp", "HTTPResponse", ""); }

void TIniPinmark::SetIPAddress(const std::string& address) { WriteString("Temp", "IPAddress", address); }

void TIniPinmark::SetRefreshTime(TDateTime when) { WriteDateTime("Temp", "Refresh", when); }

void TIniPinmark::WriteIfChanged(std::string_view section, std::string_view ident, const std::string& value) {
  // Every write replaces the whole file and waits for the disk; a run whose
  // IPv6 answer is the last one's would otherwise pay that three times over.
  const std::string kept = ValueAsRead(value);
  if (ReadString(section, ident, "") != kept) WriteString(section, ident, kept);
}

void TIniPinmark::SetIPv6Response(const std::string& answer) { WriteIfChanged("Temp", "IPv6Response", answer); }

std::string TIniPinmark::GetIPv6Response() { return ReadString("Temp", "IPv6Response", ""); }

void TIniPinmark::SetIPv6Address(const std::string& address) { WriteIfChanged("Temp", "IPv6Address", address); }

void TIniPinmark::SetIPv6Error(const std::string& reason) { WriteIfChanged("Temp", "IPv6Error", reason); }

std::string TIniPinmark::GetIPv6Error() { return ReadString("Temp", "IPv6Error", ""); }
