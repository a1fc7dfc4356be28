// UTF-8 validation of field contents, and line-feed counting for positions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vrex::ext {

// The number of leading bytes of `text` that form complete, valid UTF-8
// characters: `text.size()` when all of it is valid, otherwise the index where
// the first invalid (overlong, surrogate, above U+10FFFF or cut short)
// sequence begins. Skips ASCII runs many bytes at a time.
std::size_t utf8_valid_prefix(std::string_view text) noexcept;

// Whether all of `text` is valid UTF-8: the same answer as comparing
// `utf8_valid_prefix` with the size, 32 bytes at a time where the CPU allows.
bool utf8_is_valid(std::string_view text) noexcept;

// The same answer by decoding one code point at a time; kept as the reference.
std::size_t utf8_valid_prefix_reference(std::string_view text) noexcept;

// The number of line-feed bytes in [data, data + size).
std::uint64_t count_line_feeds(const std::uint8_t* data, std::size_t size) noexcept;

}  // namespace vrex::ext
