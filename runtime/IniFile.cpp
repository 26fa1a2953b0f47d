#include "runtime/IniFile.h"

#include "runtime/PrivateProfile.h"
#include "runtime/SysUtils.h"

int32_t TCustomIniFile::ReadInteger(std::string_view section, std::string_view ident, int32_t def) {
  std::string text = ReadString(section, ident, "");
  if (text.size() >= 3 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text = "$" + text.substr(2);
  return StrToIntDef(text, def);
}

void TCustomIniFile::WriteInteger(std::string_view section, std::string_view ident, int32_t value) {
  WriteString(section, ident, IntToStr(value));
}

TDateTime TCustomIniFile::ReadDateTime(std::string_view section, std::string_view ident, TDateTime def) {
  std::string text = ReadString(section, ident, "");
  if (text.empty()) return def;
  try {
    return StrToDateTime(text);
  } catch (const EConvertError&) {
    return def;
  }
}

void TCustomIniFile::WriteDateTime(std::string_view section, std::string_view ident, TDateTime value) {
  WriteString(section, ident, DateTimeToStr(value));
}

namespace {
std::string_view FirstLine(std::string_view value) { return value.substr(0, value.find_first_of("\r\n")); }
}  // namespace

std::string TIniFile::ValueAsRead(std::string_view value) {
  std::string line = Trim(FirstLine(value));
  if (line.size() > MaxValueLength) line.resize(MaxValueLength);
  return line;
}

std::string TIniFile::ReadString(std::string_view section, std::string_view ident, std::string_view def) {
  return GetPrivateProfileString(section, ident, def, FileName(), MaxValueLength + 1);
}

void TIniFile::WriteString(std::string_view section, std::string_view ident, std::string_view value) {
  value = FirstLine(value);
  if (!WritePrivateProfileString(section, ident, value, FileName()))
    throw EIniFileException(Format("Unable to write to %s", FileName().c_str()));
}
