#include "crash/sys/FileCrc.h"

#include <elf.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include "runtime/SysUtils.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> ReadFile(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}
void WriteFile(const fs::path& p, const std::vector<uint8_t>& bytes) {
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}
std::string ReadText(const fs::path& p) {
  auto b = ReadFile(p);
  return std::string(b.begin(), b.end());
}

TCDReadAt MemoryReader(const std::vector<uint8_t>& data) {
  return [&data](uint64_t offset, void* buffer, std::size_t size) {
    if (offset > data.size() || size > data.size() - offset) return false;
    std::memcpy(buffer, data.data() + offset, size);
    return true;
  };
}

// The sum written the long way: every word added up, carries folded back in
// at the end.
uint32_t ReferenceChecksum(std::vector<uint8_t> data, std::optional<uint64_t> skip) {
  if (skip)
    for (uint64_t k = *skip; k < *skip + 4 && k < data.size(); ++k) data[static_cast<std::size_t>(k)] = 0;
  uint64_t sum = 0;
  for (std::size_t i = 0; i < data.size(); i += 2) sum += data[i] | (i + 1 < data.size() ? data[i + 1] << 8 : 0);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint32_t>(sum) + static_cast<uint32_t>(data.size());
}

TEST(FileCrc, SumsWordsWithEndAroundCarryPlusTheFileSize) {
  struct Case {
    std::vector<uint8_t> data;
    std::optional<uint64_t> skip;
    uint32_t sum;
  } cases[] = {
      {{}, std::nullopt, 0},
      {{0x01, 0x02}, std::nullopt, 0x0201 + 2},
      {{0x01, 0x02, 0x03}, std::nullopt, 0x0201 + 0x03 + 3},
      {{0xFF, 0xFF, 0x02, 0x00}, std::nullopt, 0x0002 + 4},  // 0xFFFF + 2 carries round
      {{0x10, 0x00, 0xAA, 0xBB, 0xCC, 0xDD, 0x20, 0x00}, 2, 0x30 + 8},
      {{0x10, 0x00, 0xAA, 0xBB}, 3, 0xAA + 0x10 + 4},  // a field that runs past the end
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, std::nullopt, 0xFFFF + 6},  // all ones never fold to zero
      {{0x00, 0x80, 0x00, 0x80, 0x01, 0x00, 0x02}, std::nullopt, 0x0001 + 0x0001 + 0x0002 + 7},
  };
  for (const Case& c : cases) EXPECT_EQ(FileChecksum(c.data, c.skip), c.sum);

  // Large enough to span several read chunks, odd-sized, with the skipped
  // field across a chunk boundary.
  std::vector<uint8_t> big((2u << 20) + 3);
  std::mt19937 rng(7);
  for (auto& b : big) b = static_cast<uint8_t>(rng());
  for (std::optional<uint64_t> skip : {std::optional<uint64_t>(), std::optional<uint64_t>(65534),
                                       std::optional<uint64_t>((1u << 20) - 2), std::optional<uint64_t>(big.size() - 1)})
    EXPECT_EQ(FileChecksum(big, skip), ReferenceChecksum(big, skip));
}

// The test program itself carries an unstamped checksum section.
TEST(FileCrc, FindsTheChecksumSectionAndRejectsDamagedSectionTables) {
  const std::vector<uint8_t> self = ReadFile(ApplicationExeName());
  auto field = FindChecksumField(MemoryReader(self), self.size());
  ASSERT_TRUE(field.has_value());
  EXPECT_EQ(std::memcmp(self.data() + *field, "\0\0\0\0", 4), 0);
  EXPECT_EQ(StoredFileChecksum(), 0u);

  Elf64_Ehdr eh;
  std::memcpy(&eh, self.data(), sizeof eh);
  Elf64_Shdr strtab;
  std::memcpy(&strtab, self.data() + eh.e_shoff + eh.e_shstrndx * sizeof(Elf64_Shdr), sizeof strtab);
  const std::size_t strtabHeader = eh.e_shoff + eh.e_shstrndx * sizeof(Elf64_Shdr);

  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> damage;
  } cases[] = {
      {"cut before the section table", [&](auto& d) { d.resize(eh.e_shoff + 10); }},
      {"not ELF", [](auto& d) { d[1] = 'X'; }},
      {"section table offset near 2^64", [&](auto& d) { Elf64_Off o = ~Elf64_Off{0} - 8; std::memcpy(d.data() + offsetof(Elf64_Ehdr, e_shoff), &o, sizeof o); }},
      {"huge section count", [&](auto& d) { Elf64_Half n = 0xFF00; std::memcpy(d.data() + offsetof(Elf64_Ehdr, e_shnum), &n, sizeof n); }},
      {"name table index out of range", [&](auto& d) { Elf64_Half n = eh.e_shnum; std::memcpy(d.data() + offsetof(Elf64_Ehdr, e_shstrndx), &n, sizeof n); }},
      {"name table past the end", [&](auto& d) { Elf64_Off o = d.size() - 4; std::memcpy(d.data() + strtabHeader + offsetof(Elf64_Shdr, sh_offset), &o, sizeof o); }},
      {"name table size near 2^64", [&](auto& d) { Elf64_Xword s = ~Elf64_Xword{0}; std::memcpy(d.data() + strtabHeader + offsetof(Elf64_Shdr, sh_size), &s, sizeof s); }},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> damaged = self;
    c.damage(damaged);
    EXPECT_FALSE(FindChecksumField(MemoryReader(damaged), damaged.size()).has_value()) << c.what;
  }
}

