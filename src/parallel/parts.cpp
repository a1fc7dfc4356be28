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
// and `summary(index)` their summary. Stopped, it leaves a plan of the
// blocks before, to be thrown away.
template <class Block, class Summary>
PartPlan join_blocks(std::span<const std::uint8_t> csv, std::uint64_t start,
                     std::uint64_t first_row, std::size_t block_count, const Block& block,
                     const Summary& summary, const std::stop_token& stopped = {}) {
  std::vector<RowPart> parts;
  parts.push_back(RowPart{start, csv.size(), first_row});
  ScanState state = ScanState::BetweenRecords;
  std::uint64_t rows = first_row;
  for (std::size_t index = 0; index < block_count && !stopped.stop_requested(); ++index) {
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

EarlySummaries::EarlySummaries(std::span<const std::uint8_t> csv, std::size_t part_size)
    : csv_(csv),
      part_size_(std::max<std::size_t>(part_size, 1)),
      summaries_((csv.size() + part_size_ - 1) / part_size_) {}

void EarlySummaries::summarize(const std::stop_token& stop) {
  // A block taken is summarised, stopped or not.
  while (!stop.stop_requested()) {
    const std::size_t index = next_++;
    if (index >= summaries_.size()) break;
    const std::size_t begin = index * part_size_;
    summaries_[index] =
        summarize_for_plan(csv_.subspan(begin, std::min(part_size_, csv_.size() - begin)));
  }
}

void EarlySummaries::skip_through(std::uint64_t offset) {
  const std::size_t first = block_of(offset) + 1;
  std::size_t next = next_.load();
  while (next < first && !next_.compare_exchange_weak(next, first)) {
  }
}

PartPlan plan_parts(std::span<const std::uint8_t> csv, std::uint64_t start, std::uint64_t first_row,
                    const EarlySummaries& early, const std::stop_token& stop) {
  const std::span<const PlanSummary> summaries = early.summaries();
  const std::size_t first = early.block_of(start);
  const std::size_t part_size = early.part_size();
  auto block = [&](std::size_t index) {
    const std::size_t begin =
        index == 0 ? static_cast<std::size_t>(start) : (first + index) * part_size;
    const std::size_t end = std::min((first + index + 1) * part_size, csv.size());
    return csv.subspan(begin, end - begin);
  };
  const std::size_t block_count = start < csv.size() ? summaries.size() - first : 0;
  const PlanSummary head = block_count > 0 ? summarize_for_plan(block(0)) : PlanSummary{};
  return join_blocks(
      csv, start, first_row, block_count, block,
      [&](std::size_t index) -> const PlanSummary& {
        return index == 0 ? head : summaries[first + index];
      },
      stop);
}

std::uint64_t find_row(std::span<const std::uint8_t> csv, std::span<const RowPart> parts,
                       std::uint64_t row, const KnownRow* known) {
  // The last part whose first row is at most `row`.
  auto after = std::upper_bound(
      parts.begin(), parts.end(), row,
      [](std::uint64_t wanted, const RowPart& part) { return wanted < part.first_row; });
  if (after == parts.begin()) throw std::logic_error("row before the first part");
  const RowPart& part = *(after - 1);
  // Both the part's start and a known row's start are where a reader's
  // search for a record begins; walk from the nearer one.
  std::uint64_t from = part.begin;
  std::uint64_t from_row = part.first_row;
  if (known != nullptr && known->row <= row && known->row > part.first_row) {
    from = known->byte;
    from_row = known->row;
  }
  const auto bytes =
      csv.subspan(static_cast<std::size_t>(from), static_cast<std::size_t>(part.end - from));
  const ScanStop stop =
      skip_records(bytes, ScanState::BetweenRecords, row - from_row, LineFeeds::Skip);
  if (!stop.found) throw std::logic_error("a row past the end of its part");
  return from + stop.offset;
}

}  // namespace vrex::ext
