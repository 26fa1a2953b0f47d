#include "crash/sys/CDAddressSpace.h"

#include <algorithm>

#include "crash/sys/CDProcFile.h"

namespace {

bool ParseHex(std::string_view s, uint64_t& value) {
  if (s.empty() || s.size() > 16) return false;
  uint64_t v = 0;
  for (char c : s) {
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return false;
    v = v << 4 | static_cast<uint64_t>(d);
  }
  value = v;
  return true;
}

bool ParseDec(std::string_view s, uint64_t& value) {
  if (s.empty() || s.size() > 19) return false;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  value = v;
  return true;
}

// Takes the next blank-separated word off the front.
std::string_view NextWord(std::string_view& rest) {
  std::size_t start = rest.find_first_not_of(' ');
  if (start == std::string_view::npos) {
    rest = {};
    return {};
  }
  rest.remove_prefix(start);
  std::size_t end = rest.find(' ');
  std::string_view word = rest.substr(0, end);
  rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
  return word;
}

bool ParseMapsLine(std::string_view line, TCDMapping& m) {
  std::string_view rest = line;
  std::string_view range = NextWord(rest), perms = NextWord(rest), offset = NextWord(rest);
  std::string_view device = NextWord(rest), inode = NextWord(rest);
  std::size_t dash = range.find('-');
  if (dash == std::string_view::npos || !ParseHex(range.substr(0, dash), m.Start) ||
      !ParseHex(range.substr(dash + 1), m.End) || m.End <= m.Start)
    return false;
  if (perms.size() != 4 || device.find(':') == std::string_view::npos) return false;
  if (!ParseHex(offset, m.Offset) || !ParseDec(inode, m.Inode)) return false;
  m.Read = perms[0] == 'r';
  m.Write = perms[1] == 'w';
  m.Exec = perms[2] == 'x';
  m.Shared = perms[3] == 's';
  std::size_t path = rest.find_first_not_of(' ');
  m.Path = path == std::string_view::npos ? std::string() : std::string(rest.substr(path));
  return true;
}

}  // namespace

std::vector<TCDMapping> ParseProcMaps(std::string_view text) {
  std::vector<TCDMapping> out;
  ForEachLine(text, [&](std::string_view line) {
    TCDMapping m;
    if (ParseMapsLine(line, m)) out.push_back(std::move(m));
  });
  return out;
}

TCDAddressSpace::TCDAddressSpace(std::vector<TCDMapping> mappings) : mappings_(std::move(mappings)) {
  std::sort(mappings_.begin(), mappings_.end(),
            [](const TCDMapping& a, const TCDMapping& b) { return a.Start < b.Start; });
}

TCDAddressSpace TCDAddressSpace::OfThisProcess() {
  return TCDAddressSpace(ParseProcMaps(ReadProcFile("/proc/self/maps", 64u << 20)));
}

const TCDMapping* TCDAddressSpace::Find(uint64_t address) const {
  auto it = std::upper_bound(mappings_.begin(), mappings_.end(), address,
                             [](uint64_t a, const TCDMapping& m) { return a < m.Start; });
  if (it == mappings_.begin()) return nullptr;
  --it;
  return address < it->End ? &*it : nullptr;
}

bool TCDAddressSpace::IsCode(uint64_t address) const {
  const TCDMapping* m = Find(address);
  return m && m->Exec;
}

bool TCDAddressSpace::IsReadable(uint64_t address, uint64_t size) const {
  if (size == 0) return true;
  if (address + size < address) return false;
  return ReadableEnd(address) >= address + size;
}

uint64_t TCDAddressSpace::ReadableEnd(uint64_t address) const {
  const TCDMapping* m = Find(address);
  if (!m || !m->Read) return 0;
  uint64_t end = m->End;
  for (auto i = static_cast<std::size_t>(m - mappings_.data()) + 1; i < mappings_.size(); ++i) {
    if (mappings_[i].Start != end || !mappings_[i].Read) break;
    end = mappings_[i].End;
  }
  return end;
}
