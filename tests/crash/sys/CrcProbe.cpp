// A small program that checks its own file at start-up like Pinmark does,
// then writes its INI file and says so. The tests run damaged copies of it.
#include <cstdio>
#include <fstream>

#include "crash/handling/CDStartup.h"
#include "runtime/SysUtils.h"

int main() {
  CheckFileCrc();
  std::ofstream ini(ChangeFileExt(ApplicationExeName(), ".ini"), std::ios::binary);
  ini << "[Program]\r\nStarted=1\r\n";
  ini.close();
  std::puts(ini ? "started" : "cannot write the INI file");
  return ini ? 0 : 3;
}
