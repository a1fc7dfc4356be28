#include "parallel/parts.h"

#include <algorithm>
#include <optional>

#include "parallel/parity_summary.h"
#include "parallel/record_scan.h"

namespace vrex::ext {

namespace {

// The state after a block and the records begun in it, from `state`: by
// quote parity where that reads the block as the reader does from there,
// else quote by quote (only in malformed input).
ReferenceWalk step_over(std::span<const std::uint8_t> bytes, const ParitySummary& summary,
                        ScanState state) {
  if (auto walk = summary.from_state(state)) return *walk;
  const ScanStop stop = skip_records(bytes, state, ~std::uint64_t{0}, LineFeeds::Skip);
  return {stop.state, stop.record_starts};
}

}  // namespace

ScanStop skip_records_by_blocks(std::span<const std::uint8_t> bytes, std::uint64_t records,
                                std::size_t block_size, const std::atomic<bool>& stopped,
                                std::uint64_t from_origin, SummariesAhead* ahead) {
  if (records == 0) return {0, ScanState::BetweenRecords, 0, 0, true};
  block_size = std::max<std::size_t>(block_size, 1);
  ScanState state = ScanState::BetweenRecords;
  std::uint64_t started = 0;  // records begun before the block
  // The first block ends where a block of the origin's ends.
  std::size_t length = block_size - static_cast<std::size_t>(from_origin % block_size);
  for (std::size_t offset = 0; offset < bytes.size(); offset += length, length = block_size) {
    if (stopped.load(std::memory_order_relaxed)) return {offset, state, 0, started, false};
    const auto block = bytes.subspan(offset, std::min(length, bytes.size() - offset));
    std::optional<ParitySummary> summary;
    if (ahead != nullptr && length == block_size) {
      summary = ahead->reached((from_origin + offset) / block_size);
    }
    if (!summary) summary.emplace(block);
    const ReferenceWalk walk = step_over(block, *summary, state);
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

}  // namespace vrex::ext
