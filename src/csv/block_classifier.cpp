#include "csv/block_classifier.h"

#include <immintrin.h>

namespace vrex::ext {

namespace {

std::uint64_t mask_bits(int movemask) { return static_cast<std::uint32_t>(movemask); }

}  // namespace

BlockMasks classify_block_scalar(const std::uint8_t* block) noexcept {
  BlockMasks masks;
  for (std::size_t i = 0; i < kBlockSize; ++i) {
    const std::uint8_t byte = block[i];
    const std::uint64_t bit = std::uint64_t{1} << i;
    if (byte == ',' || byte == '\r' || byte == '\n') masks.separators |= bit;
    if (byte == '"') masks.quotes |= bit;
    if (byte >= 0x80) masks.non_ascii |= bit;
  }
  return masks;
}

BlockMasks classify_block_sse2(const std::uint8_t* block) noexcept {
  const __m128i comma = _mm_set1_epi8(',');
  const __m128i carriage_return = _mm_set1_epi8('\r');
  const __m128i line_feed = _mm_set1_epi8('\n');
  const __m128i quote = _mm_set1_epi8('"');
  BlockMasks masks;
  for (int part = 0; part < 4; ++part) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * part));
    const __m128i separators =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, comma), _mm_cmpeq_epi8(bytes, line_feed)),
                     _mm_cmpeq_epi8(bytes, carriage_return));
    const int shift = 16 * part;
    masks.separators |= mask_bits(_mm_movemask_epi8(separators)) << shift;
    masks.quotes |= mask_bits(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, quote))) << shift;
    masks.non_ascii |= mask_bits(_mm_movemask_epi8(bytes)) << shift;
  }
  return masks;
}

__attribute__((target("avx2"))) BlockMasks classify_block_avx2(const std::uint8_t* block) noexcept {
  const __m256i comma = _mm256_set1_epi8(',');
  const __m256i carriage_return = _mm256_set1_epi8('\r');
  const __m256i line_feed = _mm256_set1_epi8('\n');
  const __m256i quote = _mm256_set1_epi8('"');
  BlockMasks masks;
  for (int part = 0; part < 2; ++part) {
    const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 32 * part));
    const __m256i separators = _mm256_or_si256(
        _mm256_or_si256(_mm256_cmpeq_epi8(bytes, comma), _mm256_cmpeq_epi8(bytes, line_feed)),
        _mm256_cmpeq_epi8(bytes, carriage_return));
    const int shift = 32 * part;
    masks.separators |= mask_bits(_mm256_movemask_epi8(separators)) << shift;
    masks.quotes |= mask_bits(_mm256_movemask_epi8(_mm256_cmpeq_epi8(bytes, quote))) << shift;
    masks.non_ascii |= mask_bits(_mm256_movemask_epi8(bytes)) << shift;
  }
  return masks;
}

bool cpu_has_avx2() noexcept { return __builtin_cpu_supports("avx2") != 0; }

ClassifyBlock select_classifier(CsvScan scan) noexcept {
  switch (scan) {
    case CsvScan::Reference:
      return classify_block_scalar;
    case CsvScan::Sse2:
      return classify_block_sse2;
    case CsvScan::Avx2:
    case CsvScan::Best:
      return cpu_has_avx2() ? classify_block_avx2 : classify_block_sse2;
  }
  return classify_block_sse2;
}

}  // namespace vrex::ext
