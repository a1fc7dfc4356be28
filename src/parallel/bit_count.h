// Counting the set bits of a 64-byte block's masks, in software on any
// machine or by the popcount instruction in code built for it: the scans
// take either as a template argument.
#pragma once

#include <cstdint>

#if defined(__x86_64__) && !defined(VREX_FORCE_SCALAR)
#include <immintrin.h>
#endif

namespace vrex::ext {

// Records are few per block: a loop beats a library popcount call.
constexpr std::uint64_t count_bits(std::uint64_t bits) {
  std::uint64_t count = 0;
  for (; bits != 0; bits &= bits - 1) ++count;
  return count;
}

// The same without branches, for counts a block at a time, where whether a
// record begins at all is as likely as not: bits summed in ever wider
// fields, then the bytes' sums added by one multiply.
constexpr std::uint64_t count_bits_branchless(std::uint64_t bits) {
  bits -= (bits >> 1) & 0x5555555555555555;
  bits = (bits & 0x3333333333333333) + ((bits >> 2) & 0x3333333333333333);
  bits = (bits + (bits >> 4)) & 0x0F0F0F0F0F0F0F0F;
  return (bits * 0x0101010101010101) >> 56;
}

// How the summaries count bits: by the counts above on any machine, or by
// the CPU's own instruction, only in code built for it (see
// summarize_block() and ParitySummary).
struct SoftwareBitCount {
  static constexpr std::uint64_t few(std::uint64_t bits) { return count_bits(bits); }

  static constexpr std::uint64_t any(std::uint64_t bits) { return count_bits_branchless(bits); }
};

struct HardwareBitCount {
  static std::uint64_t few(std::uint64_t bits) {
    return static_cast<std::uint64_t>(__builtin_popcountll(bits));
  }

  static std::uint64_t any(std::uint64_t bits) { return few(bits); }
};

#if defined(__x86_64__) && !defined(VREX_FORCE_SCALAR)
// Bit i set when an odd number of bits 0..i are: which bytes of a block are
// inside quotes, when each quote toggles and the block starts outside. A
// carry-less product with all ones gives it in one step.
__attribute__((target("pclmul"))) inline std::uint64_t prefix_xor(std::uint64_t bits) {
  const __m128i product =
      _mm_clmulepi64_si128(_mm_cvtsi64_si128(static_cast<long long>(bits)), _mm_set1_epi8(-1), 0);
  return static_cast<std::uint64_t>(_mm_cvtsi128_si64(product));
}
#endif

}  // namespace vrex::ext
