#include "vrex/reader_utf8.h"

#include <cstring>

#if defined(__SSE2__) && !defined(VREX_FORCE_SCALAR)
#include <emmintrin.h>
#define VREX_UTF8_SSE2 1
#endif

#if defined(__x86_64__) && !defined(VREX_FORCE_SCALAR)
#include <immintrin.h>
#include <tmmintrin.h>
#define VREX_UTF8_SSSE3 1
#endif

namespace vrex {

namespace {

// Length of the sequence led by `lead`, or 0 for a byte that cannot lead one.
inline std::size_t sequence_length(std::uint8_t lead) noexcept {
  if (lead < 0x80) return 1;
  if (lead < 0xC2) return 0;  // continuation byte, or overlong two-byte lead
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  if (lead < 0xF5) return 4;
  return 0;
}

inline bool is_continuation(std::uint8_t byte) noexcept { return (byte & 0xC0) == 0x80; }

// Checks one sequence at `at`; returns its length, or 0 if it is malformed.
inline std::size_t check_sequence(const std::uint8_t* at, std::size_t left) noexcept {
  const std::uint8_t lead = at[0];
  const std::size_t length = sequence_length(lead);
  if (length <= 1 || length > left) return length == 1 ? 1 : 0;
  const std::uint8_t second = at[1];
  // The second byte's range rules out overlong forms, surrogates and values
  // above U+10FFFF.
  std::uint8_t low = 0x80;
  std::uint8_t high = 0xBF;
  if (lead == 0xE0) low = 0xA0;
  if (lead == 0xED) high = 0x9F;
  if (lead == 0xF0) low = 0x90;
  if (lead == 0xF4) high = 0x8F;
  if (second < low || second > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if (!is_continuation(at[k])) return 0;
  }
  return length;
}

#ifdef VREX_UTF8_SSSE3
// Sixteen bytes at a time by table lookups on the high and low nibble of
// each byte and the high nibble of the byte after it: each table entry holds
// the faults a pair can show (bits below), and a pair is wrong when all three
// lookups share a bit. A third or fourth byte of a sequence is checked by
// whether the byte two or three back leads one.
namespace fault {
constexpr std::uint8_t kTooShort = 1 << 0;      // lead, then no continuation
constexpr std::uint8_t kTooLong = 1 << 1;       // ASCII, then a continuation
constexpr std::uint8_t kOverlong3 = 1 << 2;     // E0, then 80..9F
constexpr std::uint8_t kTooLarge = 1 << 3;      // F4, then 90..BF; F5.. at all
constexpr std::uint8_t kSurrogate = 1 << 4;     // ED, then A0..BF
constexpr std::uint8_t kOverlong2 = 1 << 5;     // C0 or C1
constexpr std::uint8_t kTooLarge1000 = 1 << 6;  // F5.., then 80..8F
constexpr std::uint8_t kOverlong4 = 1 << 6;     // F0, then 80..8F
constexpr std::uint8_t kTwoContinuations = 1 << 7;
constexpr std::uint8_t kCarry = kTooShort | kTooLong | kTwoContinuations;
}  // namespace fault

template <class... Bytes>
__attribute__((target("ssse3"))) inline __m128i table_of(Bytes... bytes) {
  return _mm_setr_epi8(static_cast<char>(bytes)...);
}

__attribute__((target("ssse3"))) inline __m128i high_nibbles(__m128i bytes) {
  return _mm_and_si128(_mm_srli_epi16(bytes, 4), _mm_set1_epi8(0x0F));
}

__attribute__((target("ssse3"))) bool is_valid_utf8_ssse3(const std::uint8_t* bytes,
                                                          std::size_t size) noexcept {
  using namespace fault;
  const __m128i first_high =
      table_of(kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
               kTwoContinuations, kTwoContinuations, kTwoContinuations, kTwoContinuations,
               kTooShort | kOverlong2, kTooShort, kTooShort | kOverlong3 | kSurrogate,
               kTooShort | kTooLarge | kTooLarge1000 | kOverlong4);
  const __m128i first_low =
      table_of(kCarry | kOverlong3 | kOverlong2 | kOverlong4, kCarry | kOverlong2, kCarry, kCarry,
               kCarry | kTooLarge, kCarry | kTooLarge | kTooLarge1000,
               kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
               kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
               kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
               kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000 | kSurrogate,
               kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000);
  const __m128i second_high = table_of(
      kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
      kTooLong | kOverlong2 | kTwoContinuations | kOverlong3 | kTooLarge1000 | kOverlong4,
      kTooLong | kOverlong2 | kTwoContinuations | kOverlong3 | kTooLarge,
      kTooLong | kOverlong2 | kTwoContinuations | kSurrogate | kTooLarge,
      kTooLong | kOverlong2 | kTwoContinuations | kSurrogate | kTooLarge, kTooShort, kTooShort,
      kTooShort, kTooShort);
  // A lead byte in the last three places still needs bytes from the next block.
  const __m128i last_complete = table_of(0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                         0xFF, 0xFF, 0xFF, 0xEF, 0xDF, 0xBF);
  __m128i previous = _mm_setzero_si128();
  __m128i incomplete = _mm_setzero_si128();
  __m128i faults = _mm_setzero_si128();
  auto check = [&](__m128i input) __attribute__((target("ssse3"))) {
    if (_mm_movemask_epi8(input) == 0) {
      faults = _mm_or_si128(faults, incomplete);
      incomplete = _mm_setzero_si128();
    } else {
      const __m128i previous1 = _mm_alignr_epi8(input, previous, 15);
      __m128i pair_faults = _mm_shuffle_epi8(first_high, high_nibbles(previous1));
      pair_faults = _mm_and_si128(
          pair_faults, _mm_shuffle_epi8(first_low, _mm_and_si128(previous1, _mm_set1_epi8(0x0F))));
      pair_faults = _mm_and_si128(pair_faults, _mm_shuffle_epi8(second_high, high_nibbles(input)));
      const __m128i previous2 = _mm_alignr_epi8(input, previous, 14);
      const __m128i previous3 = _mm_alignr_epi8(input, previous, 13);
      const __m128i third_or_fourth =
          _mm_or_si128(_mm_subs_epu8(previous2, _mm_set1_epi8(static_cast<char>(0xE0 - 0x80))),
                       _mm_subs_epu8(previous3, _mm_set1_epi8(static_cast<char>(0xF0 - 0x80))));
      const __m128i must_continue =
          _mm_and_si128(third_or_fourth, _mm_set1_epi8(static_cast<char>(0x80)));
      faults = _mm_or_si128(faults, _mm_xor_si128(must_continue, pair_faults));
      incomplete = _mm_subs_epu8(input, last_complete);
    }
    previous = input;
  };
  std::size_t index = 0;
  for (; index + 16 <= size; index += 16) {
    check(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + index)));
  }
  // The rest padded with zeros, which end any sequence left open.
  alignas(16) std::uint8_t tail[16] = {};
  if (size > index) std::memcpy(tail, bytes + index, size - index);
  check(_mm_load_si128(reinterpret_cast<const __m128i*>(tail)));
  faults = _mm_or_si128(faults, incomplete);
  return _mm_movemask_epi8(_mm_cmpeq_epi8(faults, _mm_setzero_si128())) == 0xFFFF;
}

