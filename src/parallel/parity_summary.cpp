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

}  // namespace

// Both readings at once: bit i of `inside_before` is whether byte i is
// inside quotes read from outside, and its complement read from inside.
struct ParityReadings {
  std::uint64_t inside = 0;            // all ones once the outside reading is inside
  std::uint64_t terminator_carry = 0;  // the previous byte was a terminator
  std::uint64_t may_open_carry = 1;    // the previous byte was a separator or quote
  std::uint64_t misread_from_outside = 0;
  std::uint64_t misread_from_inside = 0;
  std::uint64_t record_starts = 0;          // by both readings together
  std::uint64_t record_starts_outside = 0;  // by the reading from outside

  // One block: its terminators, quotes, and the bytes after which a quote
  // may open a field (separators and quotes); `parity` is the quotes' prefix
  // XOR, and `valid` marks the block's bytes that belong to the stretch (all
  // but at its very end).
  template <class BitCount>
  [[gnu::always_inline]] void read(std::uint64_t terminators, std::uint64_t quotes,
                                   std::uint64_t may_open, std::uint64_t parity,
                                   std::uint64_t valid) {
    // `inside` is all ones or none: the reading from outside flips with it.
    const std::uint64_t inside_before = (parity << 1) ^ inside;
    inside ^= std::uint64_t{0} - (parity >> 63);
    // A record begins at each byte after a terminator outside quotes that is
    // no terminator itself.
    const std::uint64_t after_terminator =
        ((terminators << 1) | terminator_carry) & ~terminators & valid;
    terminator_carry = terminators >> 63;
    // Quotes parity takes as opening where the machine reads data: those
    // after a byte that is no separator or quote.
    const std::uint64_t doubtful = quotes & ~((may_open << 1) | may_open_carry);
    may_open_carry = may_open >> 63;
    misread_from_outside |= doubtful & ~inside_before;
    misread_from_inside |= doubtful & inside_before;
    record_starts += BitCount::any(after_terminator);
    record_starts_outside += BitCount::any(after_terminator & ~inside_before);
  }

  // The same for a whole block before the stretch's first quote: the
  // reading from outside is still outside, and no byte is misread.
  template <class BitCount>
  [[gnu::always_inline]] void read_before_any_quote(std::uint64_t terminators,
                                                    std::uint64_t may_open) {
    const std::uint64_t after_terminator = ((terminators << 1) | terminator_carry) & ~terminators;
    terminator_carry = terminators >> 63;
    may_open_carry = may_open >> 63;
    const std::uint64_t starts = BitCount::any(after_terminator);
    record_starts += starts;
    record_starts_outside += starts;
  }

  template <class BitCount>
  [[gnu::always_inline]] void read(const BlockMasks& masks, std::uint64_t parity,
                                   std::uint64_t valid) {
    read<BitCount>(masks.terminators, masks.quotes, masks.separators | masks.quotes, parity, valid);
  }
};

namespace {

// The last bytes of a stretch as a whole block, padded with a byte that is
// none of the ones scanned; returns the mask of the bytes that are real.
std::uint64_t pad_tail(std::span<const std::uint8_t> tail, std::uint8_t (&padded)[kBlockSize]) {
  std::memset(padded, 'a', kBlockSize);
  std::memcpy(padded, tail.data(), tail.size());
  return (std::uint64_t{1} << tail.size()) - 1;
}

// Any machine: blocks scanned a batch at a time by `scan_blocks`, then read.
template <class BitCount>
[[gnu::always_inline]] inline ParityReadings read_stretch(std::span<const std::uint8_t> bytes,
                                                          ScanBlocks scan_blocks) {
  constexpr std::size_t kBatch = 16;
  BlockMasks masks[kBatch];
  std::uint64_t parities[kBatch];
  ParityReadings readings;
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
    std::uint8_t padded[kBlockSize];
    const std::uint64_t valid = pad_tail(bytes.subspan(offset), padded);
    scan_blocks(padded, 1, masks, parities);
    readings.read<BitCount>(masks[0], parities[0], valid);
  }
  return readings;
}

