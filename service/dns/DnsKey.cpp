#include "service/dns/DnsKey.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "runtime/Base64.h"

namespace {

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// Thrown inside the parsers and turned into EDnsKey with the origin in front.
struct TKeyProblem {
  std::string Text;
};
[[noreturn]] void Fail(std::string text) { throw TKeyProblem{std::move(text)}; }
[[noreturn]] void FailAt(int line, const std::string& text) { Fail("line " + std::to_string(line) + ": " + text); }

// A key name as a fully qualified lower-case domain name. Key names are
// chosen by operators, so labels may also hold '_' (as some generators use).
std::string KeyName(std::string_view text) {
  std::string name = Lower(text);
  if (!name.empty() && name.back() == '.') name.pop_back();
  if (name.empty()) Fail("the key has no name");
  if (name.size() > 253) Fail("the key's name is longer than 253 characters");
  std::size_t labelStart = 0;
  for (std::size_t i = 0; i <= name.size(); ++i) {
    if (i == name.size() || name[i] == '.') {
      const std::size_t length = i - labelStart;
      if (length == 0 || length > 63) Fail("the key's name \"" + name + "\" is not a domain name");
      labelStart = i + 1;
      continue;
    }
    const char c = name[i];
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_'))
      Fail("the key's name \"" + name + "\" holds a character other than letters, digits, '-', '_' and '.'");
  }
  return name + ".";
}

TDnsKeyAlgorithm Algorithm(std::string_view text) {
  std::string name = Lower(text);
  if (!name.empty() && name.back() == '.') name.pop_back();
  if (name == "hmac-sha256") return TDnsKeyAlgorithm::HmacSha256;
  if (name == "hmac-sha512") return TDnsKeyAlgorithm::HmacSha512;
  if (name.empty()) Fail("the key has no algorithm");
  Fail("the algorithm " + name + " is not supported: use hmac-sha256 or hmac-sha512");
}

// Strict base64: the standard alphabet, padded to a multiple of four.
std::string Secret(std::string_view text) {
  if (text.empty()) Fail("the key has no secret");
  if (text.size() % 4 != 0) Fail("the secret is not base64 (its length is not a multiple of 4)");
  std::optional<std::string> out = DecodeBase64(text);
  if (!out) Fail("the secret is not base64");
  if (out->empty()) Fail("the key has no secret");
  return std::move(*out);
}

// The parts of one key as found in a file, checked and converted at the end.
struct TKeyParts {
  std::optional<std::string> Name, Algorithm, Secret;
  int Line = 0;
};

TDnsKey Finish(const TKeyParts& parts) {
  if (!parts.Name) FailAt(parts.Line, "the key has no name");
  if (!parts.Algorithm) FailAt(parts.Line, "the key has no algorithm");
  if (!parts.Secret) FailAt(parts.Line, "the key has no secret");
  TDnsKey key;
  key.Name = KeyName(*parts.Name);
  key.Algorithm = Algorithm(*parts.Algorithm);
  key.Secret = Secret(*parts.Secret);
  return key;
}

// --- key "name" { algorithm ...; secret "..."; };

struct TToken {
  enum TKind { Word, String, Punct, End } Kind = End;
  std::string Text;
  int Line = 0;
};

class TStatementReader {
 public:
  explicit TStatementReader(std::string_view text) : text_(text) {}

  TToken Next() {
    SkipBlanksAndComments();
    TToken token;
    token.Line = line_;
    if (pos_ >= text_.size()) return token;
    const char c = text_[pos_];
    if (c == '{' || c == '}' || c == ';') {
      token.Kind = TToken::Punct;
      token.Text = std::string(1, c);
      ++pos_;
    } else if (c == '"') {
      token.Kind = TToken::String;
      const std::size_t close = text_.find('"', pos_ + 1);
      if (close == std::string_view::npos) FailAt(line_, "a quoted text is not closed");
      token.Text = std::string(text_.substr(pos_ + 1, close - pos_ - 1));
      if (token.Text.find('\n') != std::string::npos) FailAt(line_, "a quoted text runs over the end of its line");
      pos_ = close + 1;
    } else {
      token.Kind = TToken::Word;
      while (pos_ < text_.size() && !IsBlank(text_[pos_]) && std::strchr("{};\"#", text_[pos_]) == nullptr &&
             text_.substr(pos_, 2) != "//" && text_.substr(pos_, 2) != "/*")
        token.Text += text_[pos_++];
    }
    return token;
  }

