// Readers of integer and floating-point text: no locale, no allocation, no
// exceptions. A reader writes its output only when the text reads; otherwise it
// returns false and leaves the output as it was.
//
// The readers are inline because they are the inner loop of every numeric
// column; only the rare slow path of floating-point reading (many digits or a
// large exponent) lives out of line.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>
#include <type_traits>

namespace vrex::ext {

namespace number_detail {

// Bytes below '0' wrap to large values, so one comparison tests for a digit.
inline unsigned digit_value(char c) noexcept {
  return static_cast<unsigned>(static_cast<unsigned char>(c)) - unsigned{'0'};
}

inline bool is_digit(char c) noexcept { return digit_value(c) < 10u; }

// ASCII letter case folding by the 0x20 bit: exact when compared against a
// letter, since only the upper and lower case letter differ in that bit alone.
inline bool equals_folded(const char* text, std::string_view lower_word) noexcept {
  for (std::size_t i = 0; i < lower_word.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) | 0x20u) != static_cast<unsigned char>(lower_word[i]))
      return false;
  }
  return true;
}

// Eight bytes at once, as a little-endian word: all digits, and their value.
inline bool are_eight_digits(std::uint64_t block) noexcept {
  return ((block & 0xF0F0F0F0F0F0F0F0) |
          (((block + 0x0606060606060606) & 0xF0F0F0F0F0F0F0F0) >> 4)) == 0x3333333333333333;
}

inline std::uint64_t eight_digits_value(std::uint64_t block) noexcept {
  // Pairs, then quads, then the eight: each step multiplies the high half by
  // 10, 100 or 10000 and adds the low half in one multiplication.
  block = ((block & 0x0F0F0F0F0F0F0F0F) * 2561) >> 8;
  block = ((block & 0x00FF00FF00FF00FF) * 6553601) >> 16;
  return ((block & 0x0000FFFF0000FFFF) * 42949672960001) >> 32;
}

static_assert(std::endian::native == std::endian::little, "the first byte is the low byte");

inline std::uint64_t load_eight(const char* bytes) noexcept {
  std::uint64_t block;
  std::memcpy(&block, bytes, 8);
  return block;
}

inline constexpr std::uint64_t kPowersOfTen16 = 10000000000000000;

// The most digits whose value always fits an unsigned 64-bit accumulator.
inline constexpr std::size_t kMaxUnwrappedDigits = 19;

// Reads `count` bytes that must all be digits; the value wraps beyond 19 digits.
inline bool read_digits(const char* digits, std::size_t count, std::uint64_t& value) noexcept {
  std::uint64_t accumulated = 0;
  for (; count >= 8; digits += 8, count -= 8) {
    const std::uint64_t block = load_eight(digits);
    if (!are_eight_digits(block)) return false;
    accumulated = accumulated * 100000000 + eight_digits_value(block);
  }
  // Non-digits in the tail are gathered in one flag rather than branched on.
  unsigned non_digit = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned digit = digit_value(digits[i]);
    non_digit |= digit > 9 ? 1u : 0u;
    accumulated = accumulated * 10 + digit;
  }
  value = accumulated;
  return non_digit == 0;
}

// Digits beyond the sign, reading with a range check at every step; for texts
// too long for the accumulator, which only leading zeros keep in range.
bool read_long_magnitude(const char* digits, std::size_t count, std::uint64_t limit,
                         std::uint64_t& magnitude) noexcept;

}  // namespace number_detail

