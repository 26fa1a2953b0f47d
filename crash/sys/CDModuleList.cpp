#include "crash/sys/CDModuleList.h"

#include <elf.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "crash/sys/CDMemory.h"
#include "runtime/SysUtils.h"
#include "runtime/VersionInfo.h"

namespace {

bool IsElfImageInMemory(const TCDMapping& m) {
  if (m.Offset != 0 || !m.Read) return false;
  unsigned char magic[SELFMAG];
  return ReadOwnMemory(m.Start, magic, sizeof magic) && std::memcmp(magic, ELFMAG, SELFMAG) == 0;
}

std::string ModuleVersion(const std::string& path) {
  if (path == ApplicationExeName()) return ExecutableFileVersion();
  return VersionFromLibraryName(ExtractFileName(path));
}

std::string PadRight(std::string s, std::size_t width) {
  if (s.size() < width) s.append(width - s.size(), ' ');
  return s;
}

}  // namespace

void SplitModulePath(std::string_view path, std::string& folder, std::string& name) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) {
    folder.clear();
    name = std::string(path);
  } else {
    folder = std::string(path.substr(0, slash));
    name = std::string(path.substr(slash + 1));
  }
}

std::string JoinListLines(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& line : lines) {
    out += "\r\n";
    out += line;
  }
  return out.size() >= 2 ? out.substr(2) : out;
}

std::string VersionFromLibraryName(std::string_view fileName) {
  std::size_t so = fileName.find(".so.");
  if (so == std::string_view::npos) return std::string();
  std::string_view version = fileName.substr(so + 4);
  // Only dot-separated numbers count ("libfoo.so.1.2.3", not "libfoo.so.conf").
  if (version.empty() || version.front() == '.' || version.back() == '.') return std::string();
  for (std::size_t i = 0; i < version.size(); ++i) {
    char c = version[i];
    if (c == '.' ? version[i - 1] == '.' : (c < '0' || c > '9')) return std::string();
  }
  return std::string(version);
}

std::string ExecutableFileVersion() {
  const std::string exe = ApplicationExeName();
  const uint32_t size = GetFileVersionInfoSize(exe);
  if (size == 0) return std::string();
  std::vector<char> block(size, 0);
  if (!GetFileVersionInfo(exe, size, block.data())) return std::string();
  const char* value = nullptr;
  uint32_t length = 0;
  if (!VerQueryValue(block.data(), "\\StringFileInfo\\0C0904E4\\FileVersion", value, length)) return std::string();
  // Four 16-bit numbers, most significant first; all zero is no version.
  std::vector<std::string> parts = SplitItems(Trim(value), '.');
  if (parts.empty() || parts.size() > 4) return std::string();
  std::string out;
  bool nonZero = false;
  for (std::size_t i = 0; i < 4; ++i) {
    int64_t n = 0;
    if (i < parts.size() && (!TryDecimalToInt64(parts[i], n) || n < 0 || n > 0xFFFF)) return std::string();
    nonZero = nonZero || n != 0;
    if (i > 0) out += '.';
    out += std::to_string(n);
  }
  return nonZero ? out : std::string();
}

std::vector<TCDModuleEntry> CollectModules(const std::vector<TCDMapping>& mappings, const TCDIsElfImage& isElf,
                                           const TCDModuleVersion& version) {
  // A loaded module runs code: a file that is only mapped for reading, as a
  // symbol reader maps a library or a separate debug file, is no module. Its
  // base is the start of the image that holds its (first) code mapping: the
  // nearest start of the file's ELF image at or below that code, not a
  // reader's mapping of the same file elsewhere.
  std::map<std::string, uint64_t> code;
  for (const TCDMapping& m : mappings)
    if (m.Exec && m.IsFile()) {
      auto [at, added] = code.emplace(m.Path, m.Start);
      if (!added) at->second = std::min(at->second, m.Start);
    }
  std::map<std::string, const TCDMapping*> image;
  for (const TCDMapping& m : mappings) {
    auto found = code.find(m.Path);
    if (found == code.end() || m.Start > found->second) continue;
    const TCDMapping*& best = image[m.Path];
    if ((best == nullptr || m.Start > best->Start) && isElf(m)) best = &m;
  }
  std::vector<TCDModuleEntry> out;
  for (const auto& [path, m] : image) {
    if (m == nullptr) continue;
    TCDModuleEntry e;
    e.Base = m->Start;
    SplitModulePath(path, e.Folder, e.FileName);
    e.Version = version(path);
    out.push_back(std::move(e));
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const TCDModuleEntry& a, const TCDModuleEntry& b) { return a.Base < b.Base; });
  return out;
}

std::string FormatModuleList(const std::vector<TCDModuleEntry>& modules) {
  std::size_t nameWidth = 0, versionWidth = 0;
  for (const TCDModuleEntry& m : modules) {
    nameWidth = std::max(nameWidth, m.FileName.size());
    versionWidth = std::max(versionWidth, m.Version.size());
  }
  ++nameWidth;
  ++versionWidth;
  std::vector<std::string> lines;
  lines.reserve(modules.size());
  for (const TCDModuleEntry& m : modules)
    lines.push_back(Format("%016llx ", static_cast<unsigned long long>(m.Base)) + PadRight(m.FileName, nameWidth) +
                    PadRight(m.Version, versionWidth) + m.Folder);
  return JoinListLines(lines);
}

std::string ListModules() {
  return FormatModuleList(
      CollectModules(TCDAddressSpace::OfThisProcess().Mappings(), IsElfImageInMemory, ModuleVersion));
}
