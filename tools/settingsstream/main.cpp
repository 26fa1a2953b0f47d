// pinmark_settingsstream <settings text> <stream file>
//
// Build step: writes the binary settings stream for a settings text. The
// output is replaced in one step, so a failed run never leaves half a file.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "tools/settingsstream/ObjectTextConverter.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <settings text> <stream file>\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "%s: cannot open the file\n", argv[1]);
    return 1;
  }
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<uint8_t> stream;
  try {
    stream = TObjectTextConverter().Convert(text);
  } catch (const EObjectTextError& e) {
    std::fprintf(stderr, "%s: %s\n", argv[1], e.Message().c_str());
    return 1;
  }
  const std::string out = argv[2];
  const std::string tmp = out + ".tmp";
  {
    std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(stream.data()), static_cast<std::streamsize>(stream.size()));
    f.close();
    if (!f) {
      std::fprintf(stderr, "%s: cannot write the file\n", tmp.c_str());
      std::remove(tmp.c_str());
      return 1;
    }
  }
  if (std::rename(tmp.c_str(), out.c_str()) != 0) {
    std::fprintf(stderr, "%s: cannot replace the file\n", out.c_str());
    std::remove(tmp.c_str());
    return 1;
  }
  return 0;
}
