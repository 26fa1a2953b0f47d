// The settings store: the user's settings and the record of the last
// exchange with the check-in service, in the program's INI file (beside the
// executable, or in the user's configuration folder for an installed copy).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/DateTime.h"
#include "runtime/IniFile.h"

// "http://<service host>/includes/r_update.php"; the host is set at build time.
std::string DefaultServiceURL();
// "http://<service host>/".
std::string ServiceHomePage();

// The settings file of the program at exePath: its name with the extension
// ".ini", beside it or in the user's configuration folder, wherever the
// program keeps its per-user files (TUserFiles).
std::string SettingsFileOf(std::string_view exePath);

// The settings file of the Pinmark programs beside exePath: Pinmark.ini
// (SettingsFileOf the program "Pinmark" there), whatever the command at
// exePath is called, so that the window and pinmark-checkin share one file.
std::string PinmarkSettingsFile(std::string_view exePath);

// A warning for a settings file that its group or other users may read: the
// password digest in it is as good as the password to the service. Empty
// when the file is private to its owner or not there.
std::string SettingsExposureWarning(const std::string& fileName);

// Program/Refresh as the store reads it: the period in minutes, 60 when it is
// absent or no number. Only reads.
int32_t ReadRefreshPeriod(TCustomIniFile& ini);

// Program/IPv6 as the store reads it: on for 1, off for 0, for an absent
// key and for anything else. Only reads.
bool ReadIPv6Setting(TCustomIniFile& ini);

// Whether an account of this name and password digest can check in: a name
// or a digest of blanks counts as none.
bool IsAccountComplete(std::string_view name, std::string_view password);
// User/Name and User/Password as the store reads them, judged so. Only reads.
bool ReadAccountComplete(TCustomIniFile& ini);

class TIniPinmark : public TIniFile {
 public:
  // The settings in fileName. Writes the Temp section at once, so an
  // unwritable file raises EIniFileException here. A file made here is
  // readable and writable by its owner alone.
  explicit TIniPinmark(std::string fileName);

  int32_t Refresh = 60;  // minutes
  std::string URL;
  std::string Computer;
  std::string Name;
  std::string Password;  // MD5 hex digest, never the password itself
  // Whether each check-in also goes over IPv6.
  bool IPv6 = false;

  // Temp/IPAddress := "UNKNOWN" in the file; Refresh and URL := defaults in memory only.
  void SetDefaults();
  // Writes Program/Refresh, Program/URL, User/Computer, User/Name,
  // User/Password, and Program/IPv6 once it is on or in the file.
  void Save();
  // The record of the last exchange, each value written the moment it is
  // known and read from the file whenever it is needed.
  void SetRequest(const std::string& request);
  // The recorded request as a read gives it back (at most MaxValueLength
  // characters): what is sent.
  std::string GetRequest();
  // Records the answer as a read gives it back (first line, trimmed, at most
  // MaxValueLength characters), which is all the address is derived from.
  void SetResponse(const std::string& answer);
  std::string GetResponse();
  void SetIPAddress(const std::string& address);
  void SetRefreshTime(TDateTime when);
  // The record of the last exchange over IPv6: the answer as a read gives it
  // back, the address derived from it, and why the last one failed (empty
  // after one that was answered). Each is written only when it changes.
  void SetIPv6Response(const std::string& answer);
  std::string GetIPv6Response();
  void SetIPv6Address(const std::string& address);
  void SetIPv6Error(const std::string& reason);
  std::string GetIPv6Error();

 private:
  void AfterConstruction();
  void WriteIfChanged(std::string_view section, std::string_view ident, const std::string& value);
};
