#include "csv/utf8.h"

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

#include <algorithm>
#include <cstring>

namespace vrex::ext {

namespace {

// Whether the 16 bytes at `data` are all ASCII.
inline bool is_ascii_block(const std::uint8_t* data) noexcept {
#if defined(__x86_64__)
  return _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data))) == 0;
#elif defined(__aarch64__)
  return vmaxvq_u8(vld1q_u8(data)) < 0x80;
#else
  std::uint64_t words[2];
  std::memcpy(words, data, sizeof words);
  return ((words[0] | words[1]) & 0x8080808080808080u) == 0;
#endif
}

bool is_continuation(std::uint8_t byte) { return (byte & 0xC0) == 0x80; }

bool in_range(std::uint8_t byte, std::uint8_t low, std::uint8_t high) {
  return byte >= low && byte <= high;
}

// Length of the valid multi-byte character at `at`, or 0 when it is invalid.
// The second byte's range excludes overlongs, surrogates and code points
// above U+10FFFF; later bytes only need to be continuation bytes.
std::size_t valid_sequence_length(const std::uint8_t* data, std::size_t at, std::size_t size) {
  const std::uint8_t lead = data[at];
  const std::size_t left = size - at;
  if (lead < 0xC2) return 0;
  if (lead < 0xE0) return left >= 2 && is_continuation(data[at + 1]) ? 2 : 0;
  if (lead < 0xF0) {
    const std::uint8_t low = lead == 0xE0 ? 0xA0 : 0x80;
    const std::uint8_t high = lead == 0xED ? 0x9F : 0xBF;
    return left >= 3 && in_range(data[at + 1], low, high) && is_continuation(data[at + 2]) ? 3 : 0;
  }
  if (lead < 0xF5) {
    const std::uint8_t low = lead == 0xF0 ? 0x90 : 0x80;
    const std::uint8_t high = lead == 0xF4 ? 0x8F : 0xBF;
    return left >= 4 && in_range(data[at + 1], low, high) && is_continuation(data[at + 2]) &&
                   is_continuation(data[at + 3])
               ? 4
               : 0;
  }
  return 0;
}

}  // namespace

std::size_t utf8_valid_prefix(std::string_view text) noexcept {
  const auto* data = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t size = text.size();
  std::size_t at = 0;
  while (at < size) {
    while (at + 16 <= size && is_ascii_block(data + at)) at += 16;
    while (at < size && data[at] < 0x80) ++at;
    if (at == size) break;
    const std::size_t length = valid_sequence_length(data, at, size);
    if (length == 0) return at;
    at += length;
  }
  return size;
}

#if defined(__x86_64__)

