#include "vrex/reader_columnar.h"

#include <cstring>

namespace vrex {

std::vector<std::uint64_t> take_offsets(TextArray& texts) {
  std::vector<std::uint64_t> offsets = texts.take_ends();
  offsets.insert(offsets.begin(), 0);
  return offsets;
}

std::vector<std::uint8_t> pack_bits_lsb_first_scalar(std::span<const std::uint8_t> flags,
                                                     bool invert) {
  std::vector<std::uint8_t> bits((flags.size() + 7) / 8, 0);
  for (std::size_t index = 0; index < flags.size(); ++index) {
    const bool set = (flags[index] != 0) != invert;
    if (set) bits[index / 8] = static_cast<std::uint8_t>(bits[index / 8] | (1u << (index % 8)));
  }
  return bits;
}

std::vector<std::uint8_t> pack_bits_lsb_first(std::span<const std::uint8_t> flags, bool invert) {
  std::vector<std::uint8_t> bits((flags.size() + 7) / 8, 0);
  const std::size_t full_bytes = flags.size() / 8;
  const std::uint8_t flip = invert ? 0xFF : 0x00;
  for (std::size_t index = 0; index < full_bytes; ++index) {
    std::uint64_t word;
    std::memcpy(&word, flags.data() + 8 * index, 8);
    // Each flag byte k (0 or 1) lands on bit 56 + k; no two products overlap.
    const auto packed = static_cast<std::uint8_t>((word * 0x0102040810204080ULL) >> 56);
    bits[index] = packed ^ flip;
  }
  for (std::size_t index = 8 * full_bytes; index < flags.size(); ++index) {
    const bool set = (flags[index] != 0) != invert;
    if (set) bits[index / 8] = static_cast<std::uint8_t>(bits[index / 8] | (1u << (index % 8)));
  }
  return bits;
}

}  // namespace vrex
