// The crash reporter's property table and the reader of the settings stream
// that fills it.
//
// The stream is a component stream: "TPF0", the root object's class name and
// object name as short strings, then properties (a short-string name, a
// one-byte value kind, the value) up to a zero byte. The stream comes from
// the executable, but a damaged file must not take the program down with it:
// the reader never reads past the end of the data and never trusts a length
// beyond what is left.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// Value kinds as they appear in the stream.
enum TCDValueKind : uint8_t {
  vaNull = 0,
  vaInt8 = 2,
  vaInt16 = 3,
  vaInt32 = 4,
  vaString = 6,
  vaFalse = 8,
  vaTrue = 9,
  vaLString = 12,
  vaWString = 18,
};

// What a table entry holds once read.
enum class TCDPropKind : uint8_t { None, Boolean, Integer, Text };

struct TCDProperty {
  std::string Name;
  TCDPropKind Kind = TCDPropKind::None;
  bool BoolValue = false;
  int32_t IntValue = 0;
  std::string TextValue;
};

inline constexpr int CDMaxProperties = 131;
inline constexpr std::string_view CDStreamSignature = "TPF0";
inline constexpr std::string_view CDStreamClassName = "TCrashReporter";
inline constexpr std::string_view CDStreamObjectName = "crashDesk";
// Signature plus both names with their length bytes.
inline constexpr std::size_t CDStreamHeaderSize = 4 + 1 + 14 + 1 + 9;

enum class TCDStreamStatus {
  NoHeader,     // not a settings stream: no table at all
  Complete,     // read up to the closing zero
  TableFull,    // stopped at the table's limit; the rest is ignored
  UnknownKind,  // stopped at a property of a kind the reader does not know
  Truncated,    // the data ended inside a property or before the closing zero
};

struct TCDStreamResult {
  TCDStreamStatus Status = TCDStreamStatus::NoHeader;
  uint8_t Kind = 0;  // the offending kind for UnknownKind
};

// The text of the box that reports a damaged stream; empty when the result
// needs none.
std::string InvalidSettingsResourceText(const TCDStreamResult& result);

// At most CDMaxProperties entries, allocated with the table; names compare
// without case and the first entry of a name wins.
class TCDPropertyTable {
 public:
  // Clears the table and reads the stream; entries read before a damaged
  // spot are kept.
  TCDStreamResult LoadFromStream(std::span<const uint8_t> data);

  int Count() const { return count_; }
  const TCDProperty& operator[](int index) const { return entries_.at(static_cast<std::size_t>(index)); }
  const TCDProperty* Find(std::string_view name) const;
  TCDProperty* Find(std::string_view name);
  // Replaces the value of an existing entry or appends one; false when the
  // table is full.
  bool Put(std::string_view name, const TCDProperty& value);
  void Clear();

 private:
  std::array<TCDProperty, CDMaxProperties> entries_{};
  int count_ = 0;
};

// UTF-16 (little-endian code units) to the program's 8-bit text, which is
// UTF-8 here; a lone surrogate becomes "?".
std::string WideToText(std::span<const uint8_t> utf16le);
