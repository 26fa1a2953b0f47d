// Text helpers shared by every subsystem: number conversion, trimming, case,
// printf-style formatting and file-name pieces. Text is 8-bit throughout; the
// case helpers touch ASCII letters only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/Exception.h"

// printf-style formatting into a std::string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Trimming removes characters of code 32 and below.
std::string Trim(std::string_view s);
std::string TrimLeft(std::string_view s);
std::string TrimRight(std::string_view s);

std::string UpperCase(std::string_view s);
std::string LowerCase(std::string_view s);
bool SameText(std::string_view a, std::string_view b);
bool StartsText(std::string_view prefix, std::string_view s);
// Position of needle in haystack ignoring case, or npos.
std::size_t FindText(std::string_view haystack, std::string_view needle);

// The items of a text separated by `separator`, each trimmed; an empty text
// has no items, a separator at the end adds an empty one.
std::vector<std::string> SplitItems(std::string_view text, char separator);

// Replaces every occurrence of from by to; with ignoreCase the search ignores
// ASCII case.
std::string ReplaceAll(std::string_view s, std::string_view from, std::string_view to, bool ignoreCase = false);

// Copies the bytes for which keep answers true and writes every other byte
// as "%" and two upper-case hexadecimal digits.
std::string PercentEncode(std::string_view text, bool (*keep)(unsigned char));

// Integer conversion: optional leading blanks, an optional sign, then decimal
// digits, or hexadecimal digits after a "$" or "0x"/"0X" prefix. Nothing may
// follow the digits. Decimal values must fit the signed range; hexadecimal
// ones may use the full unsigned width and wrap (so "$FFFFFFFF" is -1).
bool TryStrToInt(std::string_view s, int32_t& value);
bool TryStrToInt64(std::string_view s, int64_t& value);
// Raises EConvertError "'<s>' is not a valid integer value".
int32_t StrToInt(std::string_view s);
int64_t StrToInt64(std::string_view s);
int32_t StrToIntDef(std::string_view s, int32_t def);
// Strictly decimal: an optional sign and digits, nothing else (no blanks, no
// hexadecimal prefix), within the signed 64-bit range. For numbers that come
// from protocol text, where "$10" or "0x10" must not pass as a number.
bool TryDecimalToInt64(std::string_view s, int64_t& value);
int64_t StrToInt64Def(std::string_view s, int64_t def);

std::string IntToStr(int64_t value);
// Upper-case hexadecimal, at least `digits` digits.
std::string IntToHex(uint64_t value, int digits);
// Lower-case hexadecimal of bytes, two digits each.
std::string BytesToHex(std::string_view bytes);

// File-name pieces, '/' being the separator.
std::string ExtractFileName(std::string_view path);
std::string ExtractFilePath(std::string_view path);  // with the trailing '/'
// Replaces the extension of the last path element (".ini"); a name without
// one gets the extension appended.
std::string ChangeFileExt(std::string_view path, std::string_view ext);
// Full path of the running executable.
std::string ApplicationExeName();

// Milliseconds from a monotonic clock, wrapping at 2^32.
uint32_t GetTickCount();