 private:
  void SkipBlanksAndComments() {
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (c == '\n') {
        ++line_;
        ++pos_;
      } else if (IsBlank(c)) {
        ++pos_;
      } else if (c == '#' || text_.substr(pos_, 2) == "//") {
        while (pos_ < text_.size() && text_[pos_] != '\n') ++pos_;
      } else if (text_.substr(pos_, 2) == "/*") {
        const std::size_t close = text_.find("*/", pos_ + 2);
        if (close == std::string_view::npos) FailAt(line_, "a comment is not closed");
        for (std::size_t i = pos_; i < close; ++i) line_ += text_[i] == '\n';
        pos_ = close + 2;
      } else {
        return;
      }
    }
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  int line_ = 1;
};

void Expect(const TToken& token, const char* punct, const char* after) {
  if (token.Kind != TToken::Punct || token.Text != punct)
    FailAt(token.Line, std::string("expected '") + punct + "' " + after);
}

TDnsKey ParseStatement(std::string_view text) {
  TStatementReader reader(text);
  std::optional<TDnsKey> key;
  for (TToken token = reader.Next(); token.Kind != TToken::End; token = reader.Next()) {
    if (token.Kind != TToken::Word || Lower(token.Text) != "key")
      FailAt(token.Line, "expected a key statement, found \"" + token.Text + "\"");
    if (key) FailAt(token.Line, "the file holds more than one key; give the service a file with only its own");
    TKeyParts parts;
    parts.Line = token.Line;
    const TToken name = reader.Next();
    if (name.Kind != TToken::Word && name.Kind != TToken::String) FailAt(name.Line, "expected the key's name");
    parts.Name = name.Text;
    Expect(reader.Next(), "{", "after the key's name");
    for (;;) {
      const TToken field = reader.Next();
      if (field.Kind == TToken::Punct && field.Text == "}") break;
      if (field.Kind != TToken::Word) FailAt(field.Line, "expected algorithm, secret or '}' in the key statement");
      const std::string fieldName = Lower(field.Text);
      if (fieldName != "algorithm" && fieldName != "secret")
        FailAt(field.Line, "unknown field \"" + field.Text + "\" in the key statement");
      const TToken value = reader.Next();
      if (value.Kind != TToken::Word && value.Kind != TToken::String)
        FailAt(value.Line, "expected a value after " + fieldName);
      (fieldName == "algorithm" ? parts.Algorithm : parts.Secret) = value.Text;
      Expect(reader.Next(), ";", ("after the " + fieldName).c_str());
    }
    const TToken end = reader.Next();
    Expect(end, ";", "after the key statement's '}'");
    key = Finish(parts);
  }
  if (!key) Fail("the file holds no key");
  return *key;
}

// --- knot's YAML:  key:\n  - id: name\n    algorithm: ...\n    secret: ...

std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return lines;
}

// A line without its comment; YAML comments start at a '#' after a blank.
std::string_view WithoutComment(std::string_view line) {
  for (std::size_t i = 0; i < line.size(); ++i)
    if (line[i] == '#' && (i == 0 || IsBlank(line[i - 1]))) return line.substr(0, i);
  return line;
}

std::string Unquote(std::string_view value, int line) {
  value = Trim(value);
  if (!value.empty() && (value.front() == '"' || value.front() == '\'')) {
    if (value.size() < 2 || value.back() != value.front()) FailAt(line, "a quoted value is not closed");
    value = value.substr(1, value.size() - 2);
  }
  return std::string(value);
}

TDnsKey ParseYaml(std::string_view text) {
  const std::vector<std::string_view> lines = Lines(text);
  bool inKeySection = false;
  std::optional<TKeyParts> parts;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const int number = static_cast<int>(i) + 1;
    const std::string_view raw = WithoutComment(lines[i]);
    std::string_view line = Trim(raw);
    if (line.empty()) continue;
    const bool topLevel = !IsBlank(raw.front());
    if (topLevel) {
      if (line != "key:") FailAt(number, "expected only a key section, found \"" + std::string(line) + "\"");
      if (inKeySection) FailAt(number, "the file holds more than one key section");
      inKeySection = true;
      continue;
    }
    if (!inKeySection) FailAt(number, "expected the key section");
    if (line.front() == '-') {
      if (parts) FailAt(number, "the file holds more than one key; give the service a file with only its own");
      parts.emplace();
      parts->Line = number;
      line = Trim(line.substr(1));
      if (line.empty()) continue;
    }
    if (!parts) FailAt(number, "expected a key entry starting with '-'");
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) FailAt(number, "expected \"field: value\"");
    const std::string field = Lower(Trim(line.substr(0, colon)));
    std::string value = Unquote(line.substr(colon + 1), number);
    std::optional<std::string>* slot = field == "id"          ? &parts->Name
                                       : field == "algorithm" ? &parts->Algorithm
                                       : field == "secret"    ? &parts->Secret
                                                              : nullptr;
    if (slot == nullptr) FailAt(number, "unknown field \"" + field + "\" in the key entry");
    if (*slot) FailAt(number, "the field " + field + " is given twice");
    *slot = std::move(value);
  }
  if (!parts) Fail("the file holds no key");
  return Finish(*parts);
}

