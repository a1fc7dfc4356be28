// A chunk converted in two parts when a thread has nothing left to take.
//
// Once every chunk is taken, a thread that finishes its own would wait for
// the others' to end. So it may take the rows past the middle of what the
// thread of a chunk still converting has yet to read: it counts its way to
// the first of them from a record boundary that thread has reached, and
// converts them tile by tile into a converter of its own. The chunk's thread
// stops reading there, appends the other part's values to its own and writes
// the chunk; only then may the other part's converter let its rows go (text
// slices borrow from them). Should the other part fail (a parse error, or no
// memory), the chunk's thread reads those rows itself, so errors come as the
// one-thread conversion meets them.
//
// While the chunk's thread writes the chunk, the other part's thread, which
// waits for it, may write a share of it (see hand_over()).
//
// A chunk whose rows were not counted when it began reports its progress to
// the count through its split (see ChunkProgress): no part is taken until
// the count has found the chunk's rows.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

#include "parallel/chunk_chain.h"
#include "pipeline/chunk_converter.h"

namespace vrex::ext {

class RowSplit final : public RowLimit, public ChunkProgress {
 public:
  // A chunk of `rows` rows (or at most that many, not counted yet), the
  // first of them data row `first_row`, whose reader reads from input
  // offset `begin`; its thread reads at most `ahead` rows past those it last
  // asked about, and a part is never less than `ahead` rows.
  RowSplit(std::uint64_t begin, std::uint64_t first_row, std::size_t rows, bool counted,
           std::size_t ahead);

  RowSplit(const RowSplit&) = delete;
  RowSplit& operator=(const RowSplit&) = delete;

  std::uint64_t first_row() const noexcept { return first_row_; }

  // The chunk's rows, counted: a part was taken, or the count found them.
  std::size_t rows();

  // The chunk's thread, before each step of rows.
  std::size_t rows_to_read(std::size_t rows_read, std::uint64_t cursor) override;

  Reached reached() override;
  void rows_counted(std::uint64_t rows) override;

  // The chunk's thread, done reading: no part is taken from now on. Returns
  // where the other part begins when one was taken, the rows this thread
  // read being exactly those before it.
  std::optional<std::size_t> stop_taking();

  // Rows a part taken now could hold; 0 once none may be taken.
  std::size_t rows_to_take();

  // Whether a part may still be taken, now or once the rows are counted.
  bool open_to_parts();

  // A part taken: its first row, and a record boundary to count from (the
  // input offset where row `from_row` begins).
  struct Part {
    std::size_t first = 0;
    std::size_t from_row = 0;
    std::uint64_t from_byte = 0;
  };

  // A thread with nothing left: the part it takes, or none when too few
  // rows are left or the chunk's thread has stopped taking.
  std::optional<Part> take_part();

  // The other part's thread: `converter` holds the part's values, converted
  // (or null if it failed), read up to input offset `input_end`. It must
  // keep them until closed.
  void part_done(const ChunkConverter* converter, std::uint64_t input_end);

  // The chunk's thread, once a part was taken: the converter that holds its
  // values and where its rows end, or a null converter when the part failed
  // and this thread reads its rows itself.
  struct Converted {
    const ChunkConverter* converter = nullptr;
    std::uint64_t input_end = 0;
  };

  Converted wait_for_part();

  // The chunk's thread, on every path once a part was taken: the chunk is
  // written or given up.
  void close();

  // The other part's thread, once done: waits until the chunk is closed,
  // doing what it is handed meanwhile.
  void wait_until_closed();

  // The chunk's thread, the other part converted: hands `help` to the other
  // part's thread, which runs it while it waits to be closed; false, with
  // nothing handed, when the part failed (its thread then does not wait).
  // At most once a chunk.
  bool hand_over(std::function<void()> help);

  // The chunk's thread, after hand_over(): waits until the help has run.
  void wait_for_help();

 private:
  // Where a part taken now would begin; none if too few rows are left.
  std::optional<std::size_t> part_start() const;

  std::uint64_t begin_;
  std::uint64_t first_row_;
  std::size_t ahead_;

  std::mutex mutex_;
  std::condition_variable changed_;  // the part done, or the chunk closed
  std::size_t rows_;                 // at most, until counted
  bool counted_;
  std::size_t owner_read_ = 0;        // rows read by the chunk's thread when it last asked
  std::uint64_t owner_cursor_;        // where its reader stood then
  std::optional<std::size_t> split_;  // where the other part begins, once taken
  bool taking_ = true;
  bool part_done_ = false;
  Converted part_;
  bool closed_ = false;
  std::function<void()> help_;  // handed to the other part's thread, until it takes it
  bool helped_ = false;
};

}  // namespace vrex::ext
