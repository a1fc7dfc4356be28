// The common short decimal forms, read from one 16-byte block of a padded
// text (one with readable bytes past its end): no loop over the digits and no
// branch on where they stop. Anything else is left to the general readers.
#pragma once

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>
#include <type_traits>

#include "typing/number_parse.h"
#include "typing/product_double.h"

namespace vrex::ext {

#if defined(__x86_64__)
#define VREX_SHORT_NUMBER_TARGET __attribute__((target("sse4.1")))
#else
#define VREX_SHORT_NUMBER_TARGET
#endif

// Whether the CPU runs the block readers below (never in a build forced to
// the scalar reference paths, nor on other architectures).
inline bool cpu_reads_short_numbers() noexcept {
#if defined(VREX_FORCE_SCALAR) || !defined(__x86_64__)
  return false;
#else
  return __builtin_cpu_supports("sse4.1") != 0;
#endif
}

#if defined(__x86_64__)

namespace short_number_detail {

// The value of 16 digit bytes (0 to 9 each, first the highest).
VREX_SHORT_NUMBER_TARGET inline std::uint64_t sixteen_digits_value(__m128i digits) noexcept {
  const __m128i pairs = _mm_maddubs_epi16(digits, _mm_set1_epi16(0x010A));
  const __m128i quads = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00010064));
  const __m128i packed = _mm_packus_epi32(quads, quads);
  const __m128i eights = _mm_madd_epi16(packed, _mm_set1_epi32(0x00012710));
  const auto high = static_cast<std::uint32_t>(_mm_cvtsi128_si32(eights));
  const auto low = static_cast<std::uint32_t>(_mm_extract_epi32(eights, 1));
  return std::uint64_t{high} * 100000000 + low;
}

// Digit bytes (0 to 9) of a 16-byte block, right-aligned: the byte before
// `length` goes to byte 15, and the bytes before the block's start become
// zeros. With a point at `point` (-1 for none), the bytes before it move one
// further, so the point drops out.
VREX_SHORT_NUMBER_TARGET inline __m128i right_aligned_digits(__m128i digits, std::size_t length,
                                                             int point) noexcept {
  const __m128i source =
      _mm_add_epi8(_mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15),
                   _mm_set1_epi8(static_cast<char>(static_cast<int>(length) - 16)));
  const __m128i after_point = _mm_cmpgt_epi8(source, _mm_set1_epi8(static_cast<char>(point)));
  // Indices below zero have their top bit set, which selects a zero.
  const __m128i index = _mm_sub_epi8(_mm_sub_epi8(source, _mm_set1_epi8(1)), after_point);
  return _mm_shuffle_epi8(digits, index);
}

// The bytes of a block less '0', and which of the first `length` are digits.
struct DigitBlock {
  __m128i digits;
  unsigned digit_bits;
  unsigned inside;
};

VREX_SHORT_NUMBER_TARGET inline DigitBlock load_digit_block(const char* text,
                                                            std::size_t length) noexcept {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
  const __m128i digits = _mm_sub_epi8(bytes, _mm_set1_epi8('0'));
  const __m128i is_digit = _mm_cmpeq_epi8(_mm_min_epu8(digits, _mm_set1_epi8(9)), digits);
  const unsigned inside = (1u << length) - 1;
  return {digits, static_cast<unsigned>(_mm_movemask_epi8(is_digit)) & inside, inside};
}

// The text past its sign, if it has one.
inline std::string_view without_sign(std::string_view text) noexcept {
  return text.substr(!text.empty() && (text[0] == '-' || text[0] == '+') ? 1 : 0);
}

}  // namespace short_number_detail

// A padded text of an optional sign and 1 to 19 digits: true with its value
// when it fits `Int`, false when it does not read or needs the general reader.
template <class Int>
VREX_SHORT_NUMBER_TARGET inline bool read_short_integer(std::string_view text,
                                                        Int& value) noexcept {
  using namespace short_number_detail;
  if (text.empty()) return false;
  const bool negative = text[0] == '-';
  const std::size_t sign_length = (negative || text[0] == '+') ? 1 : 0;
  std::size_t length = text.size() - sign_length;
  if (length == 0 || length > number_detail::kMaxUnwrappedDigits) return false;
  // Beyond 16 digits, the first one to three are a block of their own.
  const char* digits = text.data() + sign_length;
  std::uint64_t head = 0;
  bool head_read = true;
  if (length > 16) {
    const std::size_t head_length = length - 16;
    const DigitBlock head_block = load_digit_block(digits, head_length);
    head_read = head_block.digit_bits == head_block.inside;
    head = sixteen_digits_value(right_aligned_digits(head_block.digits, head_length, -1));
    digits += head_length;
    length = 16;
  }
  const DigitBlock block = load_digit_block(digits, length);
  if (!head_read || block.digit_bits != block.inside) return false;
  const std::uint64_t magnitude =
      head * number_detail::kPowersOfTen16 +
      sixteen_digits_value(right_aligned_digits(block.digits, length, -1));
  const std::uint64_t limit =
      static_cast<std::uint64_t>(std::numeric_limits<Int>::max()) + (negative ? 1u : 0u);
  if (magnitude > limit) return false;
  // Two's complement negation of the magnitude also covers the type's minimum.
  using Unsigned = std::make_unsigned_t<Int>;
  const auto bits = static_cast<Unsigned>(magnitude);
  value = static_cast<Int>(negative ? static_cast<Unsigned>(Unsigned{0} - bits) : bits);
  return true;
}

