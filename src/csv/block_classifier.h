// Classifies 64 input bytes at a time into bit masks, one bit per byte.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vrex::ext {

inline constexpr std::size_t kBlockSize = 64;

// Bit i stands for byte i of the block.
struct BlockMasks {
  std::uint64_t separators = 0;   // comma, CR or LF: the bytes that can end a field
  std::uint64_t terminators = 0;  // CR or LF: the bytes that can end a record
  std::uint64_t quotes = 0;       // the double quote
  std::uint64_t non_ascii = 0;    // bytes 0x80 and above
};

// Classifies `count` consecutive blocks starting at `data` into `masks`.
using ClassifyBlocks = void (*)(const std::uint8_t* data, std::size_t count,
                                BlockMasks* masks) noexcept;

// Which classifier the fast reader uses. `Best` picks the widest the CPU
// has: AVX-512, AVX2, or SSE2 (always present on x86-64). On 64-bit ARM the
// vector scans all use NEON; elsewhere they use the scalar classifier.
enum class CsvScan { Reference, Sse2, Avx2, Avx512, Best };

void classify_blocks_scalar(const std::uint8_t* data, std::size_t count,
                            BlockMasks* masks) noexcept;
#if defined(__x86_64__)
void classify_blocks_sse2(const std::uint8_t* data, std::size_t count, BlockMasks* masks) noexcept;
void classify_blocks_avx2(const std::uint8_t* data, std::size_t count, BlockMasks* masks) noexcept;
void classify_blocks_avx512(const std::uint8_t* data, std::size_t count,
                            BlockMasks* masks) noexcept;

bool cpu_has_avx2() noexcept;
bool cpu_has_avx512() noexcept;

// One block's masks from one 64-byte register: each comparison gives its
// mask at once. For functions built for AVX-512BW, on CPUs that have it.
[[gnu::always_inline]] __attribute__((target("avx512f,avx512bw"))) inline BlockMasks
classify_block_avx512(const std::uint8_t* data) noexcept {
  const __m512i bytes = _mm512_loadu_si512(data);
  const __mmask64 terminators = _kor_mask64(_mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('\n')),
                                            _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('\r')));
  BlockMasks masks;
  masks.terminators = _cvtmask64_u64(terminators);
  masks.separators = _cvtmask64_u64(
      _kor_mask64(terminators, _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8(','))));
  masks.quotes = _cvtmask64_u64(_mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('"')));
  masks.non_ascii = _cvtmask64_u64(_mm512_movepi8_mask(bytes));
  return masks;
}
#elif defined(__aarch64__)
void classify_blocks_neon(const std::uint8_t* data, std::size_t count, BlockMasks* masks) noexcept;
#endif

// The classifier for `scan`; one the CPU lacks falls back to the next
// narrower one.
// `Reference` has no classifier of its own and gets the scalar one.
ClassifyBlocks select_classifier(CsvScan scan) noexcept;

}  // namespace vrex::ext
