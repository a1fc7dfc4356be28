#include "parallel/record_scan.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "csv/block_classifier.h"
#include "csv/utf8.h"

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
  for (int byte = 0; byte < 256; ++byte) table[byte] = class_of(static_cast<std::uint8_t>(byte));
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

// Maps of all five states at once, numbered as they are first reached from
// the identity by stepping: a block is then one table look-up per byte.
// Record starts per start state are counted in lanes of 12 bits of one word.
class MapMachine {
 public:
  static constexpr int kLaneBits = 12;
  static constexpr std::size_t kFlushBytes = (std::size_t{1} << kLaneBits) - 1;

  MapMachine() {
    std::array<ScanState, kScanStateCount> identity{};
    for (std::size_t state = 0; state < kScanStateCount; ++state) {
      identity[state] = static_cast<ScanState>(state);
    }
    maps_.push_back(identity);
    for (std::size_t index = 0; index < maps_.size(); ++index) {
      for (std::uint8_t byte_class = 0; byte_class < kClassCount; ++byte_class) {
        std::array<ScanState, kScanStateCount> next{};
        std::uint64_t starts = 0;
        for (std::size_t state = 0; state < kScanStateCount; ++state) {
          next[state] = step(maps_[index][state], byte_class);
          if (starts_record(maps_[index][state], byte_class)) {
            starts |= std::uint64_t{1} << (kLaneBits * state);
          }
        }
        auto found = std::find(maps_.begin(), maps_.end(), next);
        const std::size_t target = static_cast<std::size_t>(found - maps_.begin());
        if (found == maps_.end()) maps_.push_back(next);
        if (maps_.size() > 256) throw std::logic_error("record scan: too many state maps");
        transitions_.resize(maps_.size() * kClassCount);
        transitions_[index * kClassCount + byte_class] = {static_cast<std::uint8_t>(target),
                                                          starts};
      }
    }
    for (const auto& states : maps_) {
      std::uint64_t units = 0;
      for (std::size_t state = 0; state < kScanStateCount; ++state) {
        if (states[state] != ScanState::Quoted) units |= std::uint64_t{1} << (kLaneBits * state);
      }
      unquoted_lanes_.push_back(units);
    }
  }

