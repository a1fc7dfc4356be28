#include "parallel/record_scan.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "csv/block_classifier.h"
#include "csv/utf8.h"
#include "parallel/bit_count.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vrex::ext {

namespace {

#ifdef VREX_FORCE_SCALAR
constexpr CsvScan kScanClassifier = CsvScan::Reference;
#else
constexpr CsvScan kScanClassifier = CsvScan::Best;
#endif

enum ByteClass : std::uint8_t { kQuote, kComma, kTerminator, kOther, kClassCount };

constexpr std::uint8_t class_of(std::uint8_t byte) {
  switch (byte) {
    case '"':
      return kQuote;
    case ',':
      return kComma;
    case '\r':
    case '\n':
      return kTerminator;
    default:
      return kOther;
  }
}

constexpr std::array<std::uint8_t, 256> kClassTable = [] {
  std::array<std::uint8_t, 256> table{};
  for (std::size_t byte = 0; byte < 256; ++byte)
    table[byte] = class_of(static_cast<std::uint8_t>(byte));
  return table;
}();

constexpr ScanState step(ScanState state, std::uint8_t byte_class) {
  using enum ScanState;
  if (state == Quoted) return byte_class == kQuote ? AfterQuote : Quoted;
  switch (byte_class) {
    case kQuote:
      // Only at a field's start does a quote open one; after a closing quote
      // it is a doubled quote, back inside; elsewhere it is data.
      return state == Unquoted ? Unquoted : Quoted;
    case kComma:
      return FieldStart;
    case kTerminator:
      return BetweenRecords;
    default:
      return Unquoted;
  }
}

constexpr bool starts_record(ScanState state, std::uint8_t byte_class) {
  return state == ScanState::BetweenRecords && byte_class != kTerminator;
}

// Bit i of `inside[block]`: whether an odd number of bytes 0..i of the
// block are quotes, that is, whether byte i is inside quotes when each quote
// toggles and the block starts outside.
using QuoteParities = void (*)(const BlockMasks* masks, std::size_t count,
                               std::uint64_t* inside) noexcept;

void quote_parities_portable(const BlockMasks* masks, std::size_t count,
                             std::uint64_t* inside) noexcept {
  for (std::size_t block = 0; block < count; ++block) {
    std::uint64_t bits = masks[block].quotes;
    bits ^= bits << 1;
    bits ^= bits << 2;
    bits ^= bits << 4;
    bits ^= bits << 8;
    bits ^= bits << 16;
    bits ^= bits << 32;
    inside[block] = bits;
  }
}

#if defined(__x86_64__) && !defined(VREX_FORCE_SCALAR)
__attribute__((target("pclmul"))) void quote_parities_clmul(const BlockMasks* masks,
                                                            std::size_t count,
                                                            std::uint64_t* inside) noexcept {
  for (std::size_t block = 0; block < count; ++block)
    inside[block] = prefix_xor(masks[block].quotes);
}
#endif

QuoteParities select_quote_parities() noexcept {
#if defined(__x86_64__) && !defined(VREX_FORCE_SCALAR)
  if (__builtin_cpu_supports("pclmul")) return quote_parities_clmul;
#endif
  return quote_parities_portable;
}

void scan_blocks_portable(const std::uint8_t* data, std::size_t count, BlockMasks* masks,
                          std::uint64_t* inside) noexcept {
  static const ClassifyBlocks classify = select_classifier(kScanClassifier);
  static const QuoteParities quote_parities = select_quote_parities();
  classify(data, count, masks);
  quote_parities(masks, count, inside);
}

#if defined(__x86_64__) && !defined(VREX_FORCE_SCALAR)
// One bit per byte of two 32-byte comparisons.
__attribute__((target("avx2"))) inline std::uint64_t bits(__m256i low, __m256i high) {
  return static_cast<std::uint32_t>(_mm256_movemask_epi8(low)) |
         (std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(high))} << 32);
}