// Integer text: an optional single sign, then one or more ASCII digits, nothing
// else; the value must fit `Int`.
template <class Int>
inline bool read_integer(std::string_view text, Int& value) noexcept {
  static_assert(std::is_same_v<Int, std::int32_t> || std::is_same_v<Int, std::int64_t>);
  // Up to this many digits the value always fits and needs no range check.
  constexpr std::size_t kUncheckedDigits = sizeof(Int) == 4 ? 7 : 15;
  const char* digits = text.data();
  std::size_t count = text.size();
  if (count == 0) return false;
  const bool negative = digits[0] == '-';
  const std::size_t sign_length = (negative || digits[0] == '+') ? 1 : 0;
  digits += sign_length;
  count -= sign_length;
  if (count == 0) return false;
  const std::uint64_t limit =
      static_cast<std::uint64_t>(std::numeric_limits<Int>::max()) + (negative ? 1u : 0u);
  std::uint64_t magnitude = 0;
  if (count <= number_detail::kMaxUnwrappedDigits) {
    if (!number_detail::read_digits(digits, count, magnitude)) return false;
    // 19 digits cannot wrap the accumulator, so one check at the end accepts
    // exactly the texts that a check at every step would.
    if (count > kUncheckedDigits && magnitude > limit) return false;
  } else if (!number_detail::read_long_magnitude(digits, count, limit, magnitude)) {
    return false;
  }
  // Two's complement negation of the magnitude also covers the type's minimum.
  using Unsigned = std::make_unsigned_t<Int>;
  const auto bits = static_cast<Unsigned>(magnitude);
  value = static_cast<Int>(negative ? static_cast<Unsigned>(Unsigned{0} - bits) : bits);
  return true;
}

// What a floating-point text says, found in one pass over it.
struct FloatText {
  enum class Kind : std::uint8_t { Invalid, Number, Infinity, NaN };

  Kind kind = Kind::Invalid;
  bool negative = false;
  // For numbers: the digits without the point, read as an integer while there
  // are at most 19 of them (wrapped and unused beyond), and the power of ten
  // that scales them.
  std::uint64_t mantissa = 0;
  std::size_t digit_count = 0;
  std::int64_t exponent = 0;
  // The text after its sign, for the slow path.
  const char* body = nullptr;
  const char* end = nullptr;
};

// An explicit exponent stops growing here: no text is long enough for its
// digits to bring a larger exponent back into range.
inline constexpr std::int64_t kExponentCap = std::int64_t{1} << 52;

// The rest of a float text after its digits, at `p`: an optional exponent,
// then the end. Fills `scan` in as a number when the text ends there.
inline FloatText finish_float_scan(FloatText scan, const char* p, const char* end,
                                   std::uint64_t mantissa, std::size_t digit_count,
                                   std::size_t fraction_count) noexcept {
  using number_detail::digit_value;
  using number_detail::is_digit;
  std::int64_t exponent = 0;
  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    bool exponent_negative = false;
    if (p != end && (*p == '+' || *p == '-')) exponent_negative = *p++ == '-';
    if (p == end || !is_digit(*p)) return scan;
    while (p != end && is_digit(*p)) {
      if (exponent < kExponentCap) exponent = exponent * 10 + digit_value(*p);
      ++p;
    }
    if (exponent_negative) exponent = -exponent;
  }
  if (p != end) return scan;
  scan.kind = FloatText::Kind::Number;
  scan.mantissa = mantissa;
  scan.digit_count = digit_count;
  scan.exponent = exponent - static_cast<std::int64_t>(fraction_count);
  return scan;
}

// Floating-point text: an optional sign, then a decimal number (digits with an
// optional point, at least one digit, optional exponent) or one of the words
// inf, infinity, nan in any letter case. Nothing else is accepted.
inline FloatText scan_float_text(std::string_view text) noexcept {
  using number_detail::digit_value;
  using number_detail::is_digit;
  FloatText scan;
  const char* p = text.data();
  const char* const end = p + text.size();
  if (p == end) return scan;
  scan.negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  scan.body = p;
  scan.end = end;
  std::uint64_t mantissa = 0;
  const char* const integer_begin = p;
  while (p != end && is_digit(*p)) mantissa = mantissa * 10 + digit_value(*p++);
  std::size_t digit_count = static_cast<std::size_t>(p - integer_begin);
  std::size_t fraction_count = 0;
  if (p != end && *p == '.') {
    const char* const fraction_begin = ++p;
    while (p != end && is_digit(*p)) mantissa = mantissa * 10 + digit_value(*p++);
    fraction_count = static_cast<std::size_t>(p - fraction_begin);
    digit_count += fraction_count;
  }
  if (digit_count == 0) {
    // No digits: only a word may stand after the sign.
    const std::size_t length = static_cast<std::size_t>(end - scan.body);
    if ((length == 3 && number_detail::equals_folded(scan.body, "inf")) ||
        (length == 8 && number_detail::equals_folded(scan.body, "infinity"))) {
      scan.kind = FloatText::Kind::Infinity;
    } else if (length == 3 && number_detail::equals_folded(scan.body, "nan")) {
      scan.kind = FloatText::Kind::NaN;
    }
    return scan;
  }
  return finish_float_scan(scan, p, end, mantissa, digit_count, fraction_count);
}

