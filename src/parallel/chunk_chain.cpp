#include "parallel/chunk_chain.h"

#include "csv/csv_reader.h"
#include "parallel/parts.h"

namespace vrex::ext {

ChunkChain::ChunkChain(std::span<const std::uint8_t> csv, std::uint64_t chunk_size,
                       std::size_t block_size)
    : csv_(csv),
      chunk_size_(chunk_size),
      block_size_(block_size),
      origin_(CsvReader::header_begin(csv)) {}

bool ChunkChain::known(std::uint64_t index) const {
  return index + 1 < begins_.size() || last_rows_.has_value();
}

std::optional<ChunkChain::Chunk> ChunkChain::chunk(std::uint64_t index) {
  std::unique_lock lock(mutex_);
  while (!known(index)) {
    if (fault_) std::rethrow_exception(fault_);
    if (stopped_) return std::nullopt;
    if (counting_) {
      counted_.wait(lock);
      continue;
    }
    // The next count: the header record first, then a chunk's rows at a
    // time, from where the last count stopped.
    counting_ = true;
    const bool header = begins_.empty();
    const std::uint64_t from = header ? origin_ : begins_.back();
    lock.unlock();
    ScanStop stop;
    std::exception_ptr fault;
    try {
      stop = skip_records_by_blocks(csv_.subspan(static_cast<std::size_t>(from)),
                                    header ? 1 : chunk_size_, block_size_, stopped_);
    } catch (...) {
      fault = std::current_exception();
    }
    lock.lock();
    counting_ = false;
    if (fault) {
      fault_ = fault;
    } else if (stop.found) {
      begins_.push_back(from + stop.offset);
    } else if (!stopped_) {
      // The input ends in this count: with no data row after the header, or
      // in the last chunk.
      if (header) begins_.push_back(csv_.size());
      last_rows_ = header ? 0 : stop.record_starts;
    }
    counted_.notify_all();
  }
  if (stopped_) return std::nullopt;
  if (index + 1 < begins_.size()) return Chunk{begins_[index], chunk_size_};
  if (index + 1 == begins_.size() && *last_rows_ > 0) return Chunk{begins_[index], *last_rows_};
  return std::nullopt;
}

void ChunkChain::stop() {
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
  }
  counted_.notify_all();
}

}  // namespace vrex::ext