// The same in one loop, leaving out the mask a scan never reads: a summary
// is 15-25% faster than with the reader's classifier and a second loop.
__attribute__((target("avx2,pclmul"))) void scan_blocks_avx2(const std::uint8_t* data,
                                                             std::size_t count, BlockMasks* masks,
                                                             std::uint64_t* inside) noexcept {
  const __m256i comma = _mm256_set1_epi8(',');
  const __m256i carriage_return = _mm256_set1_epi8('\r');
  const __m256i line_feed = _mm256_set1_epi8('\n');
  const __m256i quote = _mm256_set1_epi8('"');
  for (std::size_t block = 0; block < count; ++block) {
    const std::uint8_t* bytes = data + block * kBlockSize;
    const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes));
    const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + 32));
    const __m256i low_terminators =
        _mm256_or_si256(_mm256_cmpeq_epi8(low, line_feed), _mm256_cmpeq_epi8(low, carriage_return));
    const __m256i high_terminators = _mm256_or_si256(_mm256_cmpeq_epi8(high, line_feed),
                                                     _mm256_cmpeq_epi8(high, carriage_return));
    BlockMasks& block_masks = masks[block];
    block_masks.terminators = bits(low_terminators, high_terminators);
    block_masks.separators =
        bits(_mm256_or_si256(_mm256_cmpeq_epi8(low, comma), low_terminators),
             _mm256_or_si256(_mm256_cmpeq_epi8(high, comma), high_terminators));
    block_masks.quotes = bits(_mm256_cmpeq_epi8(low, quote), _mm256_cmpeq_epi8(high, quote));
    block_masks.non_ascii = 0;
    inside[block] = prefix_xor(block_masks.quotes);
  }
}

// With 64-byte registers a block is one load, and each comparison gives its
// mask at once: a third of the instructions of the 32-byte loop.
__attribute__((target("avx512f,avx512bw,pclmul"))) void scan_blocks_avx512(
    const std::uint8_t* data, std::size_t count, BlockMasks* masks,
    std::uint64_t* inside) noexcept {
  for (std::size_t block = 0; block < count; ++block) {
    masks[block] = classify_block_avx512(data + block * kBlockSize);
    inside[block] = prefix_xor(masks[block].quotes);
  }
}

bool cpu_has_avx512_scan() noexcept {
  return __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("pclmul");
}

bool cpu_has_avx2_scan() noexcept {
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("pclmul");
}
#endif

ScanBlocks select_scan_blocks() noexcept {
#if defined(__x86_64__) && !defined(VREX_FORCE_SCALAR)
  if (cpu_has_avx512_scan()) return scan_blocks_avx512;
  if (cpu_has_avx2_scan()) return scan_blocks_avx2;
#endif
  return scan_blocks_portable;
}

}  // namespace

std::vector<ScanBlocks> block_scans_available() {
  std::vector<ScanBlocks> scans{scan_blocks_portable};
#if defined(__x86_64__) && !defined(VREX_FORCE_SCALAR)
  if (cpu_has_avx2_scan()) scans.push_back(scan_blocks_avx2);
  if (cpu_has_avx512_scan()) scans.push_back(scan_blocks_avx512);
#endif
  return scans;
}

namespace {

// A 64-byte block read by quote parity alone: each quote toggles between
// inside and outside. That is the reader's machine wherever every quote that
// opens a quoted stretch comes where a field starts (after a comma or a
// terminator) or right after a closing quote (a doubled quote); a quote after
// any other byte is data in an unquoted field, which parity misreads. A block
// has two readings, one from outside quotes and one from inside.
struct QuoteParity {
  std::uint64_t inside = 0;         // bit i: inside quotes after byte i, read from outside
  std::uint64_t inside_before = 0;  // the same before byte i
  std::uint64_t cannot_open = 0;    // bit i: byte i - 1 is no separator or quote (all of byte 0)
  std::uint64_t quotes = 0;
  std::uint64_t terminators = 0;

  QuoteParity(const BlockMasks& masks, std::uint64_t parity)
      : inside(parity),
        inside_before(parity << 1),
        cannot_open(~((masks.separators | masks.quotes) << 1)),
        quotes(masks.quotes),
        terminators(masks.terminators) {}

  // Quotes parity takes as opening where the machine does not, read from
  // outside: byte 0 counts, misread only from an unquoted field.
  std::uint64_t misread_from_outside() const { return quotes & ~inside_before & cannot_open; }

  // Read from inside: a quote at byte 0 closes, never misread.
  std::uint64_t misread_from_inside() const { return quotes & inside_before & cannot_open; }