ParityReadings read_stretch_portable(std::span<const std::uint8_t> bytes) {
  return read_stretch<SoftwareBitCount>(bytes, block_scans_available().front());
}

// This machine's best scan, a batch of blocks at a time.
ParityReadings read_stretch_scanned(std::span<const std::uint8_t> bytes) {
  static const ScanBlocks scan_blocks = block_scans_available().back();
  return read_stretch<SoftwareBitCount>(bytes, scan_blocks);
}

#if defined(__x86_64__) && !defined(VREX_FORCE_SCALAR)
// Vector scans that read each block's masks straight from the compares:
// with no masks stored and loaded again in between, a summary takes a fifth
// to a quarter less time, and reads about as fast as memory delivers.
struct ClassifyAvx512 {
  __attribute__((target("avx512f,avx512bw"))) static void block(const std::uint8_t* data,
                                                                std::uint64_t& terminators,
                                                                std::uint64_t& quotes,
                                                                std::uint64_t& may_open) {
    const __m512i bytes = _mm512_loadu_si512(data);
    const __mmask64 ends = _kor_mask64(_mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('\n')),
                                       _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('\r')));
    const __mmask64 quote = _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('"'));
    const __mmask64 comma = _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8(','));
    terminators = _cvtmask64_u64(ends);
    quotes = _cvtmask64_u64(quote);
    may_open = _cvtmask64_u64(_kor_mask64(_kor_mask64(ends, quote), comma));
  }
};

// A count reads its bytes once, usually from memory: asking for the bytes
// this far ahead keeps enough of them on the way that it reads at the pace
// memory delivers (50 MB in 4.8 ms against 7.6 ms without; a quarter as far
// ahead, 6 ms).
constexpr std::size_t kPrefetchAhead = 4096;

[[gnu::always_inline]] inline void prefetch_ahead(std::span<const std::uint8_t> bytes,
                                                  std::size_t offset) {
  if (bytes.size() - offset > kPrefetchAhead) __builtin_prefetch(&bytes[offset + kPrefetchAhead]);
}

// Reads every block of `bytes` by `read_block(block, valid)`.
template <class ReadBlock>
[[gnu::always_inline]] inline void read_blocks(std::span<const std::uint8_t> bytes,
                                               const ReadBlock& read_block) {
  const std::size_t whole = bytes.size() / kBlockSize * kBlockSize;
  for (std::size_t offset = 0; offset < whole; offset += kBlockSize) {
    prefetch_ahead(bytes, offset);
    read_block(bytes.data() + offset, ~std::uint64_t{0});
  }
  if (whole < bytes.size()) {
    std::uint8_t padded[kBlockSize];
    const std::uint64_t valid = pad_tail(bytes.subspan(whole), padded);
    read_block(padded, valid);
  }
}

// Each block read as it is classified; instantiated in the functions below,
// which are built for the instructions and flattened, so that the
// classification is inlined into each block's read.
template <class Classify>
ParityReadings read_classified(std::span<const std::uint8_t> bytes) {
  ParityReadings readings;
  // Most stretches of most tables hold no quote, and a block without one
  // takes a third less work. So blocks are read that way up to the first
  // quote, and the usual way from there to the stretch's end: asked block by
  // block where quotes are common, the choice would be mispredicted often,
  // which from memory costs more than it saves.
  const std::size_t whole = bytes.size() / kBlockSize * kBlockSize;
  std::size_t offset = 0;
  for (; offset < whole; offset += kBlockSize) {
    std::uint64_t terminators, quotes, may_open;  // NOLINT(cppcoreguidelines-init-variables)
    prefetch_ahead(bytes, offset);
    Classify::block(bytes.data() + offset, terminators, quotes, may_open);
    if (quotes != 0) break;
    readings.read_before_any_quote<HardwareBitCount>(terminators, may_open);
  }
  read_blocks(bytes.subspan(offset), [&](const std::uint8_t* block, std::uint64_t valid) {
    std::uint64_t terminators, quotes, may_open;  // NOLINT(cppcoreguidelines-init-variables)
    Classify::block(block, terminators, quotes, may_open);
    readings.read<HardwareBitCount>(terminators, quotes, may_open, prefix_xor(quotes), valid);
  });
  return readings;
}

