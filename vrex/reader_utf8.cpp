#include "vrex/reader_utf8.h"

#include <cstring>

#if defined(__SSE2__) && !defined(VREX_FORCE_SCALAR)
#include <emmintrin.h>
#define VREX_UTF8_SSE2 1
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