inline bool is_float_text(std::string_view text) noexcept {
  return scan_float_text(text).kind != FloatText::Kind::Invalid;
}

namespace number_detail {

// The correctly rounded value of a valid decimal number of the scan, any size.
double read_double_slow(const FloatText& scan) noexcept;
float read_float_slow(const FloatText& scan) noexcept;

#if defined(__x86_64__) || defined(__i386__)
#define VREX_X87_EXTENDED 1
static_assert(std::numeric_limits<long double>::digits == 64, "x87 extended precision");
#endif

inline constexpr int kMaxExtendedPower = 27;
inline constexpr long double kExtendedPowers[kMaxExtendedPower + 1] = {
    1e0L,  1e1L,  1e2L,  1e3L,  1e4L,  1e5L,  1e6L,  1e7L,  1e8L,  1e9L,
    1e10L, 1e11L, 1e12L, 1e13L, 1e14L, 1e15L, 1e16L, 1e17L, 1e18L, 1e19L,
    1e20L, 1e21L, 1e22L, 1e23L, 1e24L, 1e25L, 1e26L, 1e27L};

// Full-precision doubles (16 to 19 digits) with a modest exponent. Such a
// mantissa and a power of ten up to 10^27 are both exact in the 64-bit
// significand of long double, so one operation rounds the value once, to 64
// bits. Rounding that to 53 bits gives the correctly rounded double unless the
// first rounding landed exactly halfway between two doubles (the 11 bits below
// the double's last one are 10000000000); then this declines.
// Elsewhere long double is not this format (or is emulated in software), and
// the slow path reads these texts.
inline bool read_double_extended(std::uint64_t mantissa, std::int64_t exponent,
                                 double& value) noexcept {
#ifndef VREX_X87_EXTENDED
  (void)mantissa, (void)exponent, (void)value;
  return false;
#else
  const auto exact = static_cast<long double>(mantissa);
  const long double rounded =
      exponent < 0 ? exact / kExtendedPowers[-exponent] : exact * kExtendedPowers[exponent];
  std::uint64_t significand;
  std::memcpy(&significand, &rounded, sizeof significand);
  if ((significand & 0x7FF) == 0x400) return false;
  value = static_cast<double>(rounded);
  return true;
#endif
}

template <class Float>
struct FloatTraits;

template <>
struct FloatTraits<double> {
  using Bits = std::uint64_t;
  static constexpr Bits kQuietNaN = 0x7FF8000000000000ULL;
  static constexpr Bits kSignBit = 0x8000000000000000ULL;
  static constexpr std::uint64_t kMaxExactMantissa = std::uint64_t{1} << 53;
  static constexpr int kMaxExactPower = 22;
  static constexpr double kPowers[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                         1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                         1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

  static double read_inexact(const FloatText& scan) noexcept {
    double value;
    if (scan.digit_count <= kMaxUnwrappedDigits && scan.exponent >= -kMaxExtendedPower &&
        scan.exponent <= kMaxExtendedPower &&
        read_double_extended(scan.mantissa, scan.exponent, value)) {
      return value;
    }
    return read_double_slow(scan);
  }
};

// The same for binary32 with double as the wider type: a mantissa up to 2^53
// and a power of ten up to 10^22 are exact in double, the one rounding to 53
// bits lands in the normal range of float, and rounding on to 24 bits is right
// unless the 29 bits below the float's last one are exactly halfway.
inline bool read_float_via_double(std::uint64_t mantissa, std::int64_t exponent,
                                  float& value) noexcept {
  const auto exact = static_cast<double>(mantissa);
  const double rounded = exponent < 0 ? exact / FloatTraits<double>::kPowers[-exponent]
                                      : exact * FloatTraits<double>::kPowers[exponent];
  if ((std::bit_cast<std::uint64_t>(rounded) & 0x1FFFFFFF) == 0x10000000) return false;
  value = static_cast<float>(rounded);
  return true;
}

template <>
struct FloatTraits<float> {
  using Bits = std::uint32_t;
  static constexpr Bits kQuietNaN = 0x7FC00000U;
  static constexpr Bits kSignBit = 0x80000000U;
  static constexpr std::uint64_t kMaxExactMantissa = std::uint64_t{1} << 24;
  static constexpr int kMaxExactPower = 10;
  static constexpr float kPowers[11] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f,
                                        1e6f, 1e7f, 1e8f, 1e9f, 1e10f};

