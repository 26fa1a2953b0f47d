#include "runtime/PrivateProfile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>

#include "runtime/AtomicFile.h"
#include "runtime/SysUtils.h"

namespace {
// Lines are handled in pieces of at most this size, so a file with an
// enormous line costs no more memory than an ordinary one.
constexpr std::size_t kLineHead = 65536;

struct FileCloser {
  void operator()(FILE* f) const {
    if (f) std::fclose(f);
  }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Reads a file line by line; each line's first kLineHead bytes come back as
// its head, the rest can be copied or skipped.
class LineReader {
 public:
  explicit LineReader(FILE* f) : f_(f) {}

  // False at the end of the file. `head` excludes the line break.
  bool Next(std::string& head) {
    head.clear();
    rest_ = false;
    int c;
    while ((c = std::fgetc(f_)) != EOF) {
      if (c == '\n') return true;
      if (head.size() == kLineHead) {
        std::ungetc(c, f_);
        rest_ = true;
        return true;
      }
      head += static_cast<char>(c);
    }
    return !head.empty();
  }

  // Copies the rest of an over-long line to out (or drops it when out is null).
  bool FinishLine(FILE* out) {
    if (!rest_) return true;
    int c;
    while ((c = std::fgetc(f_)) != EOF && c != '\n')
      if (out && std::fputc(c, out) == EOF) return false;
    rest_ = false;
    return true;
  }

 private:
  FILE* f_;
  bool rest_ = false;
};

std::string_view StripCr(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// The section name of a header line "[name]", or false.
bool SectionOf(std::string_view line, std::string& name) {
  std::string t = Trim(StripCr(line));
  if (t.size() < 2 || t.front() != '[') return false;
  std::size_t close = t.find(']');
  if (close == std::string::npos) return false;
  name = Trim(std::string_view(t).substr(1, close - 1));
  return true;
}

// The key of a "key=value" line and where its value starts, or false.
bool KeyOf(std::string_view line, std::string& key, std::size_t& valueStart) {
  std::size_t eq = line.find('=');
  if (eq == std::string_view::npos) return false;
  key = Trim(line.substr(0, eq));
  valueStart = eq + 1;
  return true;
}

std::string Cut(std::string_view s, std::size_t bufferSize) {
  std::size_t limit = bufferSize == 0 ? 0 : bufferSize - 1;
  return std::string(s.substr(0, std::min(s.size(), limit)));
}

bool WriteAll(FILE* out, std::string_view text) {
  return text.empty() || std::fwrite(text.data(), 1, text.size(), out) == text.size();
}

FilePtr AsFile(int fd) {
  if (fd < 0) return nullptr;
  if (FILE* f = ::fdopen(fd, "rb")) return FilePtr(f);
  const int saved = errno;
  ::close(fd);
  errno = saved;
  return nullptr;
}

}  // namespace

std::string GetPrivateProfileString(std::string_view section, std::string_view key, std::string_view def,
                                    const std::string& fileName, std::size_t bufferSize) {
  struct stat st {};
  FilePtr f = AsFile(OpenRegularFile(fileName, st));
  if (!f) return Cut(def, bufferSize);
  LineReader reader(f.get());
  std::string line, name, k;
  bool inSection = false;
  while (reader.Next(line)) {
    reader.FinishLine(nullptr);
    if (SectionOf(line, name)) {
      inSection = SameText(name, section);
      continue;
    }
    std::size_t valueStart = 0;
    if (inSection && KeyOf(line, k, valueStart) && SameText(k, key))
      return Cut(Trim(StripCr(std::string_view(line).substr(valueStart))), bufferSize);
  }
  return Cut(def, bufferSize);
}

bool WritePrivateProfileString(std::string_view section, std::string_view key, std::string_view value,
                               const std::string& fileName) {
  const std::string target = FollowLinks(fileName);
  struct stat st {};
  FilePtr in = AsFile(OpenLockedForReplace(target, -1, st));
  if (!in || !MayReplace(target, st)) return false;
  TAtomicFileWriter writer;
  if (!writer.Open(target)) return false;
  FILE* out = writer.File();

  const std::string entry = std::string(key) + "=" + std::string(value) + "\n";
  bool ok = true, done = false, inSection = false;
  std::string pendingBlanks;  // blank lines held back so a new key joins its section's last line
  LineReader reader(in.get());
  std::string line, name, k;
  while (ok && reader.Next(line)) {
    if (SectionOf(line, name)) {
      if (inSection && !done) {
        ok = WriteAll(out, entry);
        done = true;
      }
      inSection = !done && SameText(name, section);
    } else if (inSection && !done) {
      std::size_t valueStart = 0;
      if (KeyOf(line, k, valueStart) && SameText(k, key)) {
        ok = reader.FinishLine(nullptr) && WriteAll(out, pendingBlanks) && WriteAll(out, entry);
        pendingBlanks.clear();
        done = true;
        continue;
      }
      if (Trim(line).empty()) {
        pendingBlanks += line + "\n";
        continue;
      }
    }
    ok = ok && WriteAll(out, pendingBlanks) && WriteAll(out, line) && reader.FinishLine(out) &&
         std::fputc('\n', out) != EOF;
    pendingBlanks.clear();
  }
  if (ok && std::ferror(in.get())) {
    ok = false;
    errno = EIO;
  }
  if (ok && !done) {
    if (!inSection) ok = WriteAll(out, "[" + std::string(section) + "]\n");
    ok = ok && WriteAll(out, entry);
  }
  ok = ok && WriteAll(out, pendingBlanks);
  if (!ok) {
    writer.Cancel();
    return false;
  }
  // The old file stays locked until the new one has taken its place.
  return writer.Commit();
}
