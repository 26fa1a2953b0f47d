#include "tools/settingsstream/ObjectTextConverter.h"

#include <cctype>
#include <set>
#include <string>

#include "runtime/SysUtils.h"

namespace {

[[noreturn]] void Fail(int line, const std::string& message) {
  throw EObjectTextError("line " + IntToStr(line) + ": " + message);
}

bool IsIdentStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool IsIdentChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.'; }
bool IsIdent(std::string_view s) {
  if (s.empty() || !IsIdentStart(s[0])) return false;
  for (char c : s)
    if (!IsIdentChar(c)) return false;
  return true;
}

// Appends the code points of a UTF-8 piece; invalid UTF-8 is an error.
void DecodeUtf8(std::string_view s, std::u32string& out, int line) {
  for (std::size_t i = 0; i < s.size();) {
    auto b = static_cast<unsigned char>(s[i]);
    int extra = b < 0x80 ? 0 : (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : -1;
    if (extra < 0 || i + static_cast<std::size_t>(extra) >= s.size() + (extra == 0 ? 1 : 0))
      Fail(line, "the text is not valid UTF-8");  // a lead byte without all its continuation bytes
    char32_t cp = extra == 0 ? b : b & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
      auto c = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
      if ((c & 0xC0) != 0x80) Fail(line, "the text is not valid UTF-8");
      cp = (cp << 6) | (c & 0x3F);
    }
    static const char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) Fail(line, "the text is not valid UTF-8");
    out += cp;
    i += static_cast<std::size_t>(extra) + 1;
  }
}

