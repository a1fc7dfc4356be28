#include "typing/number_parse.h"

#include <charconv>
#include <system_error>

namespace vrex::ext::number_detail {

bool read_long_magnitude(const char* digits, std::size_t count, std::uint64_t limit,
                         std::uint64_t& magnitude) noexcept {
  std::uint64_t accumulated = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned digit = digit_value(digits[i]);
    if (digit > 9) return false;
    // accumulated * 10 + digit <= limit, without overflowing on the way.
    if (accumulated > (limit - digit) / 10) return false;
    accumulated = accumulated * 10 + digit;
  }
  magnitude = accumulated;
  return true;
}

namespace {

// The decimal exponent of the number's leading non-zero digit in scientific
// notation. Only its sign is used: a number out of range overflows when it is
// at least 1 and underflows when it is below 1.
std::int64_t leading_power(const FloatText& scan) noexcept {
  std::int64_t digits_before_leading = 0;
  for (const char* p = scan.body; p != scan.end && *p != 'e' && *p != 'E'; ++p) {
    if (*p == '.') continue;
    if (*p != '0') break;
    ++digits_before_leading;
  }
  return static_cast<std::int64_t>(scan.digit_count) - 1 - digits_before_leading + scan.exponent;
}

// The standard reader is correctly rounded but has its own grammar; the text
// was already checked against ours, and it starts after the sign, which the
// standard reader would refuse as '+'.
template <class Float>
Float read_slow(const FloatText& scan) noexcept {
  Float value{};
  const auto result = std::from_chars(scan.body, scan.end, value, std::chars_format::general);
  if (result.ec == std::errc{}) return value;
  // Out of range leaves the value untouched: it is infinity or zero.
  return leading_power(scan) >= 0 ? std::numeric_limits<Float>::infinity() : Float{0};
}

}  // namespace

double read_double_slow(const FloatText& scan) noexcept { return read_slow<double>(scan); }

float read_float_slow(const FloatText& scan) noexcept { return read_slow<float>(scan); }

}  // namespace vrex::ext::number_detail
