// A file mapped read-only into memory, unmapped when the last owner lets go.
// Reading a file through its map touches the page cache instead of copying
// the whole file into a buffer first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "vrex/result.h"

namespace vrex {

class MappedFile {
 public:
  MappedFile() = default;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  MappedFile(MappedFile&& other) noexcept;
  MappedFile& operator=(MappedFile&& other) noexcept;
  ~MappedFile();

  // Maps the whole file at `path`; an empty file maps to no bytes. Fails
  // with the errno value of what went wrong (EISDIR or ENODEV for something
  // that is not a regular file).
  static Result<MappedFile, int> open(const std::string& path);

  std::span<const std::uint8_t> bytes() const noexcept {
    return {static_cast<const std::uint8_t*>(address_), size_};
  }

 private:
  void* address_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace vrex
