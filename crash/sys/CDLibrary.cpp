#include "crash/sys/CDLibrary.h"

#include <map>
#include <mutex>
#include <string>

void* CDOpenLibrary(const char* soname) {
  static std::mutex lock;
  static std::map<std::string, void*> opened;
  std::lock_guard<std::mutex> guard(lock);
  auto it = opened.find(soname);
  if (it != opened.end()) return it->second;
  // Never closed: functions bound from it stay valid for the process.
  void* handle = ::dlopen(soname, RTLD_NOW | RTLD_LOCAL);
  opened.emplace(soname, handle);
  return handle;
}
