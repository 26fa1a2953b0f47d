#include "runtime/VersionInfo.h"

#include <sys/stat.h>

#include <cstring>
#include <limits>

#include "runtime/Resources.h"
#include "runtime/StringList.h"
#include "runtime/SysUtils.h"

namespace {
// Block layout: the magic, the block's total size (little-endian), then one
// "path\0value\0" pair per entry.
constexpr char kMagic[4] = {'P', 'M', 'V', 'I'};
constexpr std::size_t kHeaderSize = 8;

void PutLE32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

uint32_t GetLE32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

bool SameFile(std::string_view a, std::string_view b) {
  struct stat sa {}, sb {};
  if (stat(std::string(a).c_str(), &sa) != 0 || stat(std::string(b).c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// The compiled table of the running executable, or empty when the file is
// another one or the executable carries no table.
std::string BlockFor(std::string_view fileName) {
  if (fileName.empty() || !SameFile(fileName, ApplicationExeName())) return std::string();
  std::span<const uint8_t> res = FindResource(kVersionResourceType, kVersionResourceName);
  if (res.data() == nullptr) return std::string();
  return CompileVersionTable(std::string_view(reinterpret_cast<const char*>(res.data()), res.size()));
}
}  // namespace

std::string CompileVersionTable(std::string_view text) {
  TStringList lines;
  lines.SetText(text);
  std::string body;
  std::string section;
  for (const std::string& raw : lines.Items()) {
    std::string line = Trim(raw);
    if (line.empty() || line[0] == ';') continue;
    if (line.front() == '[') {
      section = line.back() == ']' ? line.substr(1, line.size() - 2) : std::string();
      continue;
    }
    std::size_t eq = raw.find('=');
    if (section.empty() || eq == std::string::npos) continue;
    std::string key = Trim(std::string_view(raw).substr(0, eq));
    if (key.empty()) continue;
    // A value may not hold a zero: it would end the value early for every reader.
    std::string value = raw.substr(eq + 1);
    value = value.substr(0, value.find('\0'));
    std::string path = "\\" + section + "\\" + key;
    if (path.find('\0') != std::string::npos) continue;
    body += path;
    body.push_back('\0');
    body += value;
    body.push_back('\0');
  }
  if (body.size() > std::numeric_limits<uint32_t>::max() - kHeaderSize) return std::string();
  std::string block(kMagic, sizeof kMagic);
  PutLE32(block, static_cast<uint32_t>(kHeaderSize + body.size()));
  return block + body;
}

uint32_t GetFileVersionInfoSize(std::string_view fileName) {
  std::string block = BlockFor(fileName);
  // A table without a single entry is no version information.
  return block.size() > kHeaderSize ? static_cast<uint32_t>(block.size()) : 0;
}

bool GetFileVersionInfo(std::string_view fileName, uint32_t size, void* data) {
  if (data == nullptr) return false;
  std::string block = BlockFor(fileName);
  if (block.size() <= kHeaderSize || size < block.size()) return false;
  std::memcpy(data, block.data(), block.size());
  return true;
}

bool VerQueryValue(const void* block, std::string_view subBlock, const char*& buffer, uint32_t& length) {
  buffer = nullptr;
  length = 0;
  if (block == nullptr) return false;
  const auto* bytes = static_cast<const unsigned char*>(block);
  if (std::memcmp(bytes, kMagic, sizeof kMagic) != 0) return false;
  const std::size_t size = GetLE32(bytes + 4);
  if (size < kHeaderSize) return false;

  std::string wanted(subBlock);
  if (wanted.empty() || wanted[0] != '\\') wanted.insert(wanted.begin(), '\\');

  const char* text = reinterpret_cast<const char*>(bytes);
  std::size_t pos = kHeaderSize;
  while (pos < size) {
    const std::size_t pathLen = strnlen(text + pos, size - pos);
    if (pos + pathLen >= size) return false;  // unterminated: damaged block
    const std::size_t valuePos = pos + pathLen + 1;
    if (valuePos >= size) return false;
    const std::size_t valueLen = strnlen(text + valuePos, size - valuePos);
    if (valuePos + valueLen >= size) return false;
    if (SameText(std::string_view(text + pos, pathLen), wanted)) {
      buffer = text + valuePos;
      length = static_cast<uint32_t>(valueLen + 1);
      return true;
    }
    pos = valuePos + valueLen + 1;
  }
  return false;
}