  // Whether parity reads the block as the machine does from `state`.
  bool holds_from(ScanState state) const {
    switch (state) {
      case ScanState::Quoted:
        return misread_from_inside() == 0;
      case ScanState::Unquoted:
        return misread_from_outside() == 0;
      default:
        return (misread_from_outside() & ~std::uint64_t{1}) == 0;
    }
  }

  // Inside quotes after each byte, from `state`.
  std::uint64_t inside_from(ScanState state) const {
    return state == ScanState::Quoted ? ~inside : inside;
  }
};

// The state after a byte outside quotes: the byte alone decides it.
constexpr ScanState state_after_outside(std::uint8_t byte_class) {
  switch (byte_class) {
    case kQuote:
      return ScanState::AfterQuote;
    case kComma:
      return ScanState::FieldStart;
    case kTerminator:
      return ScanState::BetweenRecords;
    default:
      return ScanState::Unquoted;
  }
}

// Maps of all five states at once, numbered as they are first reached from
// the identity by stepping a byte or a block read by parity: a block is then
// one table look-up, or one per byte where parity does not hold. Record
// starts per start state are counted in lanes of 12 bits of one word.
class MapMachine {
 public:
  static constexpr int kLaneBits = 12;
  static constexpr std::size_t kFlushBytes = (std::size_t{1} << kLaneBits) - 1;

  MapMachine() {
    using States = std::array<ScanState, kScanStateCount>;
    States identity{};
    for (std::size_t state = 0; state < kScanStateCount; ++state) {
      identity[state] = static_cast<ScanState>(state);
    }
    maps_.push_back(identity);
    auto number = [&](const States& states) {
      auto found = std::find(maps_.begin(), maps_.end(), states);
      if (found != maps_.end()) return static_cast<std::uint8_t>(found - maps_.begin());
      if (maps_.size() == 256) throw std::logic_error("record scan: too many state maps");
      maps_.push_back(states);
      return static_cast<std::uint8_t>(maps_.size() - 1);
    };
    for (std::size_t index = 0; index < maps_.size(); ++index) {
      transitions_.resize(maps_.size() * kClassCount);
      parity_targets_.resize(maps_.size() * kParityTargets);
      for (std::uint8_t byte_class = 0; byte_class < kClassCount; ++byte_class) {
        States next{};
        std::uint64_t starts = 0;
        for (std::size_t state = 0; state < kScanStateCount; ++state) {
          next[state] = step(maps_[index][state], byte_class);
          if (starts_record(maps_[index][state], byte_class)) starts |= lane(state);
        }
        const std::uint8_t target = number(next);
        transitions_[index * kClassCount + byte_class] = {target, starts};
      }
      // A block read by parity leaves each lane inside quotes or else in the
      // state its last byte decides; which of the two, by whether the lane
      // read it from inside or outside and whether the block's quotes are odd
      // in number up to there.
      for (std::size_t ends_inside = 0; ends_inside < 2; ++ends_inside) {
        for (std::uint8_t last = 0; last < kClassCount; ++last) {
          const ScanState other = state_after_outside(last);
          States next{};
          for (std::size_t state = 0; state < kScanStateCount; ++state) {
            const bool inside = (maps_[index][state] == ScanState::Quoted) != (ends_inside == 1);
            next[state] = inside ? ScanState::Quoted : other;
          }
          parity_targets_[parity_target_index(index, ends_inside, last)] = number(next);
        }
      }
    }
    for (const auto& states : maps_) {
      Lanes lanes;
      for (std::size_t state = 0; state < kScanStateCount; ++state) {
        switch (states[state]) {
          case ScanState::Quoted:
            lanes.quoted |= lane(state);
            lanes.checked_from_inside = ~std::uint64_t{0};
            break;
          case ScanState::Unquoted:
            lanes.outside |= lane(state);
            lanes.checked_from_outside = ~std::uint64_t{0};
            break;
          default:
            lanes.outside |= lane(state);
            lanes.checked_from_outside |= ~std::uint64_t{1};
            break;
        }
        if (states[state] == ScanState::BetweenRecords) lanes.between_records |= lane(state);
      }
      lanes.checked_either_way = lanes.checked_from_outside ^ lanes.checked_from_inside;
      lanes_.push_back(lanes);
    }
  }