// ---- the stamped probe program ----

struct RunResult {
  int exitCode = -1;
  std::string out, err;
};

RunResult RunProgram(const fs::path& exe, const fs::path& dir) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, (dir / "out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, (dir / "err.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::string path = exe.string();
  char* argv[] = {path.data(), nullptr};
  pid_t pid = 0;
  RunResult r;
  int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return r;
  int status = 0;
  waitpid(pid, &status, 0);
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = ReadText(dir / "out.txt");
  r.err = ReadText(dir / "err.txt");
  return r;
}

class StampedProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("crashcrc-" + std::to_string(getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }

  // A copy of a probe program in the test's folder, under the probe's name.
  fs::path Copy(const char* probe) {
    fs::path from = fs::path(ExtractFilePath(ApplicationExeName())) / probe;
    fs::path to = dir / probe;
    fs::copy_file(from, to);
    return to;
  }
  static uint64_t SectionOffset(const std::vector<uint8_t>& file, const char* name) {
    auto s = FindElfSection(MemoryReader(file), file.size(), name);
    return s ? s->Offset : 0;
  }

  fs::path dir;
};

TEST_F(StampedProgram, AnUntouchedCopyPassesAndRuns) {
  fs::path exe = Copy("crash_crc_probe");
  std::vector<uint8_t> bytes = ReadFile(exe);
  auto field = FindChecksumField(MemoryReader(bytes), bytes.size());
  ASSERT_TRUE(field.has_value());
  uint32_t stamped = 0;
  std::memcpy(&stamped, bytes.data() + *field, 4);
  EXPECT_NE(stamped, 0u);
  EXPECT_EQ(VerifyFileChecksum(exe, stamped), TCDFileCrcResult::Match);

  RunResult r = RunProgram(exe, dir);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "started\n");
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(fs::exists(dir / "crash_crc_probe.ini"));
}

TEST_F(StampedProgram, ACopyWithOneByteChangedSaysSoAndEndsWithExitCodeZero) {
  fs::path exe = Copy("crash_crc_probe");
  const std::vector<uint8_t> original = ReadFile(exe);
  const uint64_t comment = SectionOffset(original, ".comment");
  const uint64_t field = SectionOffset(original, CDChecksumSectionName);
  ASSERT_NE(comment, 0u);
  ASSERT_NE(field, 0u);

  struct Case {
    const char* what;
    uint64_t at;
  } cases[] = {
      {"a byte of a section that is never loaded", comment + 1},
      {"a byte of the stamp itself", field + 2},
      {"the last byte of the section table", original.size() - 1},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> damaged = original;
    damaged[c.at] ^= 0x01;
    WriteFile(exe, damaged);
    fs::remove(dir / "crash_crc_probe.ini");

    RunResult r = RunProgram(exe, dir);
    EXPECT_EQ(r.exitCode, 0) << c.what;
    EXPECT_EQ(r.out, "") << c.what;
    EXPECT_NE(r.err.find("The file \"crash_crc_probe\" seems to be corrupt!"), std::string::npos) << c.what << r.err;
    EXPECT_FALSE(fs::exists(dir / "crash_crc_probe.ini")) << c.what;
  }
}

TEST_F(StampedProgram, ABuildWithoutTheStampSkipsTheCheck) {
  fs::path exe = Copy("crash_crc_probe_unstamped");
  std::vector<uint8_t> bytes = ReadFile(exe);
  bytes[SectionOffset(bytes, ".comment") + 1] ^= 0x01;
  WriteFile(exe, bytes);
  RunResult r = RunProgram(exe, dir);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "started\n");
  EXPECT_TRUE(fs::exists(dir / "crash_crc_probe_unstamped.ini"));
}

TEST_F(StampedProgram, StampingRefusesAFileWithoutTheSection) {
  fs::path file = dir / "plain.bin";
  WriteFile(file, std::vector<uint8_t>(100, 0x42));
  EXPECT_THROW(StampFileChecksum(file), EFileCrcError);
  EXPECT_THROW(StampFileChecksum((dir / "missing").string()), EFileCrcError);
  EXPECT_EQ(ReadFile(file), std::vector<uint8_t>(100, 0x42));
  EXPECT_EQ(VerifyFileChecksum((dir / "missing").string(), 1), TCDFileCrcResult::Unreadable);
}

}  // namespace
