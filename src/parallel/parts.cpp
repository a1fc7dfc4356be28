#include "parallel/parts.h"

#include <algorithm>
#include <stdexcept>

#include "parallel/record_scan.h"

namespace vrex::ext {

PartPlan plan_parts(std::span<const std::uint8_t> csv, CsvPosition origin, std::uint64_t first_row,
                    std::size_t part_size, const RunTasks& run_tasks) {
  const std::size_t start = static_cast<std::size_t>(origin.byte);
  const std::size_t length = csv.size() - start;
  part_size = std::max<std::size_t>(part_size, 1);
  const std::size_t block_count = (length + part_size - 1) / part_size;
  auto block = [&](std::size_t index) {
    const std::size_t begin = start + index * part_size;
    return csv.subspan(begin, std::min(part_size, csv.size() - begin));
  };

  std::vector<BlockSummary> summaries(block_count);
  run_tasks(block_count,
            [&](std::size_t index) { summaries[index] = summarize_block(block(index)); });

  // The one serial pass: each block's true start state and counts. A part
  // begins where a reader's search for a record begins: at the start, and
  // just past the first terminator that ends a record in each block.
  std::vector<Part> parts;
  parts.push_back(Part{start, csv.size(), origin.record, origin.line, first_row});
  ScanState state = ScanState::BetweenRecords;
  std::uint64_t rows = first_row;
  std::uint64_t line = origin.line;
  for (std::size_t index = 0; index < block_count; ++index) {
    const BlockSummary& summary = summaries[index];
    const auto from = static_cast<std::size_t>(state);
    const ScanStop stop = skip_records(block(index), state, 1);
    if (stop.found) {
      const std::uint64_t begin = start + index * part_size + stop.offset;
      const std::uint64_t part_rows = rows + stop.record_starts;
      parts.back().end = begin;
      parts.push_back(Part{begin, csv.size(), part_rows + 1, line + stop.line_feeds, part_rows});
    }
    rows += summary.record_starts[from];
    line += summary.line_feeds;
    state = summary.end_state[from];
  }
  return {std::move(parts), rows};
}

RowStart find_row(std::span<const std::uint8_t> csv, std::span<const Part> parts, std::uint64_t row,
                  const KnownRow* known) {
  // The last part whose first row is at most `row`.
  auto after = std::upper_bound(
      parts.begin(), parts.end(), row,
      [](std::uint64_t wanted, const Part& part) { return wanted < part.first_row; });
  if (after == parts.begin()) throw std::logic_error("row before the first part");
  const Part& part = *(after - 1);
  // Both the part's start and a known row's start are where a reader's
  // search for a record begins; walk from the nearer one.
  RowStart from{part.begin, part.first_line};
  std::uint64_t from_row = part.first_row;
  if (known != nullptr && known->row <= row && known->row > part.first_row) {
    from = known->start;
    from_row = known->row;
  }
  const auto bytes = csv.subspan(static_cast<std::size_t>(from.byte),
                                 static_cast<std::size_t>(part.end - from.byte));
  const ScanStop stop = skip_records(bytes, ScanState::BetweenRecords, row - from_row);
  if (!stop.found) throw std::logic_error("a row past the end of its part");
  return {from.byte + stop.offset, from.line + stop.line_feeds};
}

}  // namespace vrex::ext
