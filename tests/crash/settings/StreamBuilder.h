// Builds settings streams byte by byte, damaged ones included.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class StreamBuilder {
 public:
  StreamBuilder& Raw(std::string_view s) {
    bytes.insert(bytes.end(), s.begin(), s.end());
    return *this;
  }
  StreamBuilder& Byte(uint8_t b) {
    bytes.push_back(b);
    return *this;
  }
  StreamBuilder& Int(uint32_t v, int width) {
    for (int i = 0; i < width; ++i) bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  StreamBuilder& Short(std::string_view s) { return Byte(static_cast<uint8_t>(s.size())).Raw(s); }
  StreamBuilder& Header() { return Raw("TPF0").Short("TCrashReporter").Short("crashDesk"); }
  // A property name and its kind; the value follows with the calls above.
  StreamBuilder& Prop(std::string_view name, uint8_t kind) { return Short(name).Byte(kind); }
  StreamBuilder& IntProp(std::string_view name, int32_t v) { return Prop(name, 4).Int(static_cast<uint32_t>(v), 4); }
  StreamBuilder& TextProp(std::string_view name, std::string_view s) { return Prop(name, 6).Short(s); }
  StreamBuilder& End() { return Byte(0); }

  std::vector<uint8_t> bytes;
};
