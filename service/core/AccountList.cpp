#include "service/core/AccountList.h"

#include "service/core/NameRules.h"

bool ReadAccountList(std::string_view text, std::string_view source, std::vector<TListedAccount>& accounts,
                     std::string& error) {
  accounts.clear();
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
    if (name.empty() || !IsDigest(digest)) {
      error = where + "expected a name and a 32-digit MD5 hex digest";
      return false;
    }
    if (std::string problem = RequestNameProblem("the account name", name); !problem.empty()) {
      error = where + problem;
      return false;
    }
    accounts.push_back({std::string(name), NormalDigest(digest)});
  }
  return true;
}
