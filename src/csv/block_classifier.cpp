#include "csv/block_classifier.h"

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

namespace vrex::ext {

void classify_blocks_scalar(const std::uint8_t* data, std::size_t count,
                            BlockMasks* masks) noexcept {
  for (std::size_t block = 0; block < count; ++block) {
    BlockMasks block_masks;
    for (std::size_t i = 0; i < kBlockSize; ++i) {
      const std::uint8_t byte = data[block * kBlockSize + i];
      const std::uint64_t bit = std::uint64_t{1} << i;
      if (byte == ',' || byte == '\r' || byte == '\n') block_masks.separators |= bit;
      if (byte == '\r' || byte == '\n') block_masks.terminators |= bit;
      if (byte == '"') block_masks.quotes |= bit;
      if (byte >= 0x80) block_masks.non_ascii |= bit;
    }
    masks[block] = block_masks;
  }
}

#if defined(__x86_64__)

namespace {

std::uint64_t mask_bits(int movemask) { return static_cast<std::uint32_t>(movemask); }

}  // namespace

void classify_blocks_sse2(const std::uint8_t* data, std::size_t count,
                          BlockMasks* all_masks) noexcept {
  const __m128i comma = _mm_set1_epi8(',');
  const __m128i carriage_return = _mm_set1_epi8('\r');
  const __m128i line_feed = _mm_set1_epi8('\n');
  const __m128i quote = _mm_set1_epi8('"');
  for (std::size_t block_index = 0; block_index < count; ++block_index) {
    const std::uint8_t* block = data + block_index * kBlockSize;
    BlockMasks masks;
    for (std::size_t part = 0; part < 4; ++part) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * part));
      const __m128i terminators =
          _mm_or_si128(_mm_cmpeq_epi8(bytes, line_feed), _mm_cmpeq_epi8(bytes, carriage_return));
      const __m128i separators = _mm_or_si128(_mm_cmpeq_epi8(bytes, comma), terminators);
      const std::size_t shift = 16 * part;
      masks.separators |= mask_bits(_mm_movemask_epi8(separators)) << shift;
      masks.terminators |= mask_bits(_mm_movemask_epi8(terminators)) << shift;
      masks.quotes |= mask_bits(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, quote))) << shift;
      masks.non_ascii |= mask_bits(_mm_movemask_epi8(bytes)) << shift;
    }
    all_masks[block_index] = masks;
  }
}

__attribute__((target("avx2"))) void classify_blocks_avx2(const std::uint8_t* data,
                                                          std::size_t count,
                                                          BlockMasks* all_masks) noexcept {
  const __m256i comma = _mm256_set1_epi8(',');
  const __m256i carriage_return = _mm256_set1_epi8('\r');
  const __m256i line_feed = _mm256_set1_epi8('\n');
  const __m256i quote = _mm256_set1_epi8('"');
  for (std::size_t block_index = 0; block_index < count; ++block_index) {
    const std::uint8_t* block = data + block_index * kBlockSize;
    BlockMasks masks;
    for (std::size_t part = 0; part < 2; ++part) {
      const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 32 * part));
      const __m256i terminators = _mm256_or_si256(_mm256_cmpeq_epi8(bytes, line_feed),
                                                  _mm256_cmpeq_epi8(bytes, carriage_return));
      const __m256i separators = _mm256_or_si256(_mm256_cmpeq_epi8(bytes, comma), terminators);
      const std::size_t shift = 32 * part;
      masks.separators |= mask_bits(_mm256_movemask_epi8(separators)) << shift;
      masks.terminators |= mask_bits(_mm256_movemask_epi8(terminators)) << shift;
      masks.quotes |= mask_bits(_mm256_movemask_epi8(_mm256_cmpeq_epi8(bytes, quote))) << shift;
      masks.non_ascii |= mask_bits(_mm256_movemask_epi8(bytes)) << shift;
    }
    all_masks[block_index] = masks;
  }
}