// A padded text of an optional sign and then at most 16 bytes: digits with at
// most one point among them, and optionally an exponent of one to three
// digits after 'e' or 'E' and an optional sign; or "0." and up to 16 digits.
// True with the correctly rounded double; false leaves the text to
// read_double.
VREX_SHORT_NUMBER_TARGET inline bool read_short_double(std::string_view text,
                                                       double& value) noexcept {
  using namespace short_number_detail;
  using Traits = number_detail::FloatTraits<double>;
  if (text.empty()) return false;
  const bool negative = text[0] == '-';
  const std::size_t sign_length = (negative || text[0] == '+') ? 1 : 0;
  const char* body = text.data() + sign_length;
  std::size_t length = text.size() - sign_length;
  // Fractions with a leading "0." read the digits after the point alone.
  bool skipped_point = false;
  if (length > 16) {
    if (length > 18 || body[0] != '0' || body[1] != '.') return false;
    body += 2;
    length -= 2;
    skipped_point = true;
  }
  if (length == 0) return false;
  const DigitBlock block = load_digit_block(body, length);
  // 'E' less '0' differs from 'e' less '0' only in the 0x20 bit, like the letters.
  const __m128i folded = _mm_or_si128(block.digits, _mm_set1_epi8(0x20));
  const unsigned exponent_bits =
      static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(folded, _mm_set1_epi8('e' - '0')))) &
      block.inside;
  std::size_t mantissa_end = length;
  int exponent = 0;
  if (exponent_bits != 0) {
    mantissa_end = static_cast<std::size_t>(std::countr_zero(exponent_bits));
    std::size_t at = mantissa_end + 1;
    const bool exponent_negative = at < length && body[at] == '-';
    if (at < length && (exponent_negative || body[at] == '+')) ++at;
    if (at == length || length - at > 3) return false;
    const unsigned exponent_digits = block.inside & ~((1u << at) - 1);
    if ((block.digit_bits & exponent_digits) != exponent_digits) return false;
    for (; at < length; ++at) exponent = exponent * 10 + (body[at] - '0');
    if (exponent_negative) exponent = -exponent;
  }
  const unsigned mantissa_bits = (1u << mantissa_end) - 1;
  const __m128i points = _mm_cmpeq_epi8(block.digits, _mm_set1_epi8('.' - '0'));
  const unsigned point_bits = static_cast<unsigned>(_mm_movemask_epi8(points)) & mantissa_bits;
  const unsigned mantissa_digit_bits = block.digit_bits & mantissa_bits;
  if ((mantissa_digit_bits | point_bits) != mantissa_bits || (point_bits & (point_bits - 1)) != 0 ||
      mantissa_digit_bits == 0 || (skipped_point && point_bits != 0)) {
    return false;
  }
  const int point = point_bits != 0 ? std::countr_zero(point_bits) : -1;
  const std::uint64_t mantissa =
      sixteen_digits_value(right_aligned_digits(block.digits, mantissa_end, point));
  const int fraction_digits = point >= 0      ? static_cast<int>(mantissa_end) - 1 - point
                              : skipped_point ? static_cast<int>(mantissa_end)
                                              : 0;
  const int power = exponent - fraction_digits;
  // Up to 2^53 the digits convert exactly, and so do powers of ten up to
  // 10^22: the one multiplication or division then rounds once. Sixteen
  // digits with no point and no exponent need only the conversion's rounding.
  // Past either limit, the wide product rounds the same digits.
  std::uint64_t magnitude_bits;
  if ((mantissa <= Traits::kMaxExactMantissa || power == 0) && power >= -Traits::kMaxExactPower &&
      power <= Traits::kMaxExactPower) {
    const auto exact = static_cast<double>(mantissa);
    magnitude_bits = std::bit_cast<std::uint64_t>(power < 0 ? exact / Traits::kPowers[-power]
                                                            : exact * Traits::kPowers[power]);
  } else if (!round_by_product(mantissa, power, magnitude_bits)) {
    return false;
  }
  value = std::bit_cast<double>(magnitude_bits | (negative ? Traits::kSignBit : 0));
  return true;
}

// Whether a padded text is an optional sign and then 1 to `max_digits` digits
// (at most 16), found from one block: such a text reads as an integer of any
// type that holds every number of `max_digits` digits.
VREX_SHORT_NUMBER_TARGET inline bool is_short_integer_text(std::string_view text,
                                                           std::size_t max_digits) noexcept {
  using namespace short_number_detail;
  const std::string_view body = without_sign(text);
  if (body.empty() || body.size() > max_digits) return false;
  const DigitBlock block = load_digit_block(body.data(), body.size());
  return block.digit_bits == block.inside;
}

// Whether a padded text is an optional sign and then at most 16 bytes of
// digits, at least one, with at most one point among them, found from one
// block: such a text is floating-point text.
VREX_SHORT_NUMBER_TARGET inline bool is_short_decimal_text(std::string_view text) noexcept {
  using namespace short_number_detail;
  const std::string_view body = without_sign(text);
  if (body.empty() || body.size() > 16) return false;
  const DigitBlock block = load_digit_block(body.data(), body.size());
  const unsigned point_bits = static_cast<unsigned>(_mm_movemask_epi8(
                                  _mm_cmpeq_epi8(block.digits, _mm_set1_epi8('.' - '0')))) &
                              block.inside;
  return (block.digit_bits | point_bits) == block.inside && (point_bits & (point_bits - 1)) == 0 &&
         block.digit_bits != 0;
}

#else

// No block readers on this architecture: every text goes to the general readers.
template <class Int>
inline bool read_short_integer(std::string_view, Int&) noexcept {
  return false;
}

inline bool read_short_double(std::string_view, double&) noexcept { return false; }

inline bool is_short_integer_text(std::string_view, std::size_t) noexcept { return false; }

inline bool is_short_decimal_text(std::string_view) noexcept { return false; }

#endif

}  // namespace vrex::ext