// Parses the text pieces of one line into out; returns true when the line
// ends with "+" (the text goes on in the next line).
bool ParseTextPieces(std::string_view s, std::u32string& out, int line) {
  std::size_t i = 0;
  bool any = false;
  while (true) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    if (i >= s.size()) {
      if (!any) Fail(line, "a text value is missing");
      return false;
    }
    if (s[i] == '+' && any) {
      ++i;
      while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
      if (i >= s.size()) return true;
      continue;
    }
    if (s[i] == '\'') {
      std::string piece;
      ++i;
      while (true) {
        if (i >= s.size()) Fail(line, "unterminated text");
        if (s[i] == '\'') {
          if (i + 1 < s.size() && s[i + 1] == '\'') {
            piece += '\'';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        piece += s[i++];
      }
      DecodeUtf8(piece, out, line);
      any = true;
    } else if (s[i] == '#') {
      ++i;
      std::size_t start = i;
      if (i < s.size() && s[i] == '$') ++i;
      while (i < s.size() && std::isxdigit(static_cast<unsigned char>(s[i]))) ++i;
      int32_t code = 0;
      if (!TryStrToInt(s.substr(start, i - start), code) || code < 0 || code > 0x10FFFF ||
          (code >= 0xD800 && code <= 0xDFFF))
        Fail(line, "invalid character code");
      out += static_cast<char32_t>(code);
      any = true;
    } else {
      Fail(line, "unexpected '" + std::string(1, s[i]) + "' in a text value");
    }
  }
}

void PutShortString(std::vector<uint8_t>& out, std::string_view s) {
  out.push_back(static_cast<uint8_t>(s.size()));
  out.insert(out.end(), s.begin(), s.end());
}

void PutInt(std::vector<uint8_t>& out, uint32_t value, int width) {
  for (int i = 0; i < width; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void PutText(std::vector<uint8_t>& out, const std::u32string& text) {
  bool ascii = true;
  for (char32_t c : text) ascii = ascii && c < 0x80;
  if (ascii) {
    std::string s(text.begin(), text.end());
    if (s.size() <= 255) {
      out.push_back(6);
      PutShortString(out, s);
    } else {
      out.push_back(12);
      PutInt(out, static_cast<uint32_t>(s.size()), 4);
      out.insert(out.end(), s.begin(), s.end());
    }
    return;
  }
  std::u16string wide;
  for (char32_t c : text) {
    if (c >= 0x10000) {
      wide += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      wide += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      wide += static_cast<char16_t>(c);
    }
  }
  out.push_back(18);
  PutInt(out, static_cast<uint32_t>(wide.size()), 4);
  for (char16_t u : wide) PutInt(out, u, 2);
}

void PutInteger(std::vector<uint8_t>& out, int32_t v) {
  if (v >= -128 && v <= 127) {
    out.push_back(2);
    PutInt(out, static_cast<uint32_t>(v), 1);
  } else if (v >= -32768 && v <= 32767) {
    out.push_back(3);
    PutInt(out, static_cast<uint32_t>(v), 2);
  } else {
    out.push_back(4);
    PutInt(out, static_cast<uint32_t>(v), 4);
  }
}

}  // namespace

std::vector<uint8_t> TObjectTextConverter::Convert(std::string_view text) const {
  std::vector<std::string> lines;
  {
    std::size_t start = 0;
    while (start <= text.size()) {
      std::size_t end = text.find('\n', start);
      std::string_view l = text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
      if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
      lines.emplace_back(l);
      if (end == std::string_view::npos) break;
      start = end + 1;
    }
  }

  std::vector<uint8_t> out;
  enum { BeforeObject, InObject, AfterEnd } state = BeforeObject;
  std::set<std::string> seen;
  int count = 0;

  for (std::size_t n = 0; n < lines.size(); ++n) {
    const int lineNo = static_cast<int>(n) + 1;
    std::string line = Trim(lines[n]);
    if (line.empty() || line.starts_with("//")) continue;

    if (state == AfterEnd) Fail(lineNo, "text after the closing 'end'");

    if (state == BeforeObject) {
      // object <name>: <class>
      if (!StartsText("object ", line)) Fail(lineNo, "expected 'object <name>: <class>'");
      std::string rest = Trim(std::string_view(line).substr(7));
      std::size_t colon = rest.find(':');
      std::string name = Trim(std::string_view(rest).substr(0, colon));
      std::string cls = colon == std::string::npos ? std::string() : Trim(std::string_view(rest).substr(colon + 1));
      if (!IsIdent(name) || !IsIdent(cls)) Fail(lineNo, "expected 'object <name>: <class>'");
      if (name.size() > 255 || cls.size() > 255) Fail(lineNo, "name too long");
      out = {'T', 'P', 'F', '0'};
      PutShortString(out, cls);
      PutShortString(out, name);
      state = InObject;
      continue;
    }

    if (SameText(line, "end")) {
      out.push_back(0);
      state = AfterEnd;
      continue;
    }
    if (StartsText("object ", line) || StartsText("inherited ", line) || StartsText("inline ", line))
      Fail(lineNo, "nested objects are not supported");

    std::size_t eq = line.find('=');
    if (eq == std::string::npos) Fail(lineNo, "expected 'Name = Value'");
    std::string name = Trim(std::string_view(line).substr(0, eq));
    std::string value = Trim(std::string_view(line).substr(eq + 1));
    if (!IsIdent(name) || name.size() > 255) Fail(lineNo, "invalid property name '" + name + "'");
    if (!seen.insert(UpperCase(name)).second) Fail(lineNo, "property '" + name + "' given twice");
    if (++count > maxProperties_)
      Fail(lineNo, "more than " + IntToStr(maxProperties_) + " properties; the reader keeps no more");
    if (value.empty()) Fail(lineNo, "a value is missing");

    PutShortString(out, name);
    if (SameText(value, "True")) {
      out.push_back(9);
    } else if (SameText(value, "False")) {
      out.push_back(8);
    } else if (value[0] == '\'' || value[0] == '#') {
      std::u32string textValue;
      std::string_view piece = value;
      while (ParseTextPieces(piece, textValue, lineNo)) {
        if (++n >= lines.size()) Fail(lineNo, "the text goes on past the end of the file");
        lines[n] = Trim(lines[n]);
        piece = lines[n];
      }
      PutText(out, textValue);
    } else {
      int32_t v = 0;
      if (!TryStrToInt(value, v)) Fail(lineNo, "invalid value '" + value + "'");
      PutInteger(out, v);
    }
  }
  if (state == BeforeObject) Fail(static_cast<int>(lines.size()), "no object in the file");
  if (state == InObject) Fail(static_cast<int>(lines.size()), "the closing 'end' is missing");
  return out;
}
