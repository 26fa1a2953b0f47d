// Damaging a copy of a built program the way a bad disk or download would,
// for the tests of its checksum check.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "crash/sys/FileCrc.h"

// Flips one byte of a section the program never loads, so the damage can
// only be noticed by the checksum.
inline void FlipByteOf(const std::string& file, const char* section) {
  std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
  auto size = static_cast<uint64_t>(std::filesystem::file_size(file));
  TCDReadAt read = [&](uint64_t offset, void* buffer, std::size_t n) {
    f.seekg(static_cast<std::streamoff>(offset));
    return static_cast<bool>(f.read(static_cast<char*>(buffer), static_cast<std::streamsize>(n)));
  };
  auto found = FindElfSection(read, size, section);
  ASSERT_TRUE(found.has_value()) << section;
  char byte = 0;
  f.seekg(static_cast<std::streamoff>(found->Offset));
  f.read(&byte, 1);
  byte = static_cast<char>(byte ^ 0x20);
  f.seekp(static_cast<std::streamoff>(found->Offset));
  f.write(&byte, 1);
}
