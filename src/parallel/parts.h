// Parts: record-aligned byte ranges of an input, each described by plain
// numbers, so that whoever holds the input (another process or machine) can
// read the part's records with the right counts in its errors; and the walk
// that counts records a block at a time, by the blocks' summaries, which
// finds where the threads' chunks begin.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "csv/csv_reader.h"
#include "parallel/parity_summary.h"
#include "parallel/record_scan.h"

namespace vrex::ext {

struct Part {
  std::uint64_t begin = 0;         // just past the terminator of the record before it
  std::uint64_t end = 0;           // byte offset just past the part
  std::uint64_t first_record = 0;  // records before it, the header included
  std::uint64_t first_line = 1;    // line of its first byte
  std::uint64_t first_row = 0;     // data rows before it

  CsvPosition origin() const noexcept { return {begin, first_line, first_record}; }
};

// Summaries of blocks made ahead of a walk, by other threads. Block k holds
// the bytes [k * block_size, (k + 1) * block_size) from the blocks' origin,
// fewer at the input's end.
class SummariesAhead {
 public:
  // The walk has reached block `block`, which it reads whole: its summary,
  // when one was made. Blocks before it are not asked for again.
  virtual std::optional<ParitySummary> reached(std::uint64_t block) = 0;

 protected:
  ~SummariesAhead() = default;
};

// Walks `bytes` from a record boundary past the terminators that end
// `records` records, to where skip_records() stops, a block of `block_size`
// bytes at a time by its summary: only the block where the walk stops is
// stepped through. `bytes` begin `from_origin` bytes past the blocks'
// origin, so the first block may be shorter; `ahead`, when given, has the
// summaries of some blocks made already. Record starts are counted, line
// feeds are not. Once `stopped` is set, it gives up after the block it
// reads (not found).
ScanStop skip_records_by_blocks(std::span<const std::uint8_t> bytes, std::uint64_t records,
                                std::size_t block_size, const std::atomic<bool>& stopped,
                                std::uint64_t from_origin = 0, SummariesAhead* ahead = nullptr);

}  // namespace vrex::ext
