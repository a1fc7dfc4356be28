// Where each chunk of an input begins, found one chunk after another.
//
// Chunk k holds data rows k * chunk_size up to the next multiple (the last
// chunk fewer), so where chunk k + 1 begins is known once chunk k's records
// are counted, or once chunk k is converted. A thread about to convert a
// chunk needs only where it begins: when that is not known yet, it counts
// the chunk before, from where that chunk's own thread has read to (see
// ChunkProgress), so that no byte is counted that a conversion has
// reported reading and no thread reads the whole input ahead of the
// conversion. With two
// threads a count reads about half a chunk, where counting each chunk
// before converting it read all of it. The count reads a block at a time
// by the blocks' summaries (see parts.h), with the reader's own rules for
// malformed quoting, and steps byte by byte only through the block where
// the chunk ends.
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
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "parallel/parity_summary.h"
#include "parallel/parts.h"

namespace vrex::ext {

// A chunk's conversion under way, as a count of its rows sees it.
class ChunkProgress {
 public:
  struct Reached {
    std::uint64_t rows = 0;  // the chunk's rows read so far
    std::uint64_t byte = 0;  // where the reader's search for the next begins
  };

  // How far the chunk's thread has read: a record boundary.
  virtual Reached reached() = 0;

  // The chunk's rows, once a count has found them all.
  virtual void rows_counted(std::uint64_t rows) = 0;

 protected:
  ~ChunkProgress() = default;
};

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

  // Where chunk `index` begins, with its rows when they are counted
  // already: counts the chunks before it that no thread has (and no more);
  // nullopt when the input is known to have no row for it, or once stopped.
  // A chunk whose rows are not counted may begin where the input ends (the
  // chunk before was converted, not counted): its conversion finds no row.
  // Waits while another thread counts.
  struct Start {
    std::uint64_t begin = 0;
    std::optional<std::uint64_t> rows;  // chunk_size or fewer, once counted
  };

  std::optional<Start> start(std::uint64_t index);

  // Chunk `index`, whose rows were not counted when it began, is converted
  // from there by the thread that reports its progress: a count of its rows
  // begins where that thread has read to, and tells `progress` the rows it
  // finds (at once, when a count found them since the chunk began). Holds
  // `progress` until the chunk's rows are known.
  void converting(std::uint64_t index, std::shared_ptr<ChunkProgress> progress);

  // Chunk `index` is converted: `rows` rows, the next chunk's search
  // beginning at `end` (when the rows are chunk_size). Known from now on,
  // unless a count found it first.
  void converted(std::uint64_t index, std::uint64_t rows, std::uint64_t end);

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

  // Whether where chunk `index` begins is known, or that it is past the
  // input's end.
  bool start_known(std::uint64_t index) const;

  // Chunk `index`'s rows, once counted (0 for a chunk that begins where the
  // input ends); nullopt while they are not, or past the input's end.
  std::optional<std::uint64_t> counted_rows(std::uint64_t index) const;

  // Counts the records of the chunk after the last one counted (the header
  // record first), or, while another thread counts, summarizes a block
  // ahead of it or waits. Called and returns with `lock` held; counts with
  // it released. False once stopped.
  bool count_next(std::unique_lock<std::mutex>& lock);

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
  // The conversion under way of the chunk whose end is not known yet, if
  // one reports its progress: by chunk index.
  std::map<std::uint64_t, std::shared_ptr<ChunkProgress>> progress_;
  std::uint64_t count_block_ = 0;  // the block the count reads
  std::uint64_t next_ahead_ = 0;   // the next block to summarize ahead
  std::atomic<bool> stopped_{false};
  std::exception_ptr fault_;
};

}  // namespace vrex::ext
