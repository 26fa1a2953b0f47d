#include "service/core/AccountList.h"

#include <fstream>

#include "service/core/NameRules.h"

std::vector<TListedAccount> ReadAccountList(std::string_view text, std::string_view source) {
  std::vector<TListedAccount> accounts;
  int number = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::size_t b = line.find_first_not_of(" \t");
    if (b == std::string_view::npos || line[b] == '#') continue;
    line.remove_prefix(b);
    const std::size_t sep = line.find_first_of(": \t");
    const std::string_view name = line.substr(0, sep);
    std::string_view digest;
    if (sep != std::string_view::npos) {
      digest = line.substr(sep);
      digest.remove_prefix(std::min(digest.size(), digest.find_first_not_of(": \t")));
      digest = digest.substr(0, digest.find_last_not_of(" \t") + 1);
    }
    const std::string where = std::string(source) + ":" + std::to_string(number) + ": ";
    if (name.empty() || !IsDigest(digest)) throw EAccountList(where + "expected a name and a 32-digit MD5 hex digest");
    try {
      CheckRequestName("the account name", name);
    } catch (const EBadName& e) {
      throw EAccountList(where + e.Message());
    }
    accounts.push_back({std::string(name), NormalDigest(digest)});
  }
  return accounts;
}

std::vector<TListedAccount> ReadAccountFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw EAccountList("cannot read " + path);
  // Read by blocks up to the limit, so that a device that never ends (or a
  // huge wrong file) is refused instead of filling the memory.
  std::string text;
  char block[65536];
  while (in.read(block, sizeof block) || in.gcount() > 0) {
    text.append(block, static_cast<std::size_t>(in.gcount()));
    if (text.size() > MaxAccountFileBytes)
      throw EAccountList(path + " is larger than " + std::to_string(MaxAccountFileBytes >> 20) +
                         " MiB: not an accounts file");
  }
  if (in.bad()) throw EAccountList("cannot read " + path);
  return ReadAccountList(text, path);
}