  // Steps the map through each 64-byte block by its quote parity where that
  // holds from every state the map is in, else a run of quote-free bytes at a
  // time and over each quote. Inlined into its caller with all it calls, so
  // that code built for the popcount instruction counts bits with it.
  template <class BitCount>
  [[gnu::always_inline]] BlockSummary summarize(std::span<const std::uint8_t> bytes,
                                                LineFeeds line_feeds) const {
    BlockSummary summary;
    std::size_t map = 0;
    std::uint64_t lanes = 0;
    std::size_t stepped = 0;  // bytes counted in `lanes` since the last flush
    auto flush = [&] {
      for (std::size_t state = 0; state < kScanStateCount; ++state) {
        summary.record_starts[state] += (lanes >> (kLaneBits * state)) & kFlushBytes;
      }
      lanes = 0;
      stepped = 0;
    };

    constexpr std::size_t kBatch = 16;
    BlockMasks masks[kBatch];
    std::uint64_t parities[kBatch];
    std::size_t offset = 0;
    const std::size_t whole = bytes.size() / kBlockSize * kBlockSize;
    while (offset < whole) {
      const std::size_t count = std::min(kBatch, (whole - offset) / kBlockSize);
      scan_blocks_(bytes.data() + offset, count, masks, parities);
      // A batch without quotes takes the quote-free steps; in one with some,
      // every block takes the general step, which reads a quote-free block
      // the same way: quoted text would mispredict a branch per block.
      std::uint64_t quotes = 0;
      for (std::size_t block = 0; block < count; ++block) quotes |= masks[block].quotes;
      for (std::size_t block = 0; block < count; ++block, offset += kBlockSize) {
        if (stepped + kBlockSize > kFlushBytes) flush();
        stepped += kBlockSize;
        const std::uint8_t* data = bytes.data() + offset;
        if (quotes == 0) {
          step_without_quotes<BitCount>(data, masks[block].terminators, map, lanes);
        } else if (!step_by_parity<BitCount>(data, QuoteParity(masks[block], parities[block]), map,
                                             lanes)) {
          step_quote_by_quote<BitCount>(data, masks[block], map, lanes);
        }
      }
    }
    for (; offset < bytes.size(); ++offset) {
      if (stepped + 1 > kFlushBytes) flush();
      ++stepped;
      step_byte(bytes[offset], map, lanes);
    }
    flush();
    summary.end_state = maps_[map];
    if (line_feeds == LineFeeds::Count) {
      summary.line_feeds = count_line_feeds(bytes.data(), bytes.size());
    }
    return summary;
  }

 private:
  static constexpr std::size_t kParityTargets = std::size_t{2} * kClassCount;

  static constexpr std::size_t parity_target_index(std::size_t map, std::size_t ends_inside,
                                                   std::uint8_t last_class) {
    return map * kParityTargets + ends_inside * kClassCount + last_class;
  }

  static constexpr std::uint64_t lane(std::size_t state) {
    return std::uint64_t{1} << (kLaneBits * state);
  }

  // A block without quotes: nothing to misread, and no lane changes sides.
  // Records begin after each terminator outside quotes, at any byte but
  // another terminator; from between records, at byte 0 too.
  template <class BitCount>
  [[gnu::always_inline]] void step_without_quotes(const std::uint8_t* data,
                                                  std::uint64_t terminators, std::size_t& map,
                                                  std::uint64_t& lanes) const {
    const Lanes& now = lanes_[map];
    const std::uint64_t after_terminator = ~terminators & (terminators << 1);
    const std::uint64_t begun_at_first_byte = (~terminators & 1) * now.between_records;
    lanes += BitCount::any(after_terminator) * now.outside + begun_at_first_byte;
    map = parity_targets_[parity_target_index(map, 0, kClassTable[data[kBlockSize - 1]])];
  }

