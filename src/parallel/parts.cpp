#include "parallel/parts.h"

#include <algorithm>
#include <stdexcept>

#include "parallel/record_scan.h"

namespace vrex::ext {

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

  std::vector<BlockSummary> summaries(block_count);
  run_tasks(block_count, [&](std::size_t index) {
    summaries[index] = summarize_block(block(index), LineFeeds::Skip);
  });

  // The one serial pass: each block's true start state and counts. A part
  // begins where a reader's search for a record begins: at the start, and
  // just past the first terminator that ends a record in each block.
  std::vector<RowPart> parts;
  parts.push_back(RowPart{start, csv.size(), first_row});
  ScanState state = ScanState::BetweenRecords;
  std::uint64_t rows = first_row;
  for (std::size_t index = 0; index < block_count; ++index) {
    const BlockSummary& summary = summaries[index];
    const auto from = static_cast<std::size_t>(state);
    const ScanStop stop = skip_records(block(index), state, 1, LineFeeds::Skip);
    if (stop.found) {
      const std::uint64_t begin = start + index * part_size + stop.offset;
      parts.back().end = begin;
      parts.push_back(RowPart{begin, csv.size(), rows + stop.record_starts});
    }
    rows += summary.record_starts[from];
    state = summary.end_state[from];
  }
  return {std::move(parts), rows};
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
