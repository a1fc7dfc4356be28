// The size of the 7-bit packed form of an integer, which text lengths take
// in a file: seven bits a byte, low bits first.
#pragma once

#include <cstdint>

namespace vrex {

// Bytes of the 7-bit packed form of `value`: 1 to 5.
constexpr std::uint64_t packed_int_size(std::uint64_t value) noexcept {
  return value < 0x80 ? 1 : value < 0x4000 ? 2 : value < 0x200000 ? 3 : value < 0x10000000 ? 4 : 5;
}

}  // namespace vrex
