// Replaces the program's version table for the life of one object.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "runtime/Resources.h"
#include "runtime/VersionInfo.h"

class ScopedVersionTable {
 public:
  explicit ScopedVersionTable(std::string text)
      : text_(std::move(text)), previous_(FindResource(kVersionResourceType, kVersionResourceName)) {
    RegisterResource(kVersionResourceType, kVersionResourceName, reinterpret_cast<const uint8_t*>(text_.data()),
                     text_.size());
  }
  ~ScopedVersionTable() {
    RegisterResource(kVersionResourceType, kVersionResourceName, previous_.data(), previous_.size());
  }
  ScopedVersionTable(const ScopedVersionTable&) = delete;
  ScopedVersionTable& operator=(const ScopedVersionTable&) = delete;

 private:
  std::string text_;
  std::span<const uint8_t> previous_;
};
