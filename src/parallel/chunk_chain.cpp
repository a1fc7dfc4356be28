#include "parallel/chunk_chain.h"

#include <algorithm>

#include "csv/csv_reader.h"
#include "parallel/parts.h"

namespace vrex::ext {

ChunkChain::ChunkChain(std::span<const std::uint8_t> csv, std::uint64_t chunk_size,
                       std::size_t block_size)
    : csv_(csv),
      chunk_size_(chunk_size),
      block_size_(std::max<std::size_t>(block_size, 1)),
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
      if (!summarize_ahead(lock)) counted_.wait(lock);
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
      Ahead ahead(*this);
      stop = skip_records_by_blocks(csv_.subspan(static_cast<std::size_t>(from)),
                                    header ? 1 : chunk_size_, block_size_, stopped_, from - origin_,
                                    &ahead);
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

std::optional<std::uint64_t> ChunkChain::skip(std::uint64_t from, std::uint64_t records) const {
  const ScanStop stop = skip_records_by_blocks(csv_.subspan(static_cast<std::size_t>(from)),
                                               records, block_size_, stopped_);
  if (!stop.found || stopped_) return std::nullopt;
  return from + stop.offset;
}

std::optional<ParitySummary> ChunkChain::Ahead::reached(std::uint64_t block) {
  std::lock_guard lock(chain_.mutex_);
  chain_.count_block_ = block;
  if (chain_.ahead_.empty()) return std::nullopt;
  const AheadSlot& slot = chain_.ahead_[block % chain_.ahead_.size()];
  if (slot.block != block || !slot.ready) return std::nullopt;
  return slot.summary;
}

bool ChunkChain::summarize_ahead(std::unique_lock<std::mutex>& lock) {
  if (ahead_.empty()) {
    // Room for the blocks ahead, up to the input's end.
    const std::uint64_t blocks = (csv_.size() - origin_) / block_size_ + 1;
    ahead_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(blocks, kBlocksAhead)));
  }
  // Blocks up to the one the count reads are of no more use.
  const std::uint64_t block = std::max(next_ahead_, count_block_ + 1);
  const std::uint64_t begin = origin_ + block * block_size_;
  if (block >= count_block_ + ahead_.size() || begin >= csv_.size()) return false;
  AheadSlot& slot = ahead_[block % ahead_.size()];
  // A thread still summarizing a block the count has passed holds the slot.
  if (slot.writing) return false;
  slot = AheadSlot{block, false, true, {}};
  next_ahead_ = block + 1;
  lock.unlock();
  const ParitySummary summary(csv_.subspan(
      static_cast<std::size_t>(begin),
      static_cast<std::size_t>(std::min<std::uint64_t>(block_size_, csv_.size() - begin))));
  lock.lock();
  slot.writing = false;
  if (slot.block == block) {
    slot.summary = summary;
    slot.ready = true;
  }
  return true;
}

void ChunkChain::stop() {
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
  }
  counted_.notify_all();
}

}  // namespace vrex::ext
