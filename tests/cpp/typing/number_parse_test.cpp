// The integer and floating-point readers against a slow reference that is
// plainly right: the grammar checked clause by clause, the value from the C
// library (correctly rounded in the C locale, which tests never change).
#include "typing/number_parse.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "typing/product_double.h"
#include "typing/short_number.h"

namespace vrex::ext {
namespace {

bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

std::string_view without_sign(std::string_view text) {
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) text.remove_prefix(1);
  return text;
}

bool matches_integer_grammar(std::string_view text) {
  const std::string_view digits = without_sign(text);
  if (digits.empty()) return false;
  for (char c : digits) {
    if (!is_ascii_digit(c)) return false;
  }
  return true;
}

bool matches_float_grammar(std::string_view text) {
  const std::string_view body = without_sign(text);
  std::string lower;
  for (char c : body) lower.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
  if (lower == "inf" || lower == "infinity" || lower == "nan") return true;
  std::size_t at = 0;
  std::size_t digits = 0;
  const auto skip_digits = [&] {
    std::size_t skipped = 0;
    while (at < body.size() && is_ascii_digit(body[at])) ++at, ++skipped;
    return skipped;
  };
  digits += skip_digits();
  if (at < body.size() && body[at] == '.') {
    ++at;
    digits += skip_digits();
  }
  if (digits == 0) return false;
  if (at < body.size() && (body[at] == 'e' || body[at] == 'E')) {
    ++at;
    if (at < body.size() && (body[at] == '+' || body[at] == '-')) ++at;
    if (skip_digits() == 0) return false;
  }
  return at == body.size();
}

std::optional<std::int64_t> reference_integer(const std::string& text, bool is_integer_text,
                                              std::int64_t min, std::int64_t max) {
  if (!is_integer_text) return std::nullopt;
  errno = 0;
  const long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (errno == ERANGE || value < min || value > max) return std::nullopt;
  return value;
}

bool has_nan_word(const std::string& text) {
  return text.size() >= 3 && (text.back() | 0x20) == 'n' && (text[text.size() - 2] | 0x20) == 'a';
}

std::optional<std::uint64_t> reference_double_bits(const std::string& text, bool is_float) {
  if (!is_float) return std::nullopt;
  if (has_nan_word(text)) return text[0] == '-' ? 0xFFF8000000000000 : 0x7FF8000000000000;
  return std::bit_cast<std::uint64_t>(std::strtod(text.c_str(), nullptr));
}

std::optional<std::uint32_t> reference_float_bits(const std::string& text, bool is_float) {
  if (!is_float) return std::nullopt;
  if (has_nan_word(text)) return text[0] == '-' ? 0xFFC00000 : 0x7FC00000;
  return std::bit_cast<std::uint32_t>(std::strtof(text.c_str(), nullptr));
}

// Checks every reader on one text; returns false (after reporting) on the first
// disagreement so that a broken reader does not flood the log.
bool agrees_with_reference(const std::string& text) {
  SCOPED_TRACE("text '" + text + "'");
  const bool is_integer = matches_integer_grammar(text);
  const bool is_float = matches_float_grammar(text);
  std::int32_t int32 = 0;
  const auto int32_expected = reference_integer(text, is_integer, INT32_MIN, INT32_MAX);
  const bool int32_read = read_int32(text, int32);
  EXPECT_EQ(int32_read, int32_expected.has_value());
  if (int32_read && int32_expected) {
    EXPECT_EQ(int32, *int32_expected);
  }

  std::int64_t int64 = 0;
  const auto int64_expected = reference_integer(text, is_integer, INT64_MIN, INT64_MAX);
  const bool int64_read = read_int64(text, int64);
  EXPECT_EQ(int64_read, int64_expected.has_value());
  if (int64_read && int64_expected) {
    EXPECT_EQ(int64, *int64_expected);
  }

  double binary64 = 0;
  const auto double_expected = reference_double_bits(text, is_float);
  const bool double_read = read_double(text, binary64);
  EXPECT_EQ(double_read, double_expected.has_value());
  EXPECT_EQ(is_float_text(text), double_expected.has_value());
  if (double_read && double_expected) {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(binary64), *double_expected);
  }