bool has_ssse3() noexcept {
  static const bool supported = __builtin_cpu_supports("ssse3");
  return supported;
}

// The same check 32 bytes at a time: the tables repeat in each 128-bit lane,
// and the bytes before each position come from the lane before it.
__attribute__((target("avx2"))) bool is_valid_utf8_avx2(const std::uint8_t* bytes,
                                                        std::size_t size) noexcept {
  using namespace fault;
  const __m256i first_high = _mm256_broadcastsi128_si256(
      table_of(kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
               kTwoContinuations, kTwoContinuations, kTwoContinuations, kTwoContinuations,
               kTooShort | kOverlong2, kTooShort, kTooShort | kOverlong3 | kSurrogate,
               kTooShort | kTooLarge | kTooLarge1000 | kOverlong4));
  const __m256i first_low = _mm256_broadcastsi128_si256(
      table_of(kCarry | kOverlong3 | kOverlong2 | kOverlong4, kCarry | kOverlong2, kCarry, kCarry,
               kCarry | kTooLarge, kCarry | kTooLarge | kTooLarge1000,
               kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
               kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
               kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
               kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000 | kSurrogate,
               kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000));
  const __m256i second_high = _mm256_broadcastsi128_si256(table_of(
      kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
      kTooLong | kOverlong2 | kTwoContinuations | kOverlong3 | kTooLarge1000 | kOverlong4,
      kTooLong | kOverlong2 | kTwoContinuations | kOverlong3 | kTooLarge,
      kTooLong | kOverlong2 | kTwoContinuations | kSurrogate | kTooLarge,
      kTooLong | kOverlong2 | kTwoContinuations | kSurrogate | kTooLarge, kTooShort, kTooShort,
      kTooShort, kTooShort));
  // A lead byte in the last three places still needs bytes from the next block.
  const __m256i last_complete =
      _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                       -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, static_cast<char>(0xEF),
                       static_cast<char>(0xDF), static_cast<char>(0xBF));
  const __m256i low_nibble = _mm256_set1_epi8(0x0F);
  __m256i previous = _mm256_setzero_si256();
  __m256i incomplete = _mm256_setzero_si256();
  __m256i faults = _mm256_setzero_si256();
  auto check = [&](__m256i input) __attribute__((target("avx2"))) {
    if (_mm256_movemask_epi8(input) == 0) {
      faults = _mm256_or_si256(faults, incomplete);
      incomplete = _mm256_setzero_si256();
    } else {
      // The last lane of `previous` and the first of `input`.
      const __m256i straddle = _mm256_permute2x128_si256(previous, input, 0x21);
      const __m256i previous1 = _mm256_alignr_epi8(input, straddle, 15);
      const __m256i previous2 = _mm256_alignr_epi8(input, straddle, 14);
      const __m256i previous3 = _mm256_alignr_epi8(input, straddle, 13);
      __m256i pair_faults = _mm256_shuffle_epi8(
          first_high, _mm256_and_si256(_mm256_srli_epi16(previous1, 4), low_nibble));
      pair_faults = _mm256_and_si256(
          pair_faults, _mm256_shuffle_epi8(first_low, _mm256_and_si256(previous1, low_nibble)));
      pair_faults = _mm256_and_si256(
          pair_faults, _mm256_shuffle_epi8(
                           second_high, _mm256_and_si256(_mm256_srli_epi16(input, 4), low_nibble)));
      const __m256i third_or_fourth = _mm256_or_si256(
          _mm256_subs_epu8(previous2, _mm256_set1_epi8(static_cast<char>(0xE0 - 0x80))),
          _mm256_subs_epu8(previous3, _mm256_set1_epi8(static_cast<char>(0xF0 - 0x80))));
      const __m256i must_continue =
          _mm256_and_si256(third_or_fourth, _mm256_set1_epi8(static_cast<char>(0x80)));
      faults = _mm256_or_si256(faults, _mm256_xor_si256(must_continue, pair_faults));
      incomplete = _mm256_subs_epu8(input, last_complete);
    }
    previous = input;
  };
  std::size_t index = 0;
  for (; index + 32 <= size; index += 32) {
    check(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + index)));
  }
  // The rest padded with zeros, which end any sequence left open.
  alignas(32) std::uint8_t tail[32] = {};
  if (size > index) std::memcpy(tail, bytes + index, size - index);
  check(_mm256_load_si256(reinterpret_cast<const __m256i*>(tail)));
  faults = _mm256_or_si256(faults, incomplete);
  return _mm256_testz_si256(faults, faults) != 0;
}

