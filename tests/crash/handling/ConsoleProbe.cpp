// A console program with the crash reporter and no windows at all: what it
// shows goes to standard output. Its argument chooses what goes wrong:
// "thread-exception" (the program goes on and prints "went on"), "segv".
// PROBE_BUGREPORT names the bug-report file.
#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "crash/handling/CDStartup.h"
#include "crash/settings/ICDSettings.h"
#include "runtime/Exception.h"

namespace {
void* Raise(void*) { throw EConvertError("'x' is not a valid integer value"); }

__attribute__((no_sanitize("undefined"))) void WriteNull() {
  volatile int* volatile target = nullptr;
  *target = 1;
}
}  // namespace

int main(int argc, char** argv) {
  InitMainModuleSettings();
  if (const char* file = std::getenv("PROBE_BUGREPORT")) TICDSettings().SetBugRepFile(file);
  TCDStartup::Start();
  const char* kind = argc > 1 ? argv[1] : "";
  if (std::strcmp(kind, "thread-exception") == 0) {
    pthread_t t;
    pthread_create(&t, nullptr, Raise, nullptr);
    pthread_join(t, nullptr);
  } else if (std::strcmp(kind, "segv") == 0) {
    WriteNull();
  }
  std::printf("went on\n");
  std::fflush(stdout);
  TCDStartup::Stop();
  return 0;
}
