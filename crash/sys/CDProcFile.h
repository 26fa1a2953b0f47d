// The thin reader under every parser of /proc, /sys and other outside text:
// it only fetches the bytes, so that each parser works on a string_view and
// can be tested on fixed texts and fuzzed.
//
// Reads are bounded: a file larger than the limit is cut at the limit, so a
// runaway file can never make the crash reporter allocate without end.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The whole file, or its first `limit` bytes; empty when it cannot be read.
// Works for files whose size the system does not know (/proc).
std::string ReadProcFile(const std::string& path, std::size_t limit = 4u << 20);

// The target of a symbolic link (/proc/<pid>/exe), empty when unreadable.
std::string ReadProcLink(const std::string& path);

// The words of a text: the runs between any of the `blanks` characters.
std::vector<std::string_view> SplitWords(std::string_view text, std::string_view blanks = " ");

// Lines of a text, without their line breaks; the last line needs none.
// Calls f(line) for each line in order.
template <typename F>
void ForEachLine(std::string_view text, F f) {
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    f(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
}
