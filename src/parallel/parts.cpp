#include "parallel/parts.h"

#include <algorithm>
#include <stdexcept>

#include "parallel/record_scan.h"

namespace vrex::ext {

namespace {

// The state after a block and the records begun in it, from `state`: by
// parity where it holds from there, else by the machine.
ReferenceWalk step_over(std::span<const std::uint8_t> bytes, const PlanSummary& summary,
                        ScanState state) {
  if (auto walk = summary.parity.from_state(state)) return *walk;
  if (summary.exact) {
    const auto from = static_cast<std::size_t>(state);
    return {summary.exact->end_state[from], summary.exact->record_starts[from]};
  }
  const ScanStop stop = skip_records(bytes, state, ~std::uint64_t{0}, LineFeeds::Skip);
  return {stop.state, stop.record_starts};
}

// The one serial pass: each block's true start state and counts. A part
// begins where a reader's search for a record begins: at the start, and
// just past the first terminator that ends a record in each block. The
// first block begins at `start`; `block(index)` gives each block's bytes
// and `summary(index)` their summary.
template <class Block, class Summary>
PartPlan join_blocks(std::span<const std::uint8_t> csv, std::uint64_t start,
                     std::uint64_t first_row, std::size_t block_count, const Block& block,
                     const Summary& summary) {
  std::vector<RowPart> parts;
  parts.push_back(RowPart{start, csv.size(), first_row});
  ScanState state = ScanState::BetweenRecords;
  std::uint64_t rows = first_row;
  for (std::size_t index = 0; index < block_count; ++index) {
    const std::span<const std::uint8_t> bytes = block(index);
    const ScanStop stop = skip_records(bytes, state, 1, LineFeeds::Skip);
    if (stop.found) {
      const auto begin = static_cast<std::uint64_t>(bytes.data() - csv.data()) + stop.offset;
      parts.back().end = begin;
      parts.push_back(RowPart{begin, csv.size(), rows + stop.record_starts});
    }
    const ReferenceWalk walk = step_over(bytes, summary(index), state);
    rows += walk.record_starts;
    state = walk.end_state;
  }
  return {std::move(parts), rows};
}

}  // namespace

ScanStop skip_records_by_blocks(std::span<const std::uint8_t> bytes, std::uint64_t records,
                                std::size_t block_size, const std::atomic<bool>& stopped) {
  if (records == 0) return {0, ScanState::BetweenRecords, 0, 0, true};
  block_size = std::max<std::size_t>(block_size, 1);
  ScanState state = ScanState::BetweenRecords;
  std::uint64_t started = 0;  // records begun before the block
  for (std::size_t offset = 0; offset < bytes.size(); offset += block_size) {
    if (stopped.load(std::memory_order_relaxed)) return {offset, state, 0, started, false};
    const auto block = bytes.subspan(offset, std::min(block_size, bytes.size() - offset));
    const ReferenceWalk walk = step_over(block, summarize_for_plan(block), state);
    if (started + walk.record_starts >= records) {
      // The last record to end begins in this block, and ends here or later;
      // one begun before the block and still open ends first.
      const std::uint64_t open = state == ScanState::BetweenRecords ? 0 : 1;
      ScanStop stop =
          skip_records(bytes.subspan(offset), state, records - started + open, LineFeeds::Skip);
      stop.offset += offset;
      stop.record_starts += started;
      return stop;
    }
    started += walk.record_starts;
    state = walk.end_state;
  }
  return {bytes.size(), state, 0, started, false};
}

PlanSummary summarize_for_plan(std::span<const std::uint8_t> bytes) {
  PlanSummary summary{ParitySummary(bytes), nullptr};
  if (summary.parity.holds_from_neither()) {
    summary.exact = std::make_unique<BlockSummary>(summarize_block(bytes, LineFeeds::Skip));
  }
  return summary;
}

PartPlan plan_parts(std::span<const std::uint8_t> csv, std::uint64_t start_byte,
                    std::uint64_t first_row, std::size_t part_size, const RunTasks& run_tasks) {
  const auto start = static_cast<std::size_t>(start_byte);
  const std::size_t length = csv.size() - start;
  part_size = std::max<std::size_t>(part_size, 1);
  const std::size_t block_count = (length + part_size - 1) / part_size;
  auto block = [&](std::size_t index) {
    const std::size_t begin = start + index * part_size;
    return csv.subspan(begin, std::min(part_size, csv.size() - begin));
  };

  std::vector<PlanSummary> summaries(block_count);
  run_tasks(block_count,
            [&](std::size_t index) { summaries[index] = summarize_for_plan(block(index)); });
  return join_blocks(csv, start_byte, first_row, block_count, block,
                     [&](std::size_t index) -> const PlanSummary& { return summaries[index]; });
}

}  // namespace vrex::ext
