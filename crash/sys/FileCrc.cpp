#include "crash/sys/FileCrc.h"

#include <elf.h>
#include <endian.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "crash/sys/CDFd.h"

namespace {

// The stamp. It sits in a section of its own so that the post-link step can
// find it through the section headers; volatile, because its value changes
// after the compiler has seen it.
[[gnu::used, gnu::section(".pinmark.checksum"), gnu::aligned(4)]] const volatile uint32_t kFileChecksum = 0;

TCDReadAt FileReader(int fd) {
  return [fd](uint64_t offset, void* buffer, std::size_t size) {
    auto* p = static_cast<uint8_t*>(buffer);
    while (size > 0) {
      ssize_t n = ::pread(fd, p, size, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      p += n;
      size -= static_cast<std::size_t>(n);
      offset += static_cast<uint64_t>(n);
    }
    return true;
  };
}

// True when [offset, offset + size) lies within the file, without overflow.
bool Within(uint64_t offset, uint64_t size, uint64_t fileSize) {
  return offset <= fileSize && size <= fileSize - offset;
}

bool ReadShdr(const TCDReadAt& read, uint64_t fileSize, uint64_t shoff, uint64_t index, Elf64_Shdr& sh) {
  uint64_t at = shoff + index * sizeof(Elf64_Shdr);
  return Within(at, sizeof sh, fileSize) && read(at, &sh, sizeof sh);
}

}  // namespace

std::optional<TCDElfSection> FindElfSection(const TCDReadAt& read, uint64_t fileSize, std::string_view name) {
  Elf64_Ehdr eh{};
  if (fileSize < sizeof eh || !read(0, &eh, sizeof eh)) return std::nullopt;
  if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64 ||
      eh.e_ident[EI_DATA] != ELFDATA2LSB || eh.e_shentsize != sizeof(Elf64_Shdr) || eh.e_shoff == 0)
    return std::nullopt;

  // Counts too large for the header live in the first section header.
  uint64_t count = eh.e_shnum;
  uint64_t strIndex = eh.e_shstrndx;
  if (count == 0 || strIndex == SHN_XINDEX) {
    Elf64_Shdr first{};
    if (!ReadShdr(read, fileSize, eh.e_shoff, 0, first)) return std::nullopt;
    if (count == 0) count = first.sh_size;
    if (strIndex == SHN_XINDEX) strIndex = first.sh_link;
  }
  if (count == 0 || count > fileSize / sizeof(Elf64_Shdr) ||
      !Within(eh.e_shoff, count * sizeof(Elf64_Shdr), fileSize) || strIndex >= count)
    return std::nullopt;

  Elf64_Shdr strtab{};
  if (!ReadShdr(read, fileSize, eh.e_shoff, strIndex, strtab) || strtab.sh_type == SHT_NOBITS ||
      !Within(strtab.sh_offset, strtab.sh_size, fileSize))
    return std::nullopt;

  std::optional<TCDElfSection> found;
  std::vector<char> candidate(name.size() + 1);
  for (uint64_t i = 0; i < count; ++i) {
    Elf64_Shdr sh{};
    if (!ReadShdr(read, fileSize, eh.e_shoff, i, sh)) return std::nullopt;
    // The name and its terminator must lie inside the string table.
    if (sh.sh_name >= strtab.sh_size || candidate.size() > strtab.sh_size - sh.sh_name) continue;
    if (!read(strtab.sh_offset + sh.sh_name, candidate.data(), candidate.size())) return std::nullopt;
    if (std::memcmp(candidate.data(), name.data(), name.size()) != 0 || candidate.back() != '\0') continue;
    if (found) return std::nullopt;  // two sections of that name: trust neither
    if (sh.sh_type == SHT_NOBITS || !Within(sh.sh_offset, sh.sh_size, fileSize)) return std::nullopt;
    found = TCDElfSection{sh.sh_offset, sh.sh_size};
  }
  return found;
}

std::optional<uint64_t> FindChecksumField(const TCDReadAt& read, uint64_t fileSize) {
  auto section = FindElfSection(read, fileSize, CDChecksumSectionName);
  if (!section || section->Size < 4) return std::nullopt;
  return section->Offset;
}

