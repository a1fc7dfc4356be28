#include "typing/product_double.h"

namespace vrex::ext::product_detail {

namespace {

// The first 19 significant digits of a number and the power of ten that
// scales them; `truncated` when any digit after them is not zero.
struct LeadingDigits {
  std::uint64_t significand = 0;
  std::int64_t exponent = 0;
  bool truncated = false;
};

LeadingDigits leading_digits(const FloatText& scan) noexcept {
  LeadingDigits leading;
  const char* p = scan.body;
  while (p != scan.end && (*p == '0' || *p == '.')) ++p;
  std::size_t taken = 0;
  std::int64_t dropped = 0;
  for (; p != scan.end; ++p) {
    if (*p == '.') continue;
    const unsigned digit = number_detail::digit_value(*p);
    if (digit > 9) break;  // the exponent's letter
    if (taken < number_detail::kMaxUnwrappedDigits) {
      leading.significand = leading.significand * 10 + digit;
      ++taken;
    } else {
      ++dropped;
      leading.truncated |= digit != 0;
    }
  }
  leading.exponent = scan.exponent + dropped;
  return leading;
}

}  // namespace

double read_long_double_by_product(const FloatText& scan) noexcept {
  if (scan.digit_count > number_detail::kMaxUnwrappedDigits) {
    const LeadingDigits leading = leading_digits(scan);
    std::uint64_t bits;
    if (round_by_product(leading.significand, leading.exponent, bits)) {
      // The value lies in [s, s + 1) * 10^e: when both ends round alike, so
      // does everything between.
      std::uint64_t upper_bits;
      if (!leading.truncated ||
          (round_by_product(leading.significand + 1, leading.exponent, upper_bits) &&
           upper_bits == bits)) {
        return std::bit_cast<double>(bits);
      }
    }
  }
  return number_detail::read_double_slow(scan);
}

}  // namespace vrex::ext::product_detail
