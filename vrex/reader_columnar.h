// The layouts columnar consumers take as they are: the element boundaries of
// a text array as one offsets array, and byte flags packed into a bitmap.
#pragma once

#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "vrex/table.h"

namespace vrex {

// Offsets of n elements: n + 1 entries, the first 0, entry i + 1 the end of
// element i in the block. 32-bit while the block fits their range, 64-bit
// beyond.
using TextOffsets = std::variant<std::vector<std::int32_t>, std::vector<std::int64_t>>;

// Whether a block of `total_bytes` needs 64-bit offsets.
constexpr bool needs_wide_offsets(std::uint64_t total_bytes) noexcept {
  return total_bytes > 0x7FFFFFFFu;
}

TextOffsets text_offsets(const TextArray& texts);

// Packs one-byte flags (0 or 1) eight to a byte, the first flag in bit 0x01;
// `invert` stores the opposite of each flag (a validity bitmap from
// invalid flags). Bits past the last flag are 0.
std::vector<std::uint8_t> pack_bits_lsb_first(std::span<const std::uint8_t> flags, bool invert);

// The same one flag at a time; the reference for pack_bits_lsb_first.
std::vector<std::uint8_t> pack_bits_lsb_first_scalar(std::span<const std::uint8_t> flags,
                                                     bool invert);

}  // namespace vrex
