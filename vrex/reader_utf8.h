// UTF-8 validation for the texts a file holds: well-formed sequences only
// (no overlong forms, no surrogates, nothing above U+10FFFF).
#pragma once

#include <cstddef>
#include <cstdint>

namespace vrex {

// Byte-at-a-time reference.
bool is_valid_utf8_scalar(const std::uint8_t* bytes, std::size_t size) noexcept;

// Skips runs of ASCII sixteen bytes at a time, then checks like the reference.
bool is_valid_utf8(const std::uint8_t* bytes, std::size_t size) noexcept;

}  // namespace vrex