  // A whole block read by parity, when that holds from every state the map
  // is in; false, with nothing stepped, when it does not. Records begin as
  // in step_without_quotes(), from each lane's side of the quotes.
  template <class BitCount>
  [[gnu::always_inline]] bool step_by_parity(const std::uint8_t* data, const QuoteParity& parity,
                                             std::size_t& map, std::uint64_t& lanes) const {
    const Lanes& now = lanes_[map];
    const std::uint8_t last = kClassTable[data[kBlockSize - 1]];
    const std::uint64_t terminators = parity.terminators;
    const std::uint64_t after_terminator = ~terminators & (terminators << 1);
    const std::uint64_t begun_at_first_byte = (~terminators & 1) * now.between_records;
    // The lanes outside quotes read the block from outside, those inside
    // from inside.
    const std::uint64_t checked =
        now.checked_from_outside ^ (parity.inside_before & now.checked_either_way);
    if ((parity.quotes & parity.cannot_open & checked) != 0) return false;
    const std::uint64_t begun_outside = BitCount::any(after_terminator & ~parity.inside_before);
    const std::uint64_t begun_inside = BitCount::any(after_terminator & parity.inside_before);
    lanes += begun_outside * now.outside + begun_inside * now.quoted + begun_at_first_byte;
    const std::size_t ends_inside = parity.inside >> (kBlockSize - 1);
    map = parity_targets_[parity_target_index(map, ends_inside, last)];
    return true;
  }

  template <class BitCount>
  [[gnu::always_inline]] void step_quote_by_quote(const std::uint8_t* data, const BlockMasks& masks,
                                                  std::size_t& map, std::uint64_t& lanes) const {
    std::size_t at = 0;
    for (std::uint64_t quotes = masks.quotes;; quotes &= quotes - 1) {
      const std::size_t quote =
          quotes != 0 ? static_cast<std::size_t>(__builtin_ctzll(quotes)) : kBlockSize;
      if (quote > at) step_run<BitCount>(data, at, quote, masks.terminators, map, lanes);
      if (quote == kBlockSize) break;
      step_byte(data[quote], map, lanes);
      at = quote + 1;
    }
  }

  void step_byte(std::uint8_t byte, std::size_t& map, std::uint64_t& lanes) const {
    const Transition& next = transitions_[map * kClassCount + kClassTable[byte]];
    lanes += next.starts;
    map = next.target;
  }

  // Bytes [begin, end) of a block, none of them a quote: once the first is
  // stepped, every lane outside quotes is in one state, which the bytes alone
  // decide from there on, and lanes inside quotes stay there. A record begins
  // at each byte after a terminator that is not one itself.
  template <class BitCount>
  [[gnu::always_inline]] void step_run(const std::uint8_t* block, std::size_t begin,
                                       std::size_t end, std::uint64_t terminators, std::size_t& map,
                                       std::uint64_t& lanes) const {
    step_byte(block[begin], map, lanes);
    if (end - begin == 1) return;
    const std::uint64_t after_first = bits_below(end) & ~bits_below(begin + 1);
    const std::uint64_t begun = BitCount::few(~terminators & (terminators << 1) & after_first);
    lanes += begun * lanes_[map].outside;
    map = transitions_[map * kClassCount + kClassTable[block[end - 1]]].target;
  }

  static constexpr std::uint64_t bits_below(std::size_t count) {
    return count >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1;
  }

  struct Transition {
    std::uint8_t target;
    std::uint64_t starts;  // a 1 in the lane of each start state that begins a record here
  };

  // Which start states' lanes a map holds in which state: a 1 in each lane.
  struct Lanes {
    std::uint64_t quoted = 0;
    std::uint64_t outside = 0;  // every state but quoted
    std::uint64_t between_records = 0;
    // The misread quotes that matter: read from outside, all where a lane is
    // in an unquoted field, all but byte 0's where one is elsewhere outside
    // quotes, none where none is; read from inside, all where a lane is
    // quoted.
    std::uint64_t checked_from_outside = 0;
    std::uint64_t checked_from_inside = 0;
    std::uint64_t checked_either_way = 0;  // the two XORed, to pick one by parity
  };