__attribute__((target("avx512f,avx512bw,pclmul,popcnt,bmi"), flatten)) ParityReadings
read_stretch_avx512(std::span<const std::uint8_t> bytes) {
  return read_classified<ClassifyAvx512>(bytes);
}

struct ClassifyAvx2 {
  // One bit per byte of a comparison of each 32-byte half.
  [[gnu::always_inline]] __attribute__((target("avx2"))) static std::uint64_t bits(__m256i low,
                                                                                   __m256i high) {
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(low)) |
           (std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(high))} << 32);
  }

  [[gnu::always_inline]] __attribute__((target("avx2"))) static __m256i ends(__m256i half) {
    return _mm256_or_si256(_mm256_cmpeq_epi8(half, _mm256_set1_epi8('\n')),
                           _mm256_cmpeq_epi8(half, _mm256_set1_epi8('\r')));
  }

  __attribute__((target("avx2"))) static void block(const std::uint8_t* data,
                                                    std::uint64_t& terminators,
                                                    std::uint64_t& quotes,
                                                    std::uint64_t& may_open) {
    const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data));
    const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + 32));
    const __m256i low_ends = ends(low);
    const __m256i high_ends = ends(high);
    const __m256i low_quotes = _mm256_cmpeq_epi8(low, _mm256_set1_epi8('"'));
    const __m256i high_quotes = _mm256_cmpeq_epi8(high, _mm256_set1_epi8('"'));
    const __m256i low_comma = _mm256_cmpeq_epi8(low, _mm256_set1_epi8(','));
    const __m256i high_comma = _mm256_cmpeq_epi8(high, _mm256_set1_epi8(','));
    terminators = bits(low_ends, high_ends);
    quotes = bits(low_quotes, high_quotes);
    may_open = bits(_mm256_or_si256(_mm256_or_si256(low_ends, low_quotes), low_comma),
                    _mm256_or_si256(_mm256_or_si256(high_ends, high_quotes), high_comma));
  }
};

__attribute__((target("avx2,pclmul,popcnt,bmi"), flatten)) ParityReadings read_stretch_avx2(
    std::span<const std::uint8_t> bytes) {
  return read_classified<ClassifyAvx2>(bytes);
}

bool cpu_has_avx512_reading() {
  return __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("pclmul") &&
         __builtin_cpu_supports("popcnt") && __builtin_cpu_supports("bmi");
}

bool cpu_has_avx2_reading() {
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("pclmul") &&
         __builtin_cpu_supports("popcnt") && __builtin_cpu_supports("bmi");
}
#endif

using ReadStretch = ParityReadings (*)(std::span<const std::uint8_t>);

// Every way this CPU can read a stretch, the portable one first.
std::vector<ReadStretch> readings_available() {
  std::vector<ReadStretch> readings{read_stretch_portable, read_stretch_scanned};
#if defined(__x86_64__) && !defined(VREX_FORCE_SCALAR)
  if (cpu_has_avx2_reading()) readings.push_back(read_stretch_avx2);
  if (cpu_has_avx512_reading()) readings.push_back(read_stretch_avx512);
#endif
  return readings;
}

}  // namespace

ParitySummary::ParitySummary(std::span<const std::uint8_t> bytes) {
  static const ReadStretch best = readings_available().back();
  if (!bytes.empty()) *this = ParitySummary(bytes, best(bytes));
}

ParitySummary::ParitySummary(std::span<const std::uint8_t> bytes, const ParityReadings& readings)
    : record_starts_{readings.record_starts_outside,
                     readings.record_starts - readings.record_starts_outside},
      holds_{readings.misread_from_outside == 0, readings.misread_from_inside == 0},
      odd_quotes_(readings.inside != 0),
      first_byte_(bytes.front()),
      last_byte_(bytes.back()),
      empty_(false) {}

std::vector<ParitySummary> ParitySummary::every_way(std::span<const std::uint8_t> bytes) {
  std::vector<ParitySummary> summaries;
  for (const ReadStretch read : readings_available()) {
    summaries.push_back(bytes.empty() ? ParitySummary() : ParitySummary(bytes, read(bytes)));
  }
  return summaries;
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