bool has_avx2() noexcept {
  static const bool supported = __builtin_cpu_supports("avx2");
  return supported;
}
#endif

}  // namespace

bool is_valid_utf8_scalar(const std::uint8_t* bytes, std::size_t size) noexcept {
  std::size_t index = 0;
  while (index < size) {
    const std::size_t length = check_sequence(bytes + index, size - index);
    if (length == 0) return false;
    index += length;
  }
  return true;
}

bool is_valid_utf8(const std::uint8_t* bytes, std::size_t size) noexcept {
#ifdef VREX_UTF8_SSSE3
  if (size >= 64 && has_avx2()) return is_valid_utf8_avx2(bytes, size);
  if (size >= 16 && has_ssse3()) return is_valid_utf8_ssse3(bytes, size);
#endif
  std::size_t index = 0;
  while (index < size) {
    // Jump straight to the next byte that is not ASCII.
#ifdef VREX_UTF8_SSE2
    while (size - index >= 16) {
      __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + index));
      const int high_bits = _mm_movemask_epi8(block);
      if (high_bits != 0) {
        index += static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(high_bits)));
        break;
      }
      index += 16;
    }
#endif
    while (size - index >= 8) {
      std::uint64_t word;
      std::memcpy(&word, bytes + index, 8);
      const std::uint64_t high_bits = word & 0x8080808080808080ULL;
      if (high_bits != 0) {
        index += static_cast<std::size_t>(__builtin_ctzll(high_bits)) / 8;
        break;
      }
      index += 8;
    }
    if (index == size) break;
    const std::size_t length = check_sequence(bytes + index, size - index);
    if (length == 0) return false;
    index += length;
  }
  return true;
}

}  // namespace vrex