  // Steps the map through each 64-byte block a run of quote-free bytes at a
  // time, and over each quote.
  BlockSummary summarize(std::span<const std::uint8_t> bytes) const {
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
    std::size_t offset = 0;
    const std::size_t whole = bytes.size() / kBlockSize * kBlockSize;
    while (offset < whole) {
      const std::size_t count = std::min(kBatch, (whole - offset) / kBlockSize);
      classify_(bytes.data() + offset, count, masks);
      for (std::size_t block = 0; block < count; ++block, offset += kBlockSize) {
        if (stepped + kBlockSize > kFlushBytes) flush();
        stepped += kBlockSize;
        const std::uint8_t* data = bytes.data() + offset;
        const std::uint64_t terminators = masks[block].terminators;
        std::size_t at = 0;
        for (std::uint64_t quotes = masks[block].quotes;; quotes &= quotes - 1) {
          const std::size_t quote =
              quotes != 0 ? static_cast<std::size_t>(__builtin_ctzll(quotes)) : kBlockSize;
          if (quote > at) step_run(data, at, quote, terminators, map, lanes);
          if (quote == kBlockSize) break;
          step_byte(data[quote], map, lanes);
          at = quote + 1;
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
    summary.line_feeds = count_line_feeds(bytes.data(), bytes.size());
    return summary;
  }

 private:
  void step_byte(std::uint8_t byte, std::size_t& map, std::uint64_t& lanes) const {
    const Transition& next = transitions_[map * kClassCount + kClassTable[byte]];
    lanes += next.starts;
    map = next.target;
  }

  // Bytes [begin, end) of a block, none of them a quote: once the first is
  // stepped, every lane outside quotes is in one state, which the bytes alone
  // decide from there on, and lanes inside quotes stay there. A record begins
  // at each byte after a terminator that is not one itself.
  void step_run(const std::uint8_t* block, std::size_t begin, std::size_t end,
                std::uint64_t terminators, std::size_t& map, std::uint64_t& lanes) const {
    step_byte(block[begin], map, lanes);
    if (end - begin == 1) return;
    const std::uint64_t after_first = bits_below(end) & ~bits_below(begin + 1);
    std::uint64_t begins = ~terminators & (terminators << 1) & after_first;
    std::uint64_t begun = 0;
    for (; begins != 0; begins &= begins - 1) ++begun;  // records are few per block
    lanes += begun * unquoted_lanes_[map];
    map = transitions_[map * kClassCount + kClassTable[block[end - 1]]].target;
  }

  static constexpr std::uint64_t bits_below(std::size_t count) {
    return count >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1;
  }

  struct Transition {
    std::uint8_t target;
    std::uint64_t starts;  // a 1 in the lane of each start state that begins a record here
  };

  std::vector<std::array<ScanState, kScanStateCount>> maps_;
  std::vector<Transition> transitions_;
  std::vector<std::uint64_t> unquoted_lanes_;  // by map: a 1 in the lane of each state not quoted
  ClassifyBlocks classify_ = select_classifier(kScanClassifier);
};

const MapMachine& map_machine() {
  static const MapMachine machine;
  return machine;
}

}  // namespace

BlockSummary summarize_block(std::span<const std::uint8_t> bytes) {
  return map_machine().summarize(bytes);
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

  // A block of 64 bytes without quotes, from `offset`: once its first byte
  // is stepped the bytes alone decide the state (inside quotes it stays), so
  // records end at each terminator not after another and begin at each other
  // byte after one.
  bool walk_quote_free_block(std::span<const std::uint8_t> bytes, std::size_t offset,
                             std::uint64_t terminators) {
    if (stop.state == ScanState::Quoted) return false;
    if (step_at(bytes, offset)) return true;
    const std::uint64_t past_first = ~std::uint64_t{1};
    const std::uint64_t ends = terminators & ~(terminators << 1) & past_first;
    const std::uint64_t begins = ~terminators & (terminators << 1) & past_first;
    const std::uint64_t wanted = records - ended;
    std::uint64_t seen = 0;
    for (std::uint64_t left = ends; left != 0; left &= left - 1) {
      if (++seen < wanted) continue;
      const auto at = static_cast<std::size_t>(__builtin_ctzll(left));
      const std::uint64_t through = at == 63 ? ~std::uint64_t{0} : (std::uint64_t{2} << at) - 1;
      stop.record_starts += count_bits(begins & through);
      stop.state = ScanState::BetweenRecords;
      stop.offset = offset + at + 1;
      stop.found = true;
      return true;
    }
    ended += seen;
    stop.record_starts += count_bits(begins);
    stop.state = step(ScanState::Unquoted, kClassTable[bytes[offset + kBlockSize - 1]]);
    return false;
  }

  // Records are few per block: a loop beats a library popcount call.
  static std::uint64_t count_bits(std::uint64_t bits) {
    std::uint64_t count = 0;
    for (; bits != 0; bits &= bits - 1) ++count;
    return count;
  }
};

}  // namespace

ScanStop skip_records(std::span<const std::uint8_t> bytes, ScanState state, std::uint64_t records) {
  RecordWalk walk{ScanStop{0, state, 0, 0, records == 0}, records};
  if (walk.stop.found) return walk.stop;
  // As in a summary, only separators, quotes and the first byte of each run
  // of other bytes can change the state, end a record or begin one.
  static const ClassifyBlocks classify = select_classifier(kScanClassifier);
  constexpr std::size_t kBatch = 16;
  BlockMasks masks[kBatch];
  std::uint64_t previous_special = 1;
  std::size_t offset = 0;
  const std::size_t whole = bytes.size() / kBlockSize * kBlockSize;
  auto finish = [&] {
    walk.stop.line_feeds = count_line_feeds(bytes.data(), walk.stop.offset);
    return walk.stop;
  };
  while (offset < whole) {
    const std::size_t count = std::min(kBatch, (whole - offset) / kBlockSize);
    classify(bytes.data() + offset, count, masks);
    for (std::size_t block = 0; block < count; ++block, offset += kBlockSize) {
      const std::uint64_t special = masks[block].separators | masks[block].quotes;
      std::uint64_t wanted = special | (~special & ((special << 1) | previous_special));
      previous_special = special >> 63;
      if (masks[block].quotes == 0) {
        if (walk.walk_quote_free_block(bytes, offset, masks[block].terminators)) return finish();
        continue;
      }
      while (wanted != 0) {
        if (walk.step_at(bytes, offset + static_cast<std::size_t>(__builtin_ctzll(wanted)))) {
          return finish();
        }
        wanted &= wanted - 1;
      }
    }
  }
  for (; offset < bytes.size(); ++offset) {
    if (walk.step_at(bytes, offset)) return finish();
  }
  walk.stop.offset = bytes.size();
  return finish();
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
