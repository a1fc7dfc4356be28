// White space trimming for boolean text.
#pragma once

#include <cstddef>
#include <string_view>

namespace vrex::ext {

// The length of the white space character that `text` starts with, or 0. White
// space is the Unicode White_Space set, in UTF-8: U+0009..U+000D, U+0020,
// U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
inline std::size_t leading_white_space_length(std::string_view text) noexcept {
  if (text.empty()) return 0;
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char first = byte(0);
  if (first == 0x20 || (first >= 0x09 && first <= 0x0D)) return 1;
  if (first < 0xC2) return 0;
  if (text.size() >= 2 && first == 0xC2 && (byte(1) == 0x85 || byte(1) == 0xA0)) return 2;
  if (text.size() < 3) return 0;
  const unsigned char second = byte(1);
  const unsigned char third = byte(2);
  if (first == 0xE1) return second == 0x9A && third == 0x80 ? 3 : 0;
  if (first == 0xE2 && second == 0x80)
    return third <= 0x8A || third == 0xA8 || third == 0xA9 || third == 0xAF ? 3 : 0;
  if (first == 0xE2) return second == 0x81 && third == 0x9F ? 3 : 0;
  if (first == 0xE3) return second == 0x80 && third == 0x80 ? 3 : 0;
  return 0;
}

// The length of the white space character that `text` ends with, or 0. A
// continuation byte is never taken for a whole character: the lead byte of each
// sequence is checked too.
inline std::size_t trailing_white_space_length(std::string_view text) noexcept {
  const std::size_t size = text.size();
  if (size == 0) return 0;
  const unsigned char last = static_cast<unsigned char>(text[size - 1]);
  if (last == 0x20 || (last >= 0x09 && last <= 0x0D)) return 1;
  if (last < 0x80) return 0;
  if (size >= 2 && leading_white_space_length(text.substr(size - 2)) == 2) return 2;
  if (size >= 3 && leading_white_space_length(text.substr(size - 3)) == 3) return 3;
  return 0;
}

inline std::string_view trim_white_space(std::string_view text) noexcept {
  while (std::size_t length = leading_white_space_length(text)) text.remove_prefix(length);
  while (std::size_t length = trailing_white_space_length(text)) text.remove_suffix(length);
  return text;
}

}  // namespace vrex::ext
