// pinmark_stampchecksum <executable>
//
// Post-link step: writes the file's checksum into its checksum section, so
// that the program can recognise a damaged copy of itself at start-up.
#include <cstdio>

#include "crash/sys/FileCrc.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <executable>\n", argv[0]);
    return 2;
  }
  try {
    uint32_t sum = StampFileChecksum(argv[1]);
    std::printf("%s: checksum $%08x\n", argv[1], sum);
  } catch (const EFileCrcError& e) {
    std::fprintf(stderr, "%s\n", e.Message().c_str());
    return 1;
  }
  return 0;
}
