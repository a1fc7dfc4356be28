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
#include <stop_token>
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

// Block summaries made before the parts' start is known, while the calling
// thread reads the header and converts the first chunks: threads summarise
// blocks of `part_size` bytes, counted from the input's first byte, each
// taking the next block that no thread has taken or skipped.
class EarlySummaries {
 public:
  EarlySummaries(std::span<const std::uint8_t> csv, std::size_t part_size);

  EarlySummaries(const EarlySummaries&) = delete;
  EarlySummaries& operator=(const EarlySummaries&) = delete;

  std::size_t part_size() const noexcept { return part_size_; }

  // The index of the block holding byte `offset`.
  std::size_t block_of(std::uint64_t offset) const noexcept {
    return static_cast<std::size_t>(offset / part_size_);
  }

  // Summarises blocks until every one is taken or `stop` is requested.
  void summarize(const std::stop_token& stop);

  // The blocks up to the one holding `offset` are not needed: no thread
  // begins one from now on.
  void skip_through(std::uint64_t offset);

  std::span<const PlanSummary> summaries() const noexcept { return summaries_; }

 private:
  std::span<const std::uint8_t> csv_;
  std::size_t part_size_;
  std::vector<PlanSummary> summaries_;
  std::atomic<std::size_t> next_{0};  // the next block no thread has taken
};

// The same plan from summaries made early: every block after the one
// holding `start` must be summarised; the first part's block, the rest of
// the one holding `start`, is summarised here. The join reads the start of
// every block, which for a mapped file larger than memory means reading it
// from disk again: stopped, it gives up at once (the plan is then unusable).
PartPlan plan_parts(std::span<const std::uint8_t> csv, std::uint64_t start, std::uint64_t first_row,
                    const EarlySummaries& early, const std::stop_token& stop = {});

// A row whose start is known already: a later row of the same part is found
// from there, so a thread that takes chunk after chunk walks each part once
// rather than once per chunk.
struct KnownRow {
  std::uint64_t row = 0;
  std::uint64_t byte = 0;
};

// The byte offset where data row `row` begins, found from the part that
// holds it. `row` must lie inside `parts`.
std::uint64_t find_row(std::span<const std::uint8_t> csv, std::span<const RowPart> parts,
                       std::uint64_t row, const KnownRow* known = nullptr);

}  // namespace vrex::ext