  static float read_inexact(const FloatText& scan) noexcept {
    float value;
    if (scan.digit_count <= kMaxUnwrappedDigits &&
        scan.mantissa <= FloatTraits<double>::kMaxExactMantissa &&
        scan.exponent >= -FloatTraits<double>::kMaxExactPower &&
        scan.exponent <= FloatTraits<double>::kMaxExactPower &&
        read_float_via_double(scan.mantissa, scan.exponent, value)) {
      return value;
    }
    return read_float_slow(scan);
  }
};

}  // namespace number_detail

// The correctly rounded value of a floating-point text; a leading '-' sets the
// sign bit of every result, zero, infinity and NaN alike. NaN is the quiet NaN
// with no payload.
// `kScan` reads the text's parts; `kReadInexact` rounds the numbers that the
// one exact operation cannot.
template <class Float,
          Float (*kReadInexact)(const FloatText&) noexcept =
              number_detail::FloatTraits<Float>::read_inexact,
          FloatText (*kScan)(std::string_view) noexcept = scan_float_text>
inline bool read_floating(std::string_view text, Float& value) noexcept {
  using Traits = number_detail::FloatTraits<Float>;
  using Bits = typename Traits::Bits;
  const FloatText scan = kScan(text);
  Float magnitude{};
  switch (scan.kind) {
    case FloatText::Kind::Invalid:
      return false;
    case FloatText::Kind::Infinity:
      magnitude = std::numeric_limits<Float>::infinity();
      break;
    case FloatText::Kind::NaN:
      magnitude = std::bit_cast<Float>(Traits::kQuietNaN);
      break;
    case FloatText::Kind::Number:
      // A mantissa and a power of ten both exactly representable give the
      // correctly rounded result in a single multiplication or division.
      if (scan.digit_count <= 19 && scan.mantissa <= Traits::kMaxExactMantissa &&
          scan.exponent >= -Traits::kMaxExactPower && scan.exponent <= Traits::kMaxExactPower) {
        const auto exact = static_cast<Float>(scan.mantissa);
        magnitude = scan.exponent < 0 ? exact / Traits::kPowers[-scan.exponent]
                                      : exact * Traits::kPowers[scan.exponent];
      } else {
        magnitude = kReadInexact(scan);
      }
      break;
  }
  const Bits sign = scan.negative ? Traits::kSignBit : Bits{0};
  value = std::bit_cast<Float>(static_cast<Bits>(std::bit_cast<Bits>(magnitude) | sign));
  return true;
}

inline bool read_double(std::string_view text, double& value) noexcept {
  return read_floating(text, value);
}

inline bool read_float(std::string_view text, float& value) noexcept {
  return read_floating(text, value);
}

inline bool read_int32(std::string_view text, std::int32_t& value) noexcept {
  return read_integer(text, value);
}

inline bool read_int64(std::string_view text, std::int64_t& value) noexcept {
  return read_integer(text, value);
}

}  // namespace vrex::ext
