// Parts: record-aligned byte ranges of an input, each described by plain
// numbers, so that whoever holds the input (another thread, process or
// machine) can read the part's records with the right counts in its errors.
// A `Part` carries every count, lines included, for another process or
// machine; a `RowPart`, shared by the threads of one process, leaves lines
// out.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

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

// Runs `task(index)` for every index below `count` on up to `threads`
// threads (the calling one included); a task must not throw.
using RunTasks =
    std::function<void(std::size_t count, const std::function<void(std::size_t)>& task)>;

// A part as the threads of one process share it. Its lines are not counted:
// the input is at hand, so an error counts them from its start when it
// needs one.
struct RowPart {
  std::uint64_t begin = 0;      // just past the terminator of the record before it
  std::uint64_t end = 0;        // byte offset just past the part
  std::uint64_t first_row = 0;  // data rows before it
};

struct PartPlan {
  std::vector<RowPart> parts;
  std::uint64_t end_row = 0;  // data rows before the input's end
};

// A block's summary as the parts' plan reads it: by quote parity, and by the
// machine too where parity misreads the block from both sides, so that
// malformed quoting is read in parallel as well.
struct PlanSummary {
  ParitySummary parity;
  std::unique_ptr<BlockSummary> exact;  // only where parity holds from neither side
};

PlanSummary summarize_for_plan(std::span<const std::uint8_t> bytes);

// Cuts `csv` from byte `start` on (a record boundary with `first_row` data
// rows before it) into parts: the first begins there, and each other one
// just past the first terminator that ends a record in a block of
// `part_size` bytes. Blocks in which no record ends belong to the part
// before them.
PartPlan plan_parts(std::span<const std::uint8_t> csv, std::uint64_t start, std::uint64_t first_row,
                    std::size_t part_size, const RunTasks& run_tasks);

// Walks `bytes` from a record boundary past the terminators that end
// `records` records, to where skip_records() stops, a block of `block_size`
// bytes at a time by its summary: only the block where the walk stops is
// stepped through. Record starts are counted, line feeds are not. Once
// `stopped` is set, it gives up after the block it reads (not found).
ScanStop skip_records_by_blocks(std::span<const std::uint8_t> bytes, std::uint64_t records,
                                std::size_t block_size, const std::atomic<bool>& stopped);

}  // namespace vrex::ext
