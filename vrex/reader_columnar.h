// The layouts columnar consumers take as they are: the element boundaries of
// a text array as one offsets array, and byte flags packed into a bitmap.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "vrex/table.h"

namespace vrex {

// Takes the element boundaries out of `texts` as n + 1 offsets into its
// block: the first 0, entry i + 1 the end of element i. The ends move into
// the result, which only grows when the array was not sized for one more.
std::vector<std::uint64_t> take_offsets(TextArray& texts);

// Packs one-byte flags (0 or 1) eight to a byte, the first flag in bit 0x01;
// `invert` stores the opposite of each flag (a validity bitmap from
// invalid flags). Bits past the last flag are 0.
std::vector<std::uint8_t> pack_bits_lsb_first(std::span<const std::uint8_t> flags, bool invert);

// The same one flag at a time; the reference for pack_bits_lsb_first.
std::vector<std::uint8_t> pack_bits_lsb_first_scalar(std::span<const std::uint8_t> flags,
                                                     bool invert);

}  // namespace vrex