  // The wide-product reader reads the same texts to the same bits.
  double by_product = 0;
  const bool product_read = read_double_by_product(text, by_product);
  EXPECT_EQ(product_read, double_read);
  if (product_read && double_read) {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(by_product), std::bit_cast<std::uint64_t>(binary64));
  }

  float binary32 = 0;
  const auto float_expected = reference_float_bits(text, is_float);
  const bool float_read = read_float(text, binary32);
  EXPECT_EQ(float_read, float_expected.has_value());
  if (float_read && float_expected) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(binary32), *float_expected);
  }

  // The block reader sees digits and a point right after the text, which it
  // must not take for part of it; what it reads, it reads exactly.
  if (cpu_reads_short_numbers()) {
    const std::string padded = text + "1.2345678901234567890123456789012";
    double short_value = 0;
    const std::string_view view(padded.data(), text.size());
    if (read_short_double(view, short_value)) {
      EXPECT_TRUE(double_read);
      EXPECT_EQ(std::bit_cast<std::uint64_t>(short_value), std::bit_cast<std::uint64_t>(binary64));
    }
    std::int32_t short_int32 = 0;
    if (read_short_integer(view, short_int32)) {
      EXPECT_TRUE(int32_read);
      EXPECT_EQ(short_int32, int32);
    }
    std::int64_t short_int64 = 0;
    if (read_short_integer(view, short_int64)) {
      EXPECT_TRUE(int64_read);
      EXPECT_EQ(short_int64, int64);
    }
  }
  return !testing::Test::HasFailure();
}

std::string formatted(const char* format, auto... values) {
  char buffer[1024];
  const int length = std::snprintf(buffer, sizeof buffer, format, values...);
  return std::string(buffer, static_cast<std::size_t>(length));
}

// Range edges of both integer widths, of binary64 and binary32, of the exact
// short path; long mantissas; every accepted form. Separated by spaces.
constexpr std::string_view kBoundaryTexts =
    "0 -0 +0 007 -0000 2147483647 2147483648 -2147483648 -2147483649 9999999 99999999 "
    "-9999999 -99999999 999999999999999 9999999999999999 9223372036854775807 "
    "9223372036854775808 -9223372036854775808 -9223372036854775809 18446744073709551615 "
    "18446744073709551616 000000000000000000000000002147483647 "
    "-00000000000000000000000009223372036854775808 1e308 1.7976931348623157e308 "
    "1.7976931348623158e308 1.7976931348623159e308 4.9e-324 2.4703282292062327e-324 "
    "2.4703282292062328e-324 2.2250738585072011e-308 2.2250738585072014e-308 "
    "9007199254740992 9007199254740993 9007199254740993.0000000000001 "
    "12345678901234567890123 0.000000000000000000000000000001234567890123456789 "
    "123456789012345678901234567890e-10 1e22 1e23 9.999999999999999e22 "
    "123456789012345e-22 123456789012345e-23 3.4028235e38 3.4028236e38 1.17549435e-38 "
    "1.4e-45 7.006492321624086e-46 16777217 16777216.5 1e-999 1e999 "
    "0e999999999999999999999 1e-99999999999999999999 .5 5. -.5e1 +5.E-1 inf -Infinity "
    "+NaN nan INF 0.1 0.3 1.5 -2.5e-3 0.4465931527569984 -0.9007199254740993 "
    "0.9999999999999999 1.4180e-02 -1.73707e+06 3.10e+08 -2.302244E-02 5.1288e-10";

std::vector<std::string> split_at_spaces(std::string_view words) {
  std::vector<std::string> split;
  for (std::size_t begin = 0; begin < words.size();) {
    const std::size_t end = std::min(words.find(' ', begin), words.size());
    split.emplace_back(words.substr(begin, end - begin));
    begin = end + 1;
  }
  return split;
}

// The characters that steer the grammar, for edits.
constexpr std::string_view kEditAlphabet = "0159+-.eEiInNfFaty x_,(";

// Every text one character inserted, deleted or replaced away.
std::vector<std::string> one_edit_away(const std::string& text) {
  std::vector<std::string> edits;
  for (std::size_t at = 0; at <= text.size(); ++at) {
    for (char c : kEditAlphabet) {
      edits.push_back(std::string(text).insert(at, 1, c));
      if (at < text.size()) {
        std::string replaced = text;
        replaced[at] = c;
        edits.push_back(std::move(replaced));
      }
    }
    if (at < text.size()) edits.push_back(std::string(text).erase(at, 1));
  }
  return edits;
}

// One of those, at random.
std::string random_edit(std::string text, std::mt19937_64& random) {
  const char c = kEditAlphabet[random() % kEditAlphabet.size()];
  const std::size_t at = random() % (text.size() + 1);
  switch (at == text.size() ? 0 : random() % 3) {
    case 0:
      return text.insert(at, 1, c);
    case 1:
      text[at] = c;
      return text;
    default:
      return text.erase(at, 1);
  }
}

TEST(NumberReaders, AgreeWithTheReferenceOnBoundaryTextsAndTheirEdits) {
  for (const std::string& text : split_at_spaces(kBoundaryTexts)) {
    ASSERT_TRUE(agrees_with_reference(text));
    for (const std::string& edited : one_edit_away(text))
      ASSERT_TRUE(agrees_with_reference(edited));
  }
}

