// Where each chunk of an input begins, found one chunk after another.
//
// Chunk k holds data rows k * chunk_size up to the next multiple (the last
// chunk fewer), so where chunk k + 1 begins is known once chunk k's records
// are counted. The thread about to convert a chunk counts it first, unless
// another thread already has: the bytes it counts are then still in its
// caches when it converts them, and no thread reads the whole input ahead
// of the conversion. The count reads a block at a time by the blocks'
// summaries (see parts.h), with the reader's own rules for malformed
// quoting, and steps byte by byte only through the block where the chunk
// ends.
//
// Counts are made one at a time: a chunk's count (about a twentieth of its
// conversion) is the only step threads take in turn. A thread that waits
// for a count meanwhile reads blocks ahead of it into their summaries, which
// the counts then take instead of reading those blocks: with many threads,
// the count itself is left with little more than adding summaries up.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "parallel/parity_summary.h"
#include "parallel/parts.h"

namespace vrex::ext {

class ChunkChain {
 public:
  // Counts from the input's start (past a byte-order mark), where the header
  // record begins, in blocks of `block_size` bytes.
  ChunkChain(std::span<const std::uint8_t> csv, std::uint64_t chunk_size, std::size_t block_size);

  ChunkChain(const ChunkChain&) = delete;
  ChunkChain& operator=(const ChunkChain&) = delete;

  struct Chunk {
    std::uint64_t begin = 0;  // where the reader's search for its first row begins
    std::uint64_t rows = 0;   // chunk_size, or fewer for the last chunk
  };

  // Chunk `index`, its rows counted (and those of the chunks before it, when
  // no thread has counted them yet); nullopt when the input has no row for
  // it, or once stopped. Waits while another thread counts.
  std::optional<Chunk> chunk(std::uint64_t index);

  // Where the reader's search for a record begins once `records` records
  // from `from` (a record boundary) are read: a count of their own, the
  // chain left as it is. None if they are not all there, or once stopped.
  std::optional<std::uint64_t> skip(std::uint64_t from, std::uint64_t records) const;

  // Counting stops after the block it reads, and every call returns nullopt.
  void stop();

  // How many blocks ahead of the count waiting threads summarize, at most.
  static constexpr std::size_t kBlocksAhead = 512;

 private:
  // Whether chunk `index` is known: counted, or past the input's end.
  bool known(std::uint64_t index) const;

  // A block's summary made ahead of the count, in the slot of its number
  // modulo kBlocksAhead.
  struct AheadSlot {
    std::uint64_t block = ~std::uint64_t{0};
    bool ready = false;    // the summary is made
    bool writing = false;  // a thread is making one
    ParitySummary summary;
  };

  // The count's source of summaries made ahead.
  class Ahead final : public SummariesAhead {
   public:
    explicit Ahead(ChunkChain& chain) : chain_(chain) {}

    std::optional<ParitySummary> reached(std::uint64_t block) override;

   private:
    ChunkChain& chain_;
  };

  // While a count runs, summarizes the next block ahead of it that no thread
  // has; false when there is none to take. Called and returns with `lock`
  // held; summarizes with it released.
  bool summarize_ahead(std::unique_lock<std::mutex>& lock);

  std::span<const std::uint8_t> csv_;
  std::uint64_t chunk_size_;
  std::size_t block_size_;
  std::uint64_t origin_;  // where the header record begins

  std::mutex mutex_;
  std::condition_variable counted_;
  // begins_[k]: where chunk k begins, for every chunk counted so far and the
  // one after the last of them.
  std::vector<std::uint64_t> begins_;
  std::optional<std::uint64_t> last_rows_;  // once the input's end is reached: the last chunk's
  bool counting_ = false;                   // a thread counts, with the lock released
  std::vector<AheadSlot> ahead_;            // summaries made ahead of the count
  std::uint64_t count_block_ = 0;           // the block the count reads
  std::uint64_t next_ahead_ = 0;            // the next block to summarize ahead
  std::atomic<bool> stopped_{false};
  std::exception_ptr fault_;
};

}  // namespace vrex::ext