// --- [algorithm:]name:secret

TDnsKey ParseLine(std::string_view text) {
  std::optional<std::string_view> found;
  int foundLine = 0;
  const std::vector<std::string_view> lines = Lines(text);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string_view line = Trim(WithoutComment(lines[i]));
    if (line.empty()) continue;
    if (found) FailAt(static_cast<int>(i) + 1, "the file holds more than one line; expected one key");
    found = line;
    foundLine = static_cast<int>(i) + 1;
  }
  if (!found) Fail("the file holds no key");
  std::vector<std::string_view> fields;
  std::string_view rest = *found;
  for (std::size_t colon; (colon = rest.find(':')) != std::string_view::npos; rest.remove_prefix(colon + 1))
    fields.push_back(rest.substr(0, colon));
  fields.push_back(rest);
  for (std::string_view field : fields)
    for (char c : field)
      if (IsBlank(c)) FailAt(foundLine, "expected a key statement or a line of the form [algorithm:]name:secret");
  if (fields.size() < 2 || fields.size() > 3)
    FailAt(foundLine, "expected a key statement or a line of the form [algorithm:]name:secret");
  TKeyParts parts;
  parts.Line = foundLine;
  parts.Algorithm = fields.size() == 3 ? std::string(fields[0]) : std::string("hmac-sha256");
  parts.Name = std::string(fields[fields.size() - 2]);
  parts.Secret = std::string(fields.back());
  return Finish(parts);
}

bool HasYamlKeySection(std::string_view text) {
  for (std::string_view line : Lines(text))
    if (Trim(WithoutComment(line)) == "key:") return true;
  return false;
}

}  // namespace

std::string TDnsKey::AlgorithmName() const {
  return Algorithm == TDnsKeyAlgorithm::HmacSha512 ? "hmac-sha512." : "hmac-sha256.";
}

std::string TDnsKey::SecretBase64() const { return EncodeBase64(Secret); }

TDnsKey TDnsKey::Parse(std::string_view text, const std::string& origin) {
  try {
    if (text.find('\0') != std::string_view::npos) Fail("the file is not text");
    if (text.find('{') != std::string_view::npos) return ParseStatement(text);
    if (HasYamlKeySection(text)) return ParseYaml(text);
    return ParseLine(text);
  } catch (const TKeyProblem& problem) {
    throw EDnsKey("cannot use " + origin + ": " + problem.Text);
  }
}

TDnsKey TDnsKey::Load(const std::string& path) {
  const std::string origin = "the key file " + path;
  // Non-blocking, so that a path naming a FIFO refuses instead of waiting for a writer.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) throw EDnsKey("cannot use " + origin + ": " + std::strerror(errno));
  struct TCloser {
    int fd;
    ~TCloser() { ::close(fd); }
  } closer{fd};
  // The mode of the file actually opened, so it cannot be swapped between check and read.
  struct stat st {};
  if (::fstat(fd, &st) != 0) throw EDnsKey("cannot use " + origin + ": " + std::strerror(errno));
  if (!S_ISREG(st.st_mode)) throw EDnsKey("cannot use " + origin + ": it is not a regular file");
  if ((st.st_mode & (S_IROTH | S_IWOTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    throw EDnsKey("cannot use " + origin + ": it is " + ((st.st_mode & S_IROTH) ? "readable" : "writable") +
                  " by others (mode " + mode + "), so the secret is not secret; make it private with: chmod o-rwx " +
                  path);
  }
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw EDnsKey("cannot use " + origin + ": " + std::strerror(errno));
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > MaxFileSize)
      throw EDnsKey("cannot use " + origin + ": it is larger than " + std::to_string(MaxFileSize / 1024) +
                    " KiB, which no key file is");
  }
  return Parse(text, origin);
}