TEST(NumberReaders, AgreeWithTheReferenceOnRandomNumbers) {
  std::mt19937_64 random(20261207);
  std::vector<std::string> texts;
  for (int i = 0; i < 20000; ++i) {
    // Any bit pattern: normals, subnormals, infinities and NaNs alike.
    const double any = std::bit_cast<double>(random());
    const int precision = static_cast<int>(random() % 19);
    texts.push_back(formatted("%.*g", precision, any));
    texts.push_back(formatted("%.*e", static_cast<int>(random() % 25), any));
    const float any_float = std::bit_cast<float>(static_cast<std::uint32_t>(random()));
    texts.push_back(formatted("%.*g", static_cast<int>(random() % 11), double{any_float}));
    // Short decimals with small exponents: the exact fast path and its edges.
    const std::uint64_t mantissa = random() % 10000000000000000ULL >> (random() % 54);
    const int exponent = static_cast<int>(random() % 56) - 28;
    texts.push_back(formatted("%llue%d", static_cast<unsigned long long>(mantissa), exponent));
    texts.push_back(formatted("-%llu.%llu", static_cast<unsigned long long>(random() % 100000),
                              static_cast<unsigned long long>(mantissa)));
    // Fractions of sixteen digits after "0.", the form random doubles print in.
    texts.push_back(
        formatted("0.%016llu", static_cast<unsigned long long>(random() % 10000000000000000ULL)));
    // Integers of every length and sign.
    texts.push_back(formatted("%lld", static_cast<long long>(random() >> (random() % 64))));
    texts.push_back(
        formatted("-%llu", static_cast<unsigned long long>(random() >> (random() % 64))));
    // Long mantissas of 20 to 40 digits.
    std::string digits;
    const std::size_t length = 20 + random() % 21;
    const std::size_t point = random() % (length + 1);
    for (std::size_t d = 0; d <= length; ++d) {
      if (d == point) digits.push_back('.');
      if (d < length) digits.push_back(static_cast<char>('0' + random() % 10));
    }
    digits.append(formatted("e%d", static_cast<int>(random() % 700) - 350));
    texts.push_back(std::move(digits));
  }
  for (std::string& text : texts) {
    ASSERT_TRUE(agrees_with_reference(text));
    // One random edit of each.
    ASSERT_TRUE(agrees_with_reference(random_edit(text, random)));
  }
}

// Texts at and near the midpoint of two neighbouring values decide correct
// rounding: exactly halfway rounds to the even one, a digit either way must not.
TEST(NumberReaders, RoundMidpointsBetweenNeighboursCorrectly) {
  std::mt19937_64 random(42);
  for (int i = 0; i < 4000; ++i) {
    // Doubles in [1, 1024): their midpoints have at most 53 binary places, so
    // 80 decimal places print them exactly.
    const double low = std::ldexp(1.0 + static_cast<double>(random() >> 12) * 0x1p-52,
                                  static_cast<int>(random() % 10));
    const double high = std::nextafter(low, 2048.0);
    const long double middle = (static_cast<long double>(low) + high) / 2;
    const std::string exact = formatted("%.80Lf", middle);
    ASSERT_TRUE(agrees_with_reference(exact));
    ASSERT_TRUE(agrees_with_reference(formatted("%.25Le", middle)));
    ASSERT_TRUE(agrees_with_reference(formatted("%.17Le", middle)));
    // Integers above 2^53: the midpoint is an integer of 16 to 20 digits.
    const auto big = static_cast<double>(random() >> (random() % 11) | (std::uint64_t{1} << 53));
    const long double big_middle = (static_cast<long double>(big) + std::nextafter(big, 1e300)) / 2;
    ASSERT_TRUE(agrees_with_reference(formatted("%.0Lf", big_middle)));
    ASSERT_TRUE(agrees_with_reference(formatted("%.0Lf", big_middle + 1)));
    ASSERT_TRUE(agrees_with_reference(formatted("%.0Lf", big_middle - 1)));
    // Floats: the midpoint is exact in double.
    const float float_low = static_cast<float>(low);
    const double float_middle =
        (double{float_low} + double{std::nextafter(float_low, 2048.0f)}) / 2;
    ASSERT_TRUE(agrees_with_reference(formatted("%.60f", float_middle)));
    ASSERT_TRUE(agrees_with_reference(formatted("%.9e", float_middle)));
    ASSERT_TRUE(agrees_with_reference(formatted("%.20e", float_middle)));
    // A decimal whose value lies one unit above a binary32 midpoint M * 2^31
    // (M odd, M = 1 mod 5 so that 5 divides M * 2^30 + 1): double arithmetic
    // rounds it onto the midpoint itself, and a second rounding would tie.
    const std::uint64_t odd = (std::uint64_t{1} << 24) + 5 + 10 * (random() % 1677721);
    const std::uint64_t above_midpoint = ((odd << 30) + 1) / 5;
    ASSERT_TRUE(agrees_with_reference(
        formatted("%llue1", static_cast<unsigned long long>(above_midpoint))));
    // Subnormal doubles and their midpoints.
    const double tiny = std::bit_cast<double>(random() >> 12);
    const long double tiny_middle =
        (static_cast<long double>(tiny) + std::nextafter(tiny, 1.0)) / 2;
    ASSERT_TRUE(agrees_with_reference(formatted("%.30Le", tiny_middle)));
    // The same midpoint with all its 760-odd significant digits, then nudged
    // up by a digit far beyond the point where short readers stop looking.
    if (i % 10 == 0) {
      std::string exact_tiny = formatted("%.800Le", tiny_middle);
      ASSERT_TRUE(agrees_with_reference(exact_tiny));
      exact_tiny.insert(exact_tiny.find('e'), 1, '1');
      ASSERT_TRUE(agrees_with_reference(exact_tiny));
    }
  }
}