__attribute__((target("avx512f,avx512bw"))) void classify_blocks_avx512(
    const std::uint8_t* data, std::size_t count, BlockMasks* masks) noexcept {
  for (std::size_t block = 0; block < count; ++block) {
    masks[block] = classify_block_avx512(data + block * kBlockSize);
  }
}

bool cpu_has_avx2() noexcept { return __builtin_cpu_supports("avx2") != 0; }

bool cpu_has_avx512() noexcept {
  return __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512bw") != 0;
}

ClassifyBlocks select_classifier(CsvScan scan) noexcept {
  switch (scan) {
    case CsvScan::Reference:
      return classify_blocks_scalar;
    case CsvScan::Sse2:
      return classify_blocks_sse2;
    case CsvScan::Avx2:
      return cpu_has_avx2() ? classify_blocks_avx2 : classify_blocks_sse2;
    case CsvScan::Avx512:
    case CsvScan::Best:
      if (cpu_has_avx512()) return classify_blocks_avx512;
      return cpu_has_avx2() ? classify_blocks_avx2 : classify_blocks_sse2;
  }
  return classify_blocks_sse2;
}

#elif defined(__aarch64__)

namespace {

// One bit per byte of four 16-byte comparison results (all ones or zeros):
// each byte keeps its bit's weight, and three rounds of pairwise sums fold
// every eight bytes into one mask byte.
std::uint64_t mask_bits(uint8x16_t part0, uint8x16_t part1, uint8x16_t part2,
                        uint8x16_t part3) noexcept {
  const uint8x16_t weights = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
  const uint8x16_t sums01 = vpaddq_u8(vandq_u8(part0, weights), vandq_u8(part1, weights));
  const uint8x16_t sums23 = vpaddq_u8(vandq_u8(part2, weights), vandq_u8(part3, weights));
  const uint8x16_t sums = vpaddq_u8(sums01, sums23);
  return vgetq_lane_u64(vreinterpretq_u64_u8(vpaddq_u8(sums, sums)), 0);
}

}  // namespace

void classify_blocks_neon(const std::uint8_t* data, std::size_t count,
                          BlockMasks* all_masks) noexcept {
  const uint8x16_t comma = vdupq_n_u8(',');
  const uint8x16_t carriage_return = vdupq_n_u8('\r');
  const uint8x16_t line_feed = vdupq_n_u8('\n');
  const uint8x16_t quote = vdupq_n_u8('"');
  const uint8x16_t high_bit = vdupq_n_u8(0x80);
  for (std::size_t block_index = 0; block_index < count; ++block_index) {
    const std::uint8_t* block = data + block_index * kBlockSize;
    uint8x16_t separators[4], terminators[4], quotes[4], non_ascii[4];
    for (std::size_t part = 0; part < 4; ++part) {
      const uint8x16_t bytes = vld1q_u8(block + 16 * part);
      terminators[part] = vorrq_u8(vceqq_u8(bytes, line_feed), vceqq_u8(bytes, carriage_return));
      separators[part] = vorrq_u8(vceqq_u8(bytes, comma), terminators[part]);
      quotes[part] = vceqq_u8(bytes, quote);
      non_ascii[part] = vcgeq_u8(bytes, high_bit);
    }
    BlockMasks& masks = all_masks[block_index];
    masks.separators = mask_bits(separators[0], separators[1], separators[2], separators[3]);
    masks.terminators = mask_bits(terminators[0], terminators[1], terminators[2], terminators[3]);
    masks.quotes = mask_bits(quotes[0], quotes[1], quotes[2], quotes[3]);
    masks.non_ascii = mask_bits(non_ascii[0], non_ascii[1], non_ascii[2], non_ascii[3]);
  }
}

ClassifyBlocks select_classifier(CsvScan scan) noexcept {
  return scan == CsvScan::Reference ? classify_blocks_scalar : classify_blocks_neon;
}

#else

ClassifyBlocks select_classifier(CsvScan) noexcept { return classify_blocks_scalar; }

#endif

}  // namespace vrex::ext
