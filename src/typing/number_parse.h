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

// Digits beyond the sign, reading with a range check at every step.
bool read_long_magnitude(const char* digits, std::size_t count, std::uint64_t limit,
                         std::uint64_t& magnitude) noexcept;

}  // namespace number_detail

// Integer text: an optional single sign, then one or more ASCII digits, nothing
// else; the value must fit `Int`. Texts of few digits cannot overflow and skip
// the range check; longer ones accumulate with a check at every step. Both
// accept exactly the same set of texts.
template <class Int>
inline bool read_integer(std::string_view text, Int& value) noexcept {
  static_assert(std::is_same_v<Int, std::int32_t> || std::is_same_v<Int, std::int64_t>);
  constexpr std::size_t kUncheckedDigits = sizeof(Int) == 4 ? 7 : 15;
  const char* digits = text.data();
  std::size_t count = text.size();
  if (count == 0) return false;
  const bool negative = digits[0] == '-';
  const std::size_t sign_length = (negative || digits[0] == '+') ? 1 : 0;
  digits += sign_length;
  count -= sign_length;
  if (count == 0) return false;
  if (count <= kUncheckedDigits) {
    // Non-digits are gathered in one flag rather than branched on: the
    // accumulator may wrap for them, which is harmless as they reject the text.
    std::uint64_t magnitude = 0;
    unsigned non_digit = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const unsigned digit = number_detail::digit_value(digits[i]);
      non_digit |= digit > 9 ? 1u : 0u;
      magnitude = magnitude * 10 + digit;
    }
    if (non_digit != 0) return false;
    const auto signed_magnitude = static_cast<std::int64_t>(magnitude);
    value = static_cast<Int>(negative ? -signed_magnitude : signed_magnitude);
    return true;
  }
  using Unsigned = std::make_unsigned_t<Int>;
  const std::uint64_t limit =
      static_cast<std::uint64_t>(std::numeric_limits<Int>::max()) + (negative ? 1u : 0u);
  std::uint64_t magnitude = 0;
  if (!number_detail::read_long_magnitude(digits, count, limit, magnitude)) return false;
  // Two's complement negation of the magnitude also covers the type's minimum.
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
    if (length == 3 && number_detail::equals_folded(scan.body, "inf")) {
      scan.kind = FloatText::Kind::Infinity;
    } else if (length == 8 && number_detail::equals_folded(scan.body, "infinity")) {
      scan.kind = FloatText::Kind::Infinity;
    } else if (length == 3 && number_detail::equals_folded(scan.body, "nan")) {
      scan.kind = FloatText::Kind::NaN;
    }
    return scan;
  }
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

inline bool is_float_text(std::string_view text) noexcept {
  return scan_float_text(text).kind != FloatText::Kind::Invalid;
}

namespace number_detail {

// The correctly rounded value of a valid decimal number of the scan, any size.
double read_double_slow(const FloatText& scan) noexcept;
float read_float_slow(const FloatText& scan) noexcept;

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

  static double read_slow(const FloatText& scan) noexcept { return read_double_slow(scan); }
};

template <>
struct FloatTraits<float> {
  using Bits = std::uint32_t;
  static constexpr Bits kQuietNaN = 0x7FC00000U;
  static constexpr Bits kSignBit = 0x80000000U;
  static constexpr std::uint64_t kMaxExactMantissa = std::uint64_t{1} << 24;
  static constexpr int kMaxExactPower = 10;
  static constexpr float kPowers[11] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f,
                                        1e6f, 1e7f, 1e8f, 1e9f, 1e10f};

  static float read_slow(const FloatText& scan) noexcept { return read_float_slow(scan); }
};

}  // namespace number_detail

// The correctly rounded value of a floating-point text; a leading '-' sets the
// sign bit of every result, zero, infinity and NaN alike. NaN is the quiet NaN
// with no payload.
template <class Float>
inline bool read_floating(std::string_view text, Float& value) noexcept {
  using Traits = number_detail::FloatTraits<Float>;
  using Bits = typename Traits::Bits;
  const FloatText scan = scan_float_text(text);
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
        magnitude = Traits::read_slow(scan);
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