std::optional<uint32_t> FileChecksum(const TCDReadAt& read, uint64_t fileSize, std::optional<uint64_t> skipOffset) {
  constexpr std::size_t kChunk = 1024 * 1024;  // a multiple of 4, so words never straddle two chunks
  std::vector<uint8_t> buffer(static_cast<std::size_t>(std::min<uint64_t>(kChunk, fileSize)));
  // The one's-complement sum of 16-bit words is their sum modulo 0xFFFF
  // (zero only for an all-zero file), and 2^16 is 1 modulo 0xFFFF: so two
  // words may be added as one 32-bit word, and the carries folded once at
  // the end. The same checksum at a fraction of the cost, which a start-up
  // check over the whole file needs.
  uint64_t wide = 0;
  for (uint64_t at = 0; at < fileSize; at += kChunk) {
    const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(kChunk, fileSize - at));
    if (!read(at, buffer.data(), n)) return std::nullopt;
    if (skipOffset)
      for (uint64_t k = *skipOffset; k < *skipOffset + 4; ++k)
        if (k >= at && k < at + n) buffer[static_cast<std::size_t>(k - at)] = 0;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
      uint32_t pair;
      std::memcpy(&pair, buffer.data() + i, sizeof pair);
      wide += le32toh(pair);
    }
    for (; i + 1 < n; i += 2) wide += static_cast<uint32_t>(buffer[i] | (buffer[i + 1] << 8));
    if (i < n) wide += buffer[i];  // an odd last byte counts as a word of its own
  }
  while (wide > 0xFFFF) wide = (wide & 0xFFFF) + (wide >> 16);
  return static_cast<uint32_t>(wide) + static_cast<uint32_t>(fileSize);
}

uint32_t FileChecksum(std::span<const uint8_t> data, std::optional<uint64_t> skipOffset) {
  TCDReadAt read = [data](uint64_t offset, void* buffer, std::size_t size) {
    if (!Within(offset, size, data.size())) return false;
    std::memcpy(buffer, data.data() + offset, size);
    return true;
  };
  return *FileChecksum(read, data.size(), skipOffset);
}

uint32_t StoredFileChecksum() { return kFileChecksum; }

TCDFileCrcResult VerifyFileChecksum(const std::string& path, uint32_t stored) {
  TCDFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (fd.Get() < 0 || ::fstat(fd.Get(), &st) != 0) return TCDFileCrcResult::Unreadable;
  const auto size = static_cast<uint64_t>(st.st_size);
  TCDReadAt read = FileReader(fd.Get());
  std::optional<uint64_t> field = FindChecksumField(read, size);
  if (!field) return TCDFileCrcResult::Mismatch;
  std::optional<uint32_t> sum = FileChecksum(read, size, field);
  if (!sum) return TCDFileCrcResult::Unreadable;
  return *sum == stored ? TCDFileCrcResult::Match : TCDFileCrcResult::Mismatch;
}

uint32_t StampFileChecksum(const std::string& path) {
  TCDFd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
  struct stat st {};
  if (fd.Get() < 0 || ::fstat(fd.Get(), &st) != 0)
    throw EFileCrcError(path + ": cannot open the file: " + std::strerror(errno));
  const auto size = static_cast<uint64_t>(st.st_size);
  TCDReadAt read = FileReader(fd.Get());
  std::optional<uint64_t> field = FindChecksumField(read, size);
  if (!field) throw EFileCrcError(path + ": no checksum section " + CDChecksumSectionName + " found");
  std::optional<uint32_t> sum = FileChecksum(read, size, field);
  if (!sum) throw EFileCrcError(path + ": cannot read the file");
  const uint8_t bytes[4] = {static_cast<uint8_t>(*sum), static_cast<uint8_t>(*sum >> 8),
                            static_cast<uint8_t>(*sum >> 16), static_cast<uint8_t>(*sum >> 24)};
  if (::pwrite(fd.Get(), bytes, sizeof bytes, static_cast<off_t>(*field)) != sizeof bytes ||
      ::fsync(fd.Get()) != 0 || !fd.Close())
    throw EFileCrcError(path + ": cannot write the checksum: " + std::strerror(errno));
  return *sum;
}
