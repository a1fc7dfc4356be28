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

bool ChunkChain::start_known(std::uint64_t index) const {
  return index < begins_.size() || last_rows_.has_value();
}

std::optional<std::uint64_t> ChunkChain::counted_rows(std::uint64_t index) const {
  if (index + 1 < begins_.size()) return chunk_size_;
  if (index + 1 == begins_.size()) return last_rows_;
  return std::nullopt;
}

bool ChunkChain::count_next(std::unique_lock<std::mutex>& lock) {
  if (fault_) std::rethrow_exception(fault_);
  if (stopped_) return false;
  if (counting_) {
    if (!summarize_ahead(lock)) counted_.wait(lock);
    return true;
  }
  // The next count: the header record first, then a chunk's rows at a time,
  // from where the last count stopped, or from where the chunk's own thread
  // has read to.
  counting_ = true;
  const bool header = begins_.empty();
  const std::uint64_t counted = header ? 0 : begins_.size() - 1;
  std::shared_ptr<ChunkProgress> progress;
  if (!header) {
    if (const auto found = progress_.find(counted); found != progress_.end()) {
      progress = found->second;
    }
  }
  std::uint64_t from = header ? origin_ : begins_.back();
  lock.unlock();
  std::uint64_t rows_before = 0;
  ScanStop stop;
  std::exception_ptr fault;
  try {
    if (progress) {
      const ChunkProgress::Reached reached = progress->reached();
      if (reached.rows <= chunk_size_ && reached.byte >= from) {
        rows_before = reached.rows;
        from = reached.byte;
      }
    }
    Ahead ahead(*this);
    stop = skip_records_by_blocks(csv_.subspan(static_cast<std::size_t>(from)),
                                  header ? 1 : chunk_size_ - rows_before, block_size_, stopped_,
                                  from - origin_, &ahead);
  } catch (...) {
    fault = std::current_exception();
  }
  lock.lock();
  counting_ = false;
  if (fault) {
    fault_ = fault;
  } else if (!header && (begins_.size() != counted + 1 || last_rows_)) {
    // The chunk's own thread reported its end meanwhile.
  } else if (stop.found) {
    begins_.push_back(from + stop.offset);
    if (progress) progress->rows_counted(chunk_size_);
  } else if (!stopped_) {
    // The input ends in this count: with no data row after the header, or
    // in the last chunk.
    if (header) begins_.push_back(csv_.size());
    last_rows_ = header ? 0 : rows_before + stop.record_starts;
    if (progress) progress->rows_counted(*last_rows_);
  }
  if (!header) progress_.erase(counted);
  counted_.notify_all();
  return true;
}

std::optional<ChunkChain::Chunk> ChunkChain::chunk(std::uint64_t index) {
  std::unique_lock lock(mutex_);
  while (!known(index)) {
    if (!count_next(lock)) return std::nullopt;
  }
  if (stopped_) return std::nullopt;
  const std::optional<std::uint64_t> rows = counted_rows(index);
  if (!rows || *rows == 0) return std::nullopt;
  return Chunk{begins_[index], *rows};
}

std::optional<ChunkChain::Start> ChunkChain::start(std::uint64_t index) {
  std::unique_lock lock(mutex_);
  while (!start_known(index)) {
    if (!count_next(lock)) return std::nullopt;
  }
  if (stopped_ || index >= begins_.size()) return std::nullopt;
  const std::optional<std::uint64_t> rows = counted_rows(index);
  if (rows == 0) return std::nullopt;
  return Start{begins_[index], rows};
}

void ChunkChain::converting(std::uint64_t index, std::shared_ptr<ChunkProgress> progress) {
  std::lock_guard lock(mutex_);
  if (!start_known(index + 1)) {
    progress_[index] = std::move(progress);
    return;
  }
  // Counted since the chunk began: its rows are known at once.
  if (const std::optional<std::uint64_t> rows = counted_rows(index)) progress->rows_counted(*rows);
}

void ChunkChain::converted(std::uint64_t index, std::uint64_t rows, std::uint64_t end) {
  {
    std::lock_guard lock(mutex_);
    progress_.erase(index);
    if (begins_.size() != index + 1 || last_rows_) return;
    if (rows == chunk_size_) {
      begins_.push_back(end);
    } else {
      last_rows_ = rows;
    }
  }
  counted_.notify_all();
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
