// The 128 leading bits of 5^q for every decimal exponent a double can need.
// The table is generated (scripts/generate_powers_of_five.py), not typed.
#pragma once

#include <cstdint>

namespace vrex::ext::powers_of_five {

// Below 10^-342 even the largest 19-digit significand rounds to zero; above
// 10^308 even a significand of 1 overflows.
inline constexpr int kSmallestPower = -342;
inline constexpr int kLargestPower = 308;

// high * 2^64 + low: 5^q scaled by a power of two into [2^127, 2^128);
// truncated for q >= 0 (exact up to q = 55), rounded up for q < 0.
struct Entry {
  std::uint64_t high;
  std::uint64_t low;
};

extern const Entry kTable[kLargestPower - kSmallestPower + 1];

inline const Entry& of(int q) noexcept { return kTable[q - kSmallestPower]; }

}  // namespace vrex::ext::powers_of_five