namespace {

// Validation by table lookups over whole blocks: three lookups classify each
// pair of adjacent bytes by the errors it could start (by the high and low
// nibble of the first byte and the high nibble of the second), and a byte that
// has to be the third or fourth of a sequence is checked against the bytes two
// and three back. A bit left over in any position is an error.
namespace lookup {

constexpr std::uint8_t kTooShort = 1 << 0;      // a lead byte not followed by a continuation
constexpr std::uint8_t kTooLong = 1 << 1;       // ASCII followed by a continuation
constexpr std::uint8_t kOverlong3 = 1 << 2;     // E0 followed by 80..9F
constexpr std::uint8_t kTooLarge = 1 << 3;      // F4 followed by 90..BF, or F5..FF
constexpr std::uint8_t kSurrogate = 1 << 4;     // ED followed by A0..BF
constexpr std::uint8_t kOverlong2 = 1 << 5;     // C0 or C1
constexpr std::uint8_t kTooLarge1000 = 1 << 6;  // F5..FF followed by 80..8F
constexpr std::uint8_t kOverlong4 = 1 << 6;     // F0 followed by 80..8F
constexpr std::uint8_t kTwoContinuations = 1 << 7;
constexpr std::uint8_t kCarry = kTooShort | kTooLong | kTwoContinuations;

__attribute__((target("avx2"))) __m256i table(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2,
                                              std::uint8_t b3, std::uint8_t b4, std::uint8_t b5,
                                              std::uint8_t b6, std::uint8_t b7, std::uint8_t b8,
                                              std::uint8_t b9, std::uint8_t b10, std::uint8_t b11,
                                              std::uint8_t b12, std::uint8_t b13, std::uint8_t b14,
                                              std::uint8_t b15) {
  const __m128i lane = _mm_setr_epi8(
      static_cast<char>(b0), static_cast<char>(b1), static_cast<char>(b2), static_cast<char>(b3),
      static_cast<char>(b4), static_cast<char>(b5), static_cast<char>(b6), static_cast<char>(b7),
      static_cast<char>(b8), static_cast<char>(b9), static_cast<char>(b10), static_cast<char>(b11),
      static_cast<char>(b12), static_cast<char>(b13), static_cast<char>(b14),
      static_cast<char>(b15));
  return _mm256_broadcastsi128_si256(lane);
}

struct Tables {
  __m256i first_high, first_low, second_high;
};

__attribute__((target("avx2"))) Tables make_tables() {
  constexpr std::uint8_t kLarge = kCarry | kTooLarge | kTooLarge1000;
  return {
      table(kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
            kTwoContinuations, kTwoContinuations, kTwoContinuations, kTwoContinuations,
            kTooShort | kOverlong2, kTooShort, kTooShort | kOverlong3 | kSurrogate,
            kTooShort | kTooLarge | kTooLarge1000 | kOverlong4),
      table(kCarry | kOverlong3 | kOverlong2 | kOverlong4, kCarry | kOverlong2, kCarry, kCarry,
            kCarry | kTooLarge, kLarge, kLarge, kLarge, kLarge, kLarge, kLarge, kLarge, kLarge,
            kLarge | kSurrogate, kLarge, kLarge),
      table(kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
            kTooLong | kOverlong2 | kTwoContinuations | kOverlong3 | kTooLarge1000 | kOverlong4,
            kTooLong | kOverlong2 | kTwoContinuations | kOverlong3 | kTooLarge,
            kTooLong | kOverlong2 | kTwoContinuations | kSurrogate | kTooLarge,
            kTooLong | kOverlong2 | kTwoContinuations | kSurrogate | kTooLarge, kTooShort,
            kTooShort, kTooShort, kTooShort),
  };
}

// The block shifted by `n` bytes towards its end, with the last bytes of the
// previous block shifted in.
template <int n>
__attribute__((target("avx2"))) __m256i previous(__m256i block, __m256i previous_block) {
  return _mm256_alignr_epi8(block, _mm256_permute2x128_si256(previous_block, block, 0x21), 16 - n);
}

__attribute__((target("avx2"))) __m256i high_nibbles(__m256i bytes) {
  return _mm256_and_si256(_mm256_srli_epi16(bytes, 4), _mm256_set1_epi8(0x0F));
}

__attribute__((target("avx2"))) __m256i block_errors(const Tables& tables, __m256i block,
                                                     __m256i previous_block) {
  const __m256i prev1 = previous<1>(block, previous_block);
  const __m256i special = _mm256_and_si256(
      _mm256_and_si256(
          _mm256_shuffle_epi8(tables.first_high, high_nibbles(prev1)),
          _mm256_shuffle_epi8(tables.first_low, _mm256_and_si256(prev1, _mm256_set1_epi8(0x0F)))),
      _mm256_shuffle_epi8(tables.second_high, high_nibbles(block)));
  // Bytes two back at E0 or above, or three back at F0 or above, need a
  // continuation here; the lookups above flag such a continuation as two in a row.
  const __m256i third = _mm256_subs_epu8(previous<2>(block, previous_block),
                                         _mm256_set1_epi8(static_cast<char>(0xE0 - 0x80)));
  const __m256i fourth = _mm256_subs_epu8(previous<3>(block, previous_block),
                                          _mm256_set1_epi8(static_cast<char>(0xF0 - 0x80)));
  const __m256i must_continue =
      _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(static_cast<char>(0x80)));
  return _mm256_xor_si256(must_continue, special);
}

__attribute__((target("avx2"))) bool is_valid_avx2(const std::uint8_t* data,
                                                   std::size_t size) noexcept {
  const Tables tables = make_tables();
  __m256i errors = _mm256_setzero_si256();
  __m256i previous_block = _mm256_setzero_si256();
  std::size_t at = 0;
  for (; at + 32 <= size; at += 32) {
    const __m256i block = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + at));
    errors = _mm256_or_si256(errors, block_errors(tables, block, previous_block));
    previous_block = block;
  }
  if (at < size && size >= 64) {
    // The last 32 bytes, after the 32 before them: bytes checked twice do no harm.
    const __m256i last = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + size - 32));
    const __m256i before = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + size - 64));
    errors = _mm256_or_si256(errors, block_errors(tables, last, before));
    at = size;
  }
  if (at == size) {
    // A sequence cut short by the end: a lead byte among the last three that
    // needs more bytes than follow it.
    const bool cut_short = (size >= 1 && data[size - 1] >= 0xC0) ||
                           (size >= 2 && data[size - 2] >= 0xE0) ||
                           (size >= 3 && data[size - 3] >= 0xF0);
    return _mm256_testz_si256(errors, errors) != 0 && !cut_short;
  }
  // The rest, padded with ASCII zeros: a sequence cut short by the end of the
  // text then fails like one cut short by an ASCII byte.
  alignas(32) std::uint8_t tail[32] = {};
  std::memcpy(tail, data + at, size - at);
  const __m256i block = _mm256_load_si256(reinterpret_cast<const __m256i*>(tail));
  errors = _mm256_or_si256(errors, block_errors(tables, block, previous_block));
  return _mm256_testz_si256(errors, errors) != 0;
}

