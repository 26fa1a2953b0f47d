// INI-file objects over the private-profile functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/DateTime.h"
#include "runtime/Exception.h"

PINMARK_EXCEPTION_CLASS(EIniFileException, Exception);

class TCustomIniFile {
 public:
  explicit TCustomIniFile(std::string fileName) : fileName_(std::move(fileName)) {}
  virtual ~TCustomIniFile() = default;
  TCustomIniFile(const TCustomIniFile&) = delete;
  TCustomIniFile& operator=(const TCustomIniFile&) = delete;

  const std::string& FileName() const { return fileName_; }

  virtual std::string ReadString(std::string_view section, std::string_view ident, std::string_view def) = 0;
  virtual void WriteString(std::string_view section, std::string_view ident, std::string_view value) = 0;

  // Text of three or more characters starting "0x"/"0X" is read as
  // hexadecimal; text that does not convert, and an absent key, give def.
  virtual int32_t ReadInteger(std::string_view section, std::string_view ident, int32_t def);
  virtual void WriteInteger(std::string_view section, std::string_view ident, int32_t value);
  // Empty or unreadable text gives def.
  virtual TDateTime ReadDateTime(std::string_view section, std::string_view ident, TDateTime def);
  virtual void WriteDateTime(std::string_view section, std::string_view ident, TDateTime value);

 private:
  std::string fileName_;
};

class TIniFile : public TCustomIniFile {
 public:
  using TCustomIniFile::TCustomIniFile;

  // The most characters a read gives back.
  static constexpr std::size_t MaxValueLength = 2047;
  // The value as a later read would give it back: its first line, trimmed,
  // cut to MaxValueLength. Writing that instead keeps a long value from
  // being stored (and copied on every later write) for nothing.
  static std::string ValueAsRead(std::string_view value);

  // At most MaxValueLength characters come back.
  std::string ReadString(std::string_view section, std::string_view ident, std::string_view def) override;
  // A value holding a line break is cut at the first CR or LF: what follows
  // would otherwise land in the file as keys of its own. Raises
  // EIniFileException "Unable to write to <file>" when the file cannot be written.
  void WriteString(std::string_view section, std::string_view ident, std::string_view value) override;
};
