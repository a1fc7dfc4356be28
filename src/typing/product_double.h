// Doubles of any length by one wide product: the decimal significand times
// the 128 leading bits of the power of five, which decides the correctly
// rounded result unless the product lands too close to a rounding boundary;
// only then does the exact slow reader run. Plain C++: the 64 x 64 -> 128
// bit products go through unsigned __int128.
#pragma once

#include <bit>
#include <cstdint>
#include <string_view>

#include "typing/number_parse.h"
#include "typing/powers_of_five.h"

namespace vrex::ext {

namespace product_detail {

// The compilers this builds with all have the 128-bit integer as an extension.
__extension__ typedef unsigned __int128 U128;

inline constexpr std::uint64_t kInfinityBits = 0x7FF0000000000000;
inline constexpr int kFractionBits = 52;
inline constexpr std::uint64_t kFractionMask = (std::uint64_t{1} << kFractionBits) - 1;

// Where the table is exact for the scaled significand, no check is needed:
// 5^q fits 128 bits up to q = 55, and down to q = -27 a value off a rounding
// boundary is too far from it for the rounded-up reciprocal to cross it.
inline constexpr std::int64_t kSmallestExactPower = -27;
inline constexpr std::int64_t kLargestExactPower = 55;

// Only here can a decimal lie exactly halfway between two doubles: above
// 10^23 the significand would need more than 54 bits, below 10^-4 it would
// need to be a multiple of a power of five above 2^64.
inline constexpr std::int64_t kSmallestTiePower = -4;
inline constexpr std::int64_t kLargestTiePower = 23;

// floor(log2(10^q)) for |q| far beyond the table's range.
inline constexpr std::int64_t floor_log2_power_of_ten(std::int64_t q) noexcept {
  return (q * 217706) >> 16;
}

}  // namespace product_detail

// The bits of the double nearest significand * 10^exponent (ties to even),
// or false when the product cannot tell; then nothing is written.
inline bool round_by_product(std::uint64_t significand, std::int64_t exponent,
                             std::uint64_t& bits) noexcept {
  using namespace product_detail;
  if (significand == 0 || exponent < powers_of_five::kSmallestPower) {
    bits = 0;
    return true;
  }
  if (exponent > powers_of_five::kLargestPower) {
    bits = kInfinityBits;
    return true;
  }
  const int leading_zeros = std::countl_zero(significand);
  const std::uint64_t normalized = significand << leading_zeros;
  const powers_of_five::Entry& power = powers_of_five::of(static_cast<int>(exponent));
  // The top 128 bits of the 192-bit product, exactly.
  const U128 upper_product = U128{normalized} * power.high;
  const auto lower_carry = static_cast<std::uint64_t>((U128{normalized} * power.low) >> 64);
  std::uint64_t high = static_cast<std::uint64_t>(upper_product >> 64);
  std::uint64_t middle = static_cast<std::uint64_t>(upper_product);
  middle += lower_carry;
  high += middle < lower_carry ? 1 : 0;

  // The table entry is off by less than one unit, so the product by less than
  // 2^64 units of its lowest word: it can move the result only when every bit
  // below the rounding bit is one (truncated entries) or zero (rounded up).
  if (exponent < kSmallestExactPower || exponent > kLargestExactPower) {
    const std::uint64_t low_bits = high & 0x1FF;
    if ((middle == ~std::uint64_t{0} && low_bits == 0x1FF) || (middle == 0 && low_bits == 0)) {
      return false;
    }
  }

  // 54 bits: the double's 53 and one for rounding.
  const int upper_bit = static_cast<int>(high >> 63);
  const int shift = upper_bit + 64 - kFractionBits - 3;
  std::uint64_t mantissa = high >> shift;
  std::int64_t biased_exponent =
      floor_log2_power_of_ten(exponent) + 1086 + upper_bit - leading_zeros;

  if (biased_exponent <= 0) {
    // Subnormal (or zero): shift down to the fixed exponent of the smallest
    // doubles. No decimal lies exactly halfway here, so round half up; a
    // carry into bit 52 makes the smallest normal double, as it should.
    const std::int64_t down = 1 - biased_exponent;
    if (down >= 64) {
      bits = 0;
      return true;
    }
    mantissa >>= down;
    bits = (mantissa + (mantissa & 1)) >> 1;
    return true;
  }
  // Exactly halfway (the rounding bit set, nothing below it): round to even
  // by not rounding up an even result.
  if (exponent >= kSmallestTiePower && exponent <= kLargestTiePower && middle == 0 &&
      (mantissa & 3) == 1 && (mantissa << shift) == high) {
    mantissa &= ~std::uint64_t{1};
  }
  mantissa = (mantissa + (mantissa & 1)) >> 1;
  if (mantissa >> (kFractionBits + 1) != 0) {
    mantissa >>= 1;
    ++biased_exponent;
  }
  if (biased_exponent >= 0x7FF) {
    bits = kInfinityBits;
    return true;
  }
  bits = static_cast<std::uint64_t>(biased_exponent) << kFractionBits | (mantissa & kFractionMask);
  return true;
}

namespace product_detail {

// Appends a run of digits to `mantissa` (wrapping past 19 digits, as the
// general scan does) eight at a time while eight bytes remain; returns where
// the run stops.
inline const char* read_digit_run(const char* p, const char* end,
                                  std::uint64_t& mantissa) noexcept {
  using namespace number_detail;
  while (end - p >= 8) {
    const std::uint64_t block = load_eight(p);
    if (!are_eight_digits(block)) break;
    mantissa = mantissa * 100000000 + eight_digits_value(block);
    p += 8;
  }
  while (p != end && is_digit(*p)) mantissa = mantissa * 10 + digit_value(*p++);
  return p;
}

// What scan_float_text finds, with the digit runs read a word at a time: the
// long mantissas this reader is for are otherwise one dependent
// multiply-add per digit. Texts without digits (the words, and what does
// not read) are left to the general scan, and so are short texts, whose
// runs are too short for a word and whose lengths vary too much to predict.
inline constexpr std::size_t kShortestWordScan = 16;

inline FloatText scan_decimal_text(std::string_view text) noexcept {
  FloatText scan;
  const char* p = text.data();
  const char* const end = p + text.size();
  if (p == end) return scan;
  scan.negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  scan.body = p;
  scan.end = end;
  std::uint64_t mantissa = 0;
  const char* const integer_end = read_digit_run(p, end, mantissa);
  std::size_t digit_count = static_cast<std::size_t>(integer_end - p);
  p = integer_end;
  std::size_t fraction_count = 0;
  if (p != end && *p == '.') {
    const char* const fraction_begin = ++p;
    p = read_digit_run(p, end, mantissa);
    fraction_count = static_cast<std::size_t>(p - fraction_begin);
    digit_count += fraction_count;
  }
  if (digit_count == 0) return scan_float_text(text);
  return finish_float_scan(scan, p, end, mantissa, digit_count, fraction_count);
}

// Numbers of more than 19 digits (their first 19 bound the value from both
// sides) and products too close to call; out of line, being rare.
double read_long_double_by_product(const FloatText& scan) noexcept;

inline double read_inexact_by_product(const FloatText& scan) noexcept {
  std::uint64_t bits;
  if (scan.digit_count <= number_detail::kMaxUnwrappedDigits &&
      round_by_product(scan.mantissa, scan.exponent, bits)) {
    return std::bit_cast<double>(bits);
  }
  return read_long_double_by_product(scan);
}

}  // namespace product_detail

// The same texts and the same bits as read_double, by a word-at-a-time scan
// and the wide product instead of extended precision and the standard library.
inline bool read_double_by_product(std::string_view text, double& value) noexcept {
  if (text.size() < product_detail::kShortestWordScan) {
    return read_floating<double, product_detail::read_inexact_by_product>(text, value);
  }
  return read_floating<double, product_detail::read_inexact_by_product,
                       product_detail::scan_decimal_text>(text, value);
}

// The reader of double cells: the product reader, or in a build forced to
// the reference paths, the general one.
inline bool read_double_cell(std::string_view text, double& value) noexcept {
#ifdef VREX_FORCE_SCALAR
  return read_double(text, value);
#else
  return read_double_by_product(text, value);
#endif
}

}  // namespace vrex::ext
