// The service's fuzz targets read their input as a few lines, one field a
// line (the last one may be missing or cut).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The first count lines of text, missing ones empty.
inline std::vector<std::string> FuzzLines(std::string_view text, std::size_t count) {
  std::vector<std::string> lines;
  while (lines.size() < count) {
    const std::size_t eol = text.find('\n');
    lines.emplace_back(text.substr(0, eol));
    text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
  }
  return lines;
}
