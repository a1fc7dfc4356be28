#include "csv/utf8.h"

#include <emmintrin.h>

namespace vrex::ext {

namespace {

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
    while (at + 16 <= size &&
           _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at))) == 0) {
      at += 16;
    }
    while (at < size && data[at] < 0x80) ++at;
    if (at == size) break;
    const std::size_t length = valid_sequence_length(data, at, size);
    if (length == 0) return at;
    at += length;
  }
  return size;
}

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
  const __m128i line_feed = _mm_set1_epi8('\n');
  std::uint64_t count = 0;
  std::size_t at = 0;
  for (; at + 16 <= size; at += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
    const auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, line_feed)));
    count += static_cast<std::uint64_t>(__builtin_popcount(mask));
  }
  for (; at < size; ++at) count += data[at] == '\n' ? 1 : 0;
  return count;
}

}  // namespace vrex::ext
