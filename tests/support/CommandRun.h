// Commands that tests run to their end, as a user would in a shell, and the
// files an install or a package leaves: shared by the packaging tests of the
// client and of the service.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"

// Runs a command to its end (at most limit) and returns its exit code; its
// standard output in out. A failure is reported with its standard error.
inline int RunToEnd(const std::string& program, const std::vector<std::string>& args,
                    const std::map<std::string, std::string>& env = {}, std::string* out = nullptr,
                    std::chrono::milliseconds limit = std::chrono::seconds(120)) {
  ChildProcess child(program, args, env);
  const int code = child.Wait(limit);
  if (out) *out = child.Out();
  if (code != 0) ADD_FAILURE() << program << " " << (args.empty() ? "" : args[0]) << ": " << child.Err();
  return code;
}

// Every file below root (folders left out), relative to it.
inline std::set<std::string> FilesBelow(const std::filesystem::path& root) {
  std::set<std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
    if (!entry.is_directory()) files.insert(std::filesystem::relative(entry.path(), root).string());
  return files;
}
