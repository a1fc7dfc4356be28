// Finds record boundaries without splitting fields, so that an input can be
// cut into parts that each begin where a record begins.
//
// The reader's own rules make a machine of five states per byte: between
// records (terminators are skipped there), at a field's start, inside an
// unquoted field (a quote is an ordinary byte), inside quotes, and just after
// a closing quote (a second quote adds one and goes back inside, a comma or
// terminator ends the field, any other byte continues it unquoted). A block
// of bytes maps each state at its start to a state at its end; that map, and
// how many records begin in the block from each start state, is what a
// block's summary holds. Summaries are independent, so blocks are summarised
// in parallel, and one pass over the summaries gives every block its true
// start state and record count. Both the summaries and the record skips read
// 64 bytes at a time from bit masks: a quote toggles inside and outside,
// which is the machine's own reading wherever no quote sits inside an
// unquoted field; where one does, those 64 bytes are stepped quote by quote.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "csv/block_classifier.h"

namespace vrex::ext {

enum class ScanState : std::uint8_t { BetweenRecords, FieldStart, Unquoted, Quoted, AfterQuote };

inline constexpr std::size_t kScanStateCount = 5;

struct BlockSummary {
  std::array<ScanState, kScanStateCount> end_state{};          // by start state
  std::array<std::uint64_t, kScanStateCount> record_starts{};  // by start state
  std::uint64_t line_feeds = 0;
};

// Masks and quote parities of `count` blocks: what a scan reads of each.
// Bit i of `inside[block]` is set when an odd number of the block's bytes
// 0..i are quotes. A scan never reads which bytes are above ASCII, and that
// mask may be left zero.
using ScanBlocks = void (*)(const std::uint8_t* data, std::size_t count, BlockMasks* masks,
                            std::uint64_t* inside) noexcept;

// Every way this CPU can scan blocks, the portable one first; the scans use
// the last. Tests compare them.
std::vector<ScanBlocks> block_scans_available();

// Whether a scan counts the line feeds it passes. Lines only ever show in
// error texts: a caller that can count them when an error needs one skips
// the count (which is about a sixth of a summary's work).
enum class LineFeeds : bool { Skip, Count };

// The summary of `bytes`; `line_feeds` is zero when skipped.
BlockSummary summarize_block(std::span<const std::uint8_t> bytes,
                             LineFeeds line_feeds = LineFeeds::Count);

// Where a walk through some bytes from a known state stopped.
struct ScanStop {
  std::size_t offset = 0;  // bytes walked
  ScanState state = ScanState::BetweenRecords;
  std::uint64_t line_feeds = 0;     // line feeds among the bytes walked
  std::uint64_t record_starts = 0;  // records begun among them
  bool found = false;               // stopped where asked, not at the end
};

// Walks `bytes` from `state` past the terminators that end `records` records
// and stops just past the last of them, where a reader's search for the next
// record begins (at once when `records` is zero).
ScanStop skip_records(std::span<const std::uint8_t> bytes, ScanState state, std::uint64_t records,
                      LineFeeds line_feeds = LineFeeds::Count);

// The same walk one byte at a time: the reference skip_records() is tested
// against.
ScanStop skip_records_reference(std::span<const std::uint8_t> bytes, ScanState state,
                                std::uint64_t records);

// The plain machine, one byte at a time, counting record starts from one
// state: the reference the summaries are tested against.
struct ReferenceWalk {
  ScanState end_state;
  std::uint64_t record_starts;
};

ReferenceWalk walk_reference(std::span<const std::uint8_t> bytes, ScanState state);

}  // namespace vrex::ext
