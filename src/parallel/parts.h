// Parts: record-aligned byte ranges of an input, each described by plain
// numbers, so that whoever holds the input (another process or machine) can
// read the part's records with the right counts in its errors; and the walk
// that counts records a block at a time, by the blocks' summaries, which
// finds where the threads' chunks begin.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

#include "csv/csv_reader.h"
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

// Walks `bytes` from a record boundary past the terminators that end
// `records` records, to where skip_records() stops, a block of `block_size`
// bytes at a time by its summary: only the block where the walk stops is
// stepped through. Record starts are counted, line feeds are not. Once
// `stopped` is set, it gives up after the block it reads (not found).
ScanStop skip_records_by_blocks(std::span<const std::uint8_t> bytes, std::uint64_t records,
                                std::size_t block_size, const std::atomic<bool>& stopped);

}  // namespace vrex::ext
