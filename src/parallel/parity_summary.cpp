#include "parallel/parity_summary.h"

#include <algorithm>
#include <cstring>

#include "parallel/bit_count.h"

namespace vrex::ext {

namespace {

constexpr std::uint8_t kQuote = '"';

bool is_terminator(std::uint8_t byte) { return byte == '\r' || byte == '\n'; }

// The state after a byte read outside quotes: the byte alone decides it.
ScanState state_after_outside(std::uint8_t byte) {
  if (byte == kQuote) return ScanState::AfterQuote;
  if (byte == ',') return ScanState::FieldStart;
  if (is_terminator(byte)) return ScanState::BetweenRecords;
  return ScanState::Unquoted;
}

// Both readings at once: bit i of `inside_before` is whether byte i is
// inside quotes read from outside, and its complement read from inside.
struct Readings {
  std::uint64_t inside = 0;            // all ones once the outside reading is inside
  std::uint64_t terminator_carry = 0;  // the previous byte was a terminator
  std::uint64_t may_open_carry = 1;    // the previous byte was a separator or quote
  std::uint64_t misread_from_outside = 0;
  std::uint64_t misread_from_inside = 0;
  std::array<std::uint64_t, 2> record_starts{};

  // One block of masks; `valid` marks the block's bytes that belong to the
  // stretch (all but at its very end).
  template <class BitCount>
  [[gnu::always_inline]] void read(const BlockMasks& masks, std::uint64_t parity,
                                   std::uint64_t valid) {
    parity ^= inside;
    const std::uint64_t inside_before = (parity << 1) | (inside & 1);
    inside = std::uint64_t{0} - (parity >> 63);
    const std::uint64_t terminators = masks.terminators;
    // A record begins at each byte after a terminator outside quotes that is
    // no terminator itself.
    const std::uint64_t after_terminator =
        ((terminators << 1) | terminator_carry) & ~terminators & valid;
    terminator_carry = terminators >> 63;
    const std::uint64_t may_open = masks.separators | masks.quotes;
    // Quotes parity takes as opening where the machine reads data: those
    // after a byte that is no separator or quote.
    const std::uint64_t doubtful = masks.quotes & ~((may_open << 1) | may_open_carry);
    may_open_carry = may_open >> 63;
    misread_from_outside |= doubtful & ~inside_before;
    misread_from_inside |= doubtful & inside_before;
    record_starts[0] += BitCount::any(after_terminator & ~inside_before);
    record_starts[1] += BitCount::any(after_terminator & inside_before);
  }
};

template <class BitCount>
[[gnu::always_inline]] inline Readings read_stretch(std::span<const std::uint8_t> bytes) {
  static const ScanBlocks scan_blocks = block_scans_available().back();
  constexpr std::size_t kBatch = 16;
  BlockMasks masks[kBatch];
  std::uint64_t parities[kBatch];
  Readings readings;
  std::size_t offset = 0;
  const std::size_t whole = bytes.size() / kBlockSize * kBlockSize;
  while (offset < whole) {
    const std::size_t count = std::min(kBatch, (whole - offset) / kBlockSize);
    scan_blocks(bytes.data() + offset, count, masks, parities);
    for (std::size_t block = 0; block < count; ++block) {
      readings.read<BitCount>(masks[block], parities[block], ~std::uint64_t{0});
    }
    offset += count * kBlockSize;
  }
  if (offset < bytes.size()) {
    // The last bytes, padded with a byte that is none of the ones scanned.
    std::uint8_t padded[kBlockSize];
    std::memset(padded, 'a', kBlockSize);
    const std::size_t rest = bytes.size() - offset;
    std::memcpy(padded, bytes.data() + offset, rest);
    scan_blocks(padded, 1, masks, parities);
    readings.read<BitCount>(masks[0], parities[0], (std::uint64_t{1} << rest) - 1);
  }
  return readings;
}

#if defined(__x86_64__) && !defined(VREX_FORCE_SCALAR)
__attribute__((target("popcnt"))) Readings read_stretch_counting_by_instruction(
    std::span<const std::uint8_t> bytes) {
  return read_stretch<HardwareBitCount>(bytes);
}
#endif

Readings read_both_ways(std::span<const std::uint8_t> bytes) {
#if defined(__x86_64__) && !defined(VREX_FORCE_SCALAR)
  static const bool has_popcount = __builtin_cpu_supports("popcnt");
  if (has_popcount) return read_stretch_counting_by_instruction(bytes);
#endif
  return read_stretch<SoftwareBitCount>(bytes);
}

}  // namespace

ParitySummary::ParitySummary(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return;
  const Readings readings = read_both_ways(bytes);
  record_starts_ = readings.record_starts;
  holds_ = {readings.misread_from_outside == 0, readings.misread_from_inside == 0};
  odd_quotes_ = readings.inside != 0;
  first_byte_ = bytes.front();
  last_byte_ = bytes.back();
  empty_ = false;
}

std::optional<ReferenceWalk> ParitySummary::from_state(ScanState state) const {
  if (empty_) return ReferenceWalk{state, 0};
  const bool from_inside = state == ScanState::Quoted;
  if (!holds_[from_inside]) return std::nullopt;
  // In an unquoted field a quote is data, even at byte 0.
  if (state == ScanState::Unquoted && first_byte_ == kQuote) return std::nullopt;
  const bool begins_at_first_byte =
      state == ScanState::BetweenRecords && !is_terminator(first_byte_);
  const bool ends_inside = odd_quotes_ != from_inside;
  return ReferenceWalk{
      ends_inside ? ScanState::Quoted : state_after_outside(last_byte_),
      record_starts_[from_inside] + (begins_at_first_byte ? 1 : 0),
  };
}

}  // namespace vrex::ext
