// The executable's own checksum: a 16-bit one's-complement sum over the file
// (the checksum's 4 bytes counted as zero) plus the file size, kept in a
// section of its own that the build fills in after linking. At start-up the
// program sums its file again; a difference means the file was damaged on
// disk or in transfer, and the program refuses to run rather than crash at
// some later, less obvious point. The check itself belongs to the crash
// reporter's start-up (CheckFileCrc), which knows its settings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "runtime/Exception.h"

// The post-link step could not stamp a file.
PINMARK_EXCEPTION_CLASS(EFileCrcError, Exception);

inline constexpr char CDChecksumSectionName[] = ".pinmark.checksum";

// Reads size bytes at offset into buffer; false when they cannot be read.
using TCDReadAt = std::function<bool(uint64_t offset, void* buffer, std::size_t size)>;

struct TCDElfSection {
  uint64_t Offset = 0;  // in the file
  uint64_t Size = 0;
};

// Finds a section of a 64-bit little-endian ELF file by name, trusting
// nothing in the file: any offset, count or size that points outside the
// file, an ambiguous name or a section without bytes in the file gives none.
std::optional<TCDElfSection> FindElfSection(const TCDReadAt& read, uint64_t fileSize, std::string_view name);
// The file offset of the 4-byte checksum field, or none.
std::optional<uint64_t> FindChecksumField(const TCDReadAt& read, uint64_t fileSize);

// The sum over the file with the 4 bytes at skipOffset (if any) counted as
// zero, plus the file size; nullopt when the file cannot be read.
std::optional<uint32_t> FileChecksum(const TCDReadAt& read, uint64_t fileSize, std::optional<uint64_t> skipOffset);
uint32_t FileChecksum(std::span<const uint8_t> data, std::optional<uint64_t> skipOffset);

// The checksum stamped into this executable; 0 for a build without a stamp.
uint32_t StoredFileChecksum();

enum class TCDFileCrcResult {
  Unreadable,  // the file could not be opened or read: nothing can be said
  Match,
  Mismatch,  // the sums differ or the checksum field cannot be found
};
TCDFileCrcResult VerifyFileChecksum(const std::string& path, uint32_t stored);

// Post-link step: computes the file's checksum and writes it into the
// checksum field. Returns the value; raises EFileCrcError when the file has
// no checksum field or cannot be read or written.
uint32_t StampFileChecksum(const std::string& path);