bool cpu_has_avx2() noexcept { return __builtin_cpu_supports("avx2") != 0; }

}  // namespace lookup

}  // namespace

bool utf8_is_valid(std::string_view text) noexcept {
  static const bool use_avx2 = lookup::cpu_has_avx2();
  if (use_avx2) {
    return lookup::is_valid_avx2(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  }
  return utf8_valid_prefix(text) == text.size();
}

#else

bool utf8_is_valid(std::string_view text) noexcept {
  return utf8_valid_prefix(text) == text.size();
}

#endif

std::size_t utf8_valid_prefix_reference(std::string_view text) noexcept {
  const auto* data = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t size = text.size();
  std::size_t at = 0;
  while (at < size) {
    const std::uint8_t lead = data[at];
    std::size_t length = 0;
    std::uint32_t code_point = 0;
    std::uint32_t smallest = 0;
    if (lead < 0x80) {
      ++at;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, code_point = lead & 0x1Fu, smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, code_point = lead & 0x0Fu, smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, code_point = lead & 0x07u, smallest = 0x10000;
    } else {
      return at;
    }
    if (size - at < length) return at;
    for (std::size_t i = 1; i < length; ++i) {
      if ((data[at + i] & 0xC0) != 0x80) return at;
      code_point = (code_point << 6) | (data[at + i] & 0x3Fu);
    }
    const bool surrogate = code_point >= 0xD800 && code_point <= 0xDFFF;
    if (code_point < smallest || surrogate || code_point > 0x10FFFF) return at;
    at += length;
  }
  return size;
}

std::uint64_t count_line_feeds(const std::uint8_t* data, std::size_t size) noexcept {
  std::uint64_t count = 0;
  std::size_t at = 0;
#if defined(__x86_64__)
  // Each byte lane counts its line feeds (a match is -1, subtracted) for up
  // to 255 rounds; then the lanes are summed. No popcount instruction is
  // assumed: the portable build would call a library routine for it.
  const __m128i line_feed = _mm_set1_epi8('\n');
  const __m128i zero = _mm_setzero_si128();
  while (size - at >= 16) {
    const std::size_t rounds = std::min<std::size_t>((size - at) / 16, 255);
    __m128i lanes = zero;
    for (std::size_t round = 0; round < rounds; ++round, at += 16) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
      lanes = _mm_sub_epi8(lanes, _mm_cmpeq_epi8(bytes, line_feed));
    }
    const __m128i sums = _mm_sad_epu8(lanes, zero);
    count += static_cast<std::uint64_t>(_mm_cvtsi128_si64(sums)) +
             static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
  }
#elif defined(__aarch64__)
  const uint8x16_t line_feed = vdupq_n_u8('\n');
  const uint8x16_t one = vdupq_n_u8(1);
  for (; at + 16 <= size; at += 16) {
    count += vaddvq_u8(vandq_u8(vceqq_u8(vld1q_u8(data + at), line_feed), one));
  }
#endif
  for (; at < size; ++at) count += data[at] == '\n' ? 1 : 0;
  return count;
}

}  // namespace vrex::ext