  std::vector<std::array<ScanState, kScanStateCount>> maps_;
  std::vector<Transition> transitions_;
  std::vector<std::uint8_t> parity_targets_;  // by map, whether parity ends inside, last byte
  std::vector<Lanes> lanes_;                  // by map
  ScanBlocks scan_blocks_ = select_scan_blocks();
};

const MapMachine& map_machine() {
  static const MapMachine machine;
  return machine;
}

#if defined(__x86_64__) && !defined(VREX_FORCE_SCALAR)
// A summary with bits counted by the popcount instruction: the summary's
// steps are inlined here, where the instruction may be used. About a quarter
// fewer instructions on quoted text than counting in software.
__attribute__((target("popcnt"))) BlockSummary summarize_counting_by_instruction(
    std::span<const std::uint8_t> bytes, LineFeeds line_feeds) {
  return map_machine().summarize<HardwareBitCount>(bytes, line_feeds);
}
#endif

}  // namespace

BlockSummary summarize_block(std::span<const std::uint8_t> bytes, LineFeeds line_feeds) {
#if defined(__x86_64__) && !defined(VREX_FORCE_SCALAR)
  static const bool has_popcount = __builtin_cpu_supports("popcnt");
  if (has_popcount) return summarize_counting_by_instruction(bytes, line_feeds);
#endif
  return map_machine().summarize<SoftwareBitCount>(bytes, line_feeds);
}

namespace {

// One step of a walk to a record's end; true when the walk stops here.
struct RecordWalk {
  ScanStop stop;
  std::uint64_t records;
  std::uint64_t ended = 0;

  bool step_at(std::span<const std::uint8_t> bytes, std::size_t offset) {
    const std::uint8_t byte_class = kClassTable[bytes[offset]];
    stop.record_starts += starts_record(stop.state, byte_class) ? 1 : 0;
    const bool ends_record = byte_class == kTerminator && stop.state != ScanState::BetweenRecords &&
                             stop.state != ScanState::Quoted;
    stop.state = step(stop.state, byte_class);
    if (!ends_record || ++ended != records) return false;
    stop.offset = offset + 1;
    stop.found = true;
    return true;
  }

  // A block of 64 bytes from `offset` read by quote parity, when that holds
  // from the state the walk is in; false, with nothing walked, when it does
  // not. Records end at each terminator outside quotes that is not between
  // records, and begin at each other byte after a terminator outside quotes.
  // Ends are counted a block at a time: only the block where the walk stops
  // looks for one of them.
  enum class BlockWalk { Unread, Walked, Stopped };