// A digit string of `length` digits, the first not zero.
std::string random_digits(std::size_t length, std::mt19937_64& random) {
  std::string digits(1, static_cast<char>('1' + random() % 9));
  while (digits.size() < length) digits.push_back(static_cast<char>('0' + random() % 10));
  return digits;
}

// Every power of ten the table holds and a few beyond either end, with
// significands of every length the product takes whole (up to 19 digits) and
// longer ones it reads by their first 19 digits.
TEST(ProductReader, AgreesWithTheReferenceAtEveryPowerOfTen) {
  std::mt19937_64 random(3);
  for (int power = -350; power <= 315; ++power) {
    std::vector<std::string> texts = {formatted("1e%d", power),
                                      formatted("9999999999999999999e%d", power),
                                      formatted("18446744073709551615e%d", power),
                                      formatted("0.1e%d", power),
                                      formatted("4.9406564584124654e%d", power),
                                      formatted("1.7976931348623157e%d", power),
                                      formatted("2.2250738585072014e%d", power)};
    for (std::size_t length : {1, 15, 16, 17, 18, 19, 20, 21, 25, 40}) {
      std::string digits = random_digits(length, random);
      texts.push_back(digits + formatted("e%d", power));
      digits.insert(1 + random() % length, 1, '.');
      texts.push_back("-" + digits + formatted("E%+d", power));
    }
    // Long runs of nines and of zeros after the leading digits: the two ends
    // of the bracket the first 19 digits give round differently near here.
    texts.push_back("1" + std::string(30, '9') + formatted("e%d", power));
    texts.push_back("1" + std::string(30, '0') + "1" + formatted("e%d", power));
    texts.push_back("0.000000000000000000000" + random_digits(19, random) +
                    formatted("e%d", power));
    for (const std::string& text : texts) ASSERT_TRUE(agrees_with_reference(text));
  }
}

// Midpoints between neighbouring doubles anywhere in the range, subnormals
// included, printed to 17 through 20 significant digits (the digits that
// decide which side they fall on) and in full.
TEST(ProductReader, RoundsMidpointsAcrossTheWholeRange) {
  std::mt19937_64 random(5);
  for (int i = 0; i < 20000; ++i) {
    // A quarter subnormal, the rest of any positive exponent.
    const std::uint64_t bits = random() >> 1;
    const double low = std::bit_cast<double>(i % 4 == 0 ? bits >> 11 : bits);
    if (!std::isfinite(low)) continue;
    const double high = std::nextafter(low, HUGE_VAL);
    // Exact: two neighbouring doubles differ in one bit of a 53-bit
    // significand, so their mean needs 54, which long double holds.
    const long double middle = (static_cast<long double>(low) + high) / 2;
    for (int digits : {16, 17, 18, 19, 20, 24}) {
      ASSERT_TRUE(agrees_with_reference(formatted("%.*Le", digits, middle)));
    }
    if (i % 200 == 0) {
      ASSERT_TRUE(agrees_with_reference(formatted("%.800Le", middle)));
    }
  }
}

// The product alone decides nearly every number: a reader that always fell
// back to the slow path would agree with the reference and be no faster.
TEST(ProductReader, DecidesWithoutTheSlowPath) {
  std::mt19937_64 random(9);
  int undecided = 0;
  for (int i = 0; i < 200000; ++i) {
    const std::uint64_t significand = random() >> (random() % 64);
    const auto power = static_cast<std::int64_t>(random() % 700) - 350;
    std::uint64_t bits = 0;
    if (!round_by_product(significand, power, bits)) {
      ++undecided;
      continue;
    }
    const std::string text = formatted("%llue%lld", static_cast<unsigned long long>(significand),
                                       static_cast<long long>(power));
    ASSERT_EQ(bits, std::bit_cast<std::uint64_t>(std::strtod(text.c_str(), nullptr))) << text;
  }
  EXPECT_EQ(undecided, 0);
}

}  // namespace
}  // namespace vrex::ext
