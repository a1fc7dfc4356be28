// A ByteStorage for tests that moves its block on every growth and fills the
// new room with a marker byte, so a writer that keeps a pointer across an
// append, or reads room it never wrote, shows up (under AddressSanitizer, as
// a use after free). It can be told to run out of memory at a given growth.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "vrex/byte_storage.h"

namespace vrex::testing {

class MovingStorage final : public vrex::ByteStorage {
 public:
  static constexpr std::uint8_t kUnwritten = 0xA5;

  // Growth number `failing_growth` (1 is the first) throws std::bad_alloc;
  // zero never fails.
  explicit MovingStorage(std::size_t failing_growth = 0) : failing_growth_(failing_growth) {}

  ~MovingStorage() = default;

  std::uint8_t* grow(std::size_t kept, std::size_t capacity) override {
    ++growths_;
    if (growths_ == failing_growth_) throw std::bad_alloc();
    if (kept > capacity_ || kept > capacity) kept_too_much_ = true;
    auto moved = std::make_unique<std::uint8_t[]>(capacity);
    std::memset(moved.get(), kUnwritten, capacity);
    if (block_) std::memcpy(moved.get(), block_.get(), std::min(kept, capacity_));
    block_ = std::move(moved);
    capacity_ = capacity;
    return block_.get();
  }

  std::size_t growths() const noexcept { return growths_; }

  // Whether the buffer ever asked to keep more bytes than the block had.
  bool kept_too_much() const noexcept { return kept_too_much_; }

 private:
  std::unique_ptr<std::uint8_t[]> block_;
  std::size_t capacity_ = 0;
  std::size_t growths_ = 0;
  std::size_t failing_growth_;
  bool kept_too_much_ = false;
};

}  // namespace vrex::testing
