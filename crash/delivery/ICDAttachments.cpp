#include "crash/delivery/ICDAttachments.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "runtime/SysUtils.h"

namespace {

// A name from the settings used inside our folder: never a path.
std::string MailName(const TCDAttachment& a) {
  std::string name = ExtractFileName(a.SendAs);
  if (name.empty() || name == "." || name == "..") name = ExtractFileName(a.File);
  return name;
}

}  // namespace

bool CopyFileContent(const std::string& from, const std::string& to) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(from, ec)) return false;
  return std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, ec) && !ec;
}

std::vector<std::string> TICDAttachments::Prepare(const std::string& folder) const {
  std::vector<std::string> paths;
  for (const TCDAttachment& a : items_) {
    std::string name = MailName(a);
    if (name.empty()) continue;
    std::string target = folder + name;
    std::error_code ec;
    if (std::filesystem::equivalent(a.File, target, ec) || CopyFileContent(a.File, target)) paths.push_back(target);
  }
  return paths;
}

