// A bounds-checked position in a file being read. Every read first checks
// that the bytes it needs are there; running out is InvalidSize.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "vrex/error.h"
#include "vrex/result.h"

namespace vrex {

using ReadStatus = Status<VrexError>;

template <class T>
using ReadResult = Result<T, VrexError>;

class ReadCursor {
 public:
  explicit ReadCursor(std::span<const std::uint8_t> bytes) noexcept
      : next_(bytes.data()), end_(bytes.data() + bytes.size()) {}

  std::uint64_t remaining() const noexcept { return static_cast<std::uint64_t>(end_ - next_); }

  const std::uint8_t* position() const noexcept { return next_; }

  ReadResult<std::uint8_t> read_byte() noexcept {
    if (next_ == end_) return Unexpected{VrexError(VrexError::Kind::InvalidSize)};
    return *next_++;
  }

  // A count field: a little-endian int32 that must not be negative.
  ReadResult<std::uint32_t> read_count() noexcept {
    if (remaining() < 4) return Unexpected{VrexError(VrexError::Kind::InvalidSize)};
    std::uint32_t value;
    std::memcpy(&value, next_, 4);
    next_ += 4;
    if (value > 0x7FFFFFFFu) return Unexpected{VrexError(VrexError::Kind::InvalidSize)};
    return value;
  }

  // The next `count` bytes, consumed.
  ReadResult<std::span<const std::uint8_t>> take(std::uint64_t count) noexcept {
    if (remaining() < count) return Unexpected{VrexError(VrexError::Kind::InvalidSize)};
    std::span<const std::uint8_t> bytes(next_, static_cast<std::size_t>(count));
    next_ += count;
    return bytes;
  }

 private:
  const std::uint8_t* next_;
  const std::uint8_t* end_;
};

inline std::string_view as_text(std::span<const std::uint8_t> bytes) noexcept {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace vrex