  template <class BitCount>
  [[gnu::always_inline]] BlockWalk walk_block_by_parity(std::span<const std::uint8_t> bytes,
                                                        std::size_t offset,
                                                        const QuoteParity& parity) {
    std::uint64_t inside = 0;
    if (parity.quotes == 0) {
      if (stop.state == ScanState::Quoted) return BlockWalk::Walked;  // still inside
    } else {
      if (!parity.holds_from(stop.state)) return BlockWalk::Unread;
      inside = parity.inside_from(stop.state);
    }
    const std::uint64_t terminators = parity.terminators & ~inside;
    const std::uint64_t between_records =
        (terminators << 1) | (stop.state == ScanState::BetweenRecords ? 1 : 0);
    std::uint64_t ends = terminators & ~between_records;
    const std::uint64_t begins = ~parity.terminators & between_records;
    const std::uint64_t block_ends = BitCount::any(ends);
    if (ended + block_ends >= records) {
      for (std::uint64_t before = records - ended - 1; before > 0; --before) ends &= ends - 1;
      const auto at = static_cast<std::size_t>(__builtin_ctzll(ends));
      const std::uint64_t through = at == 63 ? ~std::uint64_t{0} : (std::uint64_t{2} << at) - 1;
      stop.record_starts += BitCount::any(begins & through);
      stop.state = ScanState::BetweenRecords;
      stop.offset = offset + at + 1;
      stop.found = true;
      return BlockWalk::Stopped;
    }
    ended += block_ends;
    stop.record_starts += BitCount::any(begins);
    stop.state = (inside >> (kBlockSize - 1)) != 0
                     ? ScanState::Quoted
                     : state_after_outside(kClassTable[bytes[offset + kBlockSize - 1]]);
    return BlockWalk::Walked;
  }
};

template <class BitCount>
[[gnu::always_inline]] inline ScanStop skip_records_counting(std::span<const std::uint8_t> bytes,
                                                             ScanState state, std::uint64_t records,
                                                             LineFeeds line_feeds) {
  RecordWalk walk{ScanStop{0, state, 0, 0, records == 0}, records};
  if (walk.stop.found) return walk.stop;
  static const ScanBlocks scan_blocks = select_scan_blocks();
  constexpr std::size_t kBatch = 16;
  BlockMasks masks[kBatch];
  std::uint64_t parities[kBatch];
  std::uint64_t previous_special = 1;
  std::size_t offset = 0;
  const std::size_t whole = bytes.size() / kBlockSize * kBlockSize;
  auto finish = [&] {
    if (line_feeds == LineFeeds::Count) {
      walk.stop.line_feeds = count_line_feeds(bytes.data(), walk.stop.offset);
    }
    return walk.stop;
  };
  while (offset < whole) {
    const std::size_t count = std::min(kBatch, (whole - offset) / kBlockSize);
    scan_blocks(bytes.data() + offset, count, masks, parities);
    for (std::size_t block = 0; block < count; ++block, offset += kBlockSize) {
      const std::uint64_t special = masks[block].separators | masks[block].quotes;
      const std::uint64_t special_before = previous_special;
      previous_special = special >> 63;
      const auto read = walk.walk_block_by_parity<BitCount>(
          bytes, offset, QuoteParity(masks[block], parities[block]));
      if (read == RecordWalk::BlockWalk::Stopped) return finish();
      if (read == RecordWalk::BlockWalk::Walked) continue;
      // As in a summary, only separators, quotes and the first byte of each
      // run of other bytes can change the state, end a record or begin one.
      for (std::uint64_t wanted = special | (~special & ((special << 1) | special_before));
           wanted != 0; wanted &= wanted - 1) {
        if (walk.step_at(bytes, offset + static_cast<std::size_t>(__builtin_ctzll(wanted)))) {
          return finish();
        }
      }
    }
  }
  for (; offset < bytes.size(); ++offset) {
    if (walk.step_at(bytes, offset)) return finish();
  }
  walk.stop.offset = bytes.size();
  return finish();
}

#if defined(__x86_64__) && !defined(VREX_FORCE_SCALAR)
__attribute__((target("popcnt"))) ScanStop skip_records_counting_by_instruction(
    std::span<const std::uint8_t> bytes, ScanState state, std::uint64_t records,
    LineFeeds line_feeds) {
  return skip_records_counting<HardwareBitCount>(bytes, state, records, line_feeds);
}
#endif

}  // namespace

ScanStop skip_records(std::span<const std::uint8_t> bytes, ScanState state, std::uint64_t records,
                      LineFeeds line_feeds) {
#if defined(__x86_64__) && !defined(VREX_FORCE_SCALAR)
  static const bool has_popcount = __builtin_cpu_supports("popcnt");
  if (has_popcount) return skip_records_counting_by_instruction(bytes, state, records, line_feeds);
#endif
  return skip_records_counting<SoftwareBitCount>(bytes, state, records, line_feeds);
}

ScanStop skip_records_reference(std::span<const std::uint8_t> bytes, ScanState state,
                                std::uint64_t records) {
  ScanStop stop{0, state, 0, 0, records == 0};
  std::uint64_t ended = 0;
  for (std::size_t offset = 0; offset < bytes.size() && !stop.found; ++offset) {
    const std::uint8_t byte_class = class_of(bytes[offset]);
    stop.record_starts += starts_record(stop.state, byte_class) ? 1 : 0;
    stop.line_feeds += bytes[offset] == '\n' ? 1 : 0;
    const bool ends_record = byte_class == kTerminator && stop.state != ScanState::BetweenRecords &&
                             stop.state != ScanState::Quoted;
    stop.state = step(stop.state, byte_class);
    stop.offset = offset + 1;
    if (ends_record && ++ended == records) stop.found = true;
  }
  return stop;
}

ReferenceWalk walk_reference(std::span<const std::uint8_t> bytes, ScanState state) {
  std::uint64_t starts = 0;
  for (std::uint8_t byte : bytes) {
    const std::uint8_t byte_class = class_of(byte);
    starts += starts_record(state, byte_class) ? 1 : 0;
    state = step(state, byte_class);
  }
  return {state, starts};
}

}  // namespace vrex::ext
