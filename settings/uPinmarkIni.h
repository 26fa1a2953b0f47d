// The settings store: the user's settings and the record of the last
// exchange with the check-in service, in the INI file beside the executable.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/DateTime.h"
#include "runtime/IniFile.h"

// "http://<service host>/includes/r_update.php"; the host is set at build time.
std::string DefaultServiceURL();
// "http://<service host>/".
std::string ServiceHomePage();

class TIniPinmark : public TIniFile {
 public:
  // Takes the executable's full path; the file is that path with its
  // extension replaced by ".ini". Writes the Temp section at once, so an
  // unwritable file raises EIniFileException here.
  explicit TIniPinmark(const std::string& exePath);

  int32_t Refresh = 60;  // minutes
  std::string URL;
  std::string Computer;
  std::string Name;
  std::string Password;  // MD5 hex digest, never the password itself

  // Temp/IPAddress := "UNKNOWN" in the file; Refresh and URL := defaults in memory only.
  void SetDefaults();
  // Writes Program/Refresh, Program/URL, User/Computer, User/Name, User/Password.
  void Save();
  // Composes the request, records it in Temp/HTTPRequest and returns it as read back.
  std::string GetRequest();
  // Records the answer as a read gives it back (first line, trimmed, at most
  // MaxValueLength characters), which is all the address is derived from.
  void SetResponse(const std::string& answer);
  // Derives the dotted-quad address (or "UNKNOWN") from Temp/HTTPResponse,
  // records it in Temp/IPAddress and returns it.
  std::string GetIPAddress();
  void SetIPAddress(const std::string& address);
  void SetRefreshTime(TDateTime when);

 private:
  void AfterConstruction();
};
