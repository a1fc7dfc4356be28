#include "parallel/parallel_convert.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "csv/utf8.h"
#include "parallel/chunk_chain.h"
#include "parallel/result_pages.h"
#include "parallel/row_split.h"
#include "parallel/shared_inference.h"
#include "parallel/warm_memory.h"
#include "pipeline/pipeline.h"

namespace vrex::ext {

namespace {

using Failure = Unexpected<ConvertFailure>;

Failure conversion_failure(std::string message) {
  return Failure{ConvertFailure{ConvertFailure::Kind::Conversion, std::move(message), 0}};
}

// Hands a converter (when there is one) and a section buffer to the next
// call; memory kept is a bonus, so a failure to keep it is no failure.
void keep_for_later(std::optional<ChunkConverter> converter, std::span<const ValueType> types,
                    std::uint64_t chunk_size, ByteBuffer section) noexcept {
  try {
    WarmMemory& kept = WarmMemory::process_wide();
    if (converter) kept.keep_converter(std::move(*converter), types, chunk_size);
    if (section.capacity() > 0) {
      std::vector<ByteBuffer> sections;
      sections.push_back(std::move(section));
      kept.keep_sections(std::move(sections));
    }
  } catch (...) {  // NOLINT(bugprone-empty-catch)
  }
}

// One chunk's slice, converted by whoever took the chunk.
struct ChunkResult {
  ByteBuffer section;
  std::optional<std::string> failure;  // the message, as convert_csv() words it
  std::exception_ptr fault;            // an internal fault, rethrown on the calling thread
  std::uint64_t input_end = 0;         // offset of the input just past the chunk's rows
  unsigned worker = 0;                 // who converted it
  bool written = false;                // written straight into the output, in order
  bool none = false;                   // the input has no row for this chunk
};

// The room past the end of a buffer, as storage that cannot grow: a section
// a worker writes there either fits or is written again elsewhere.
class FixedRoom final : public ByteStorage {
 public:
  struct Exhausted : std::bad_alloc {};

  FixedRoom(std::uint8_t* start, std::size_t size) noexcept : start_(start), size_(size) {}

  std::size_t size() const noexcept { return size_; }

  std::uint8_t* grow(std::size_t /*kept*/, std::size_t capacity) override {
    if (capacity > size_) throw Exhausted{};
    return start_;
  }

 private:
  std::uint8_t* start_;
  std::size_t size_;
};

// Writes columns [first, last) of a finished chunk's section, laid out as
// `layout` says, into the section beginning at `section`. They take exactly
// their counted bytes, or the count is wrong: a fault.
void write_columns_at(std::uint8_t* section, const SectionLayout& layout,
                      const ChunkConverter& converter, std::size_t first, std::size_t last,
                      ResultFaults faults) {
  const std::uint64_t begin = layout.written_from(first);
  const std::uint64_t size = layout.column_begin(last) - begin;
  if (faults == ResultFaults::AsWritten) fault_in(section + begin, static_cast<std::size_t>(size));
  try {
    FixedRoom room(section + begin, static_cast<std::size_t>(size));
    ByteBuffer place(room);
    place.reserve(room.size());
    if (write_finished_columns(place, converter, first, last) && place.size() == size) return;
  } catch (const FixedRoom::Exhausted&) {  // NOLINT(bugprone-empty-catch): thrown below
  }
  throw std::logic_error("a section's columns took other than their counted bytes");
}

// Writes a finished chunk's section, laid out as `layout` says, at
// `section`; with the thread waiting on `waiting`, when there is one, each
// writing about half the bytes.
void write_section_at(std::uint8_t* section, const SectionLayout& layout,
                      const ChunkConverter& converter, RowSplit* waiting, ResultFaults faults) {
  const std::size_t columns = layout.column_ends.size();
  std::size_t middle = 1;
  while (middle + 1 < columns && layout.column_begin(middle) < layout.size() / 2) ++middle;
  std::exception_ptr helper_fault;  // read once the help has run
  const bool handed = waiting != nullptr && columns >= 2 && waiting->hand_over([&]() noexcept {
    try {
      write_columns_at(section, layout, converter, middle, columns, faults);
    } catch (...) {
      helper_fault = std::current_exception();
    }
  });
  if (!handed) {
    write_columns_at(section, layout, converter, 0, columns, faults);
    return;
  }
  std::exception_ptr own_fault;
  try {
    write_columns_at(section, layout, converter, 0, middle, faults);
  } catch (...) {
    own_fault = std::current_exception();
  }
  waiting->wait_for_help();  // the help reads what this frame holds
  if (own_fault) std::rethrow_exception(own_fault);
  if (helper_fault) std::rethrow_exception(helper_fault);
}

// Converts the chunks from the handover on: chunk `index` holds data rows
// from first_row + index * chunk_size on (first_row is a multiple of the
// chunk size). Chunk 0 is the one the calling thread converts as the
// helpers take over.
class ChunkJobs {
 public:
  ChunkJobs(std::span<const std::uint8_t> csv, ChunkChain& chain, std::span<const ValueType> types,
            std::uint64_t chunk_size, std::size_t tile_rows, std::uint64_t first_row)
      : csv_(csv),
        chain_(chain),
        types_(types),
        chunk_size_(chunk_size),
        tile_rows_(tile_rows),
        first_row_(first_row) {}

  // The first data row of chunk 0.
  std::uint64_t first_row() const noexcept { return first_row_; }

  // A thread's converter, reused from chunk to chunk.
  struct Worker {
    ChunkConverter converter;
  };

  // A converter an earlier call kept, when it read the same columns. One of
  // a tile size chosen by the caller is neither taken nor kept.
  Worker make_worker() const {
    if (tile_rows_ == 0) {
      if (auto kept = WarmMemory::process_wide().take_converter(csv_, types_, chunk_size_)) {
        return Worker{std::move(*kept)};
      }
    }
    return Worker{ChunkConverter(RowQueue(csv_, types_.size()), types_, chunk_size_, tile_rows_)};
  }

  // Hands a worker's converter on to the next call.
  void keep_worker(Worker worker) const noexcept {
    if (tile_rows_ == 0) {
      keep_for_later(std::move(worker.converter), types_, chunk_size_, ByteBuffer());
    }
  }

  // Writes a finished chunk straight into the output when that may be done
  // now; true if it was. Given the input offset past the chunk's rows, and
  // the split whose other part's thread waits for the chunk to be written
  // (which may write a share of it), if any.
  using WriteInPlace =
      std::function<bool(const ChunkConverter&, std::uint64_t input_end, RowSplit* waiting)>;

  // Told, once a chunk begins, whether a thread with nothing left may take
  // a part of it (given the chunk's converter, where its reader begins, its
  // first row and its rows, or at most that many when not `counted` yet) or
  // not (no converter); returns the split offered, or null for a chunk
  // converted whole.
  using OfferSplit = std::function<std::shared_ptr<RowSplit>(
      const ChunkConverter* owner, std::uint64_t begin, std::uint64_t first_row, std::uint64_t rows,
      bool counted)>;

  // Converts into `section`, a buffer of an earlier chunk whose pages are
  // already in place, when there is one, unless `in_place` writes the chunk.
  // A thread gets its converter with its first chunk. Where the chunk begins
  // is counted first, unless another thread has or the chunk before is
  // converted: see chunk_chain.h.
  ChunkResult convert(std::uint64_t index, std::optional<Worker>& worker, ByteBuffer section,
                      const WriteInPlace& in_place, const OfferSplit& offer) const noexcept {
    ChunkResult result;
    section.truncate(0);
    result.section = std::move(section);
    try {
      const std::uint64_t first = first_row_ + index * chunk_size_;
      const std::uint64_t chain_index = first / chunk_size_;
      const std::optional<ChunkChain::Start> chunk = chain_.start(chain_index);
      if (!chunk) {
        result.none = true;
        return result;
      }
      if (!worker) worker.emplace(make_worker());
      const std::uint64_t start = chunk->begin;
      // Lines are counted from the chunk's first byte; the line feeds before
      // it are counted only when an error needs them.
      const CsvPosition origin{start, 1, first + 1};
      ChunkConverter& converter = worker->converter;
      CsvReader reader =
          CsvReader::for_part(csv_.subspan(static_cast<std::size_t>(origin.byte)), origin);
      const std::shared_ptr<RowSplit> shared_split =
          offer(converter.holds_whole_chunks() ? &converter : nullptr, start, first,
                chunk->rows.value_or(chunk_size_), chunk->rows.has_value());
      RowSplit* const split = shared_split.get();
      // Its rows not counted, the chunk's next one is found from how far
      // this thread has read, or once it is done.
      if (!chunk->rows && shared_split) chain_.converting(chain_index, shared_split);
      auto rows = converter.fill_chunk(reader, split);
      // The other part, when one was taken, keeps its rows until this chunk
      // is written or given up.
      const std::optional<std::size_t> split_row =
          split != nullptr ? split->stop_taking() : std::nullopt;

      struct Closer {
        RowSplit* split;

        ~Closer() {
          if (split != nullptr) split->close();
        }
      } closer{split_row ? split : nullptr};

      std::size_t own_rows = rows ? *rows : 0;
      bool joined = false;
      if (rows && split_row) {
        if (own_rows != *split_row) throw std::logic_error("a chunk read past its part");
        const RowSplit::Converted part = split->wait_for_part();
        if (part.converter != nullptr) {
          converter.convert_rest(own_rows);
          converter.append_rows_of(*part.converter);
          converter.finish_columns();
          rows = split->rows();
          result.input_end = part.input_end;
          joined = true;
        } else {
          // The other part failed: its rows are read here, as they would be
          // had no part been taken.
          rows = converter.fill_chunk(reader);
          if (rows) own_rows = *rows;
        }
      }
      if (!rows) {
        CsvError error = rows.error();
        error.position.line += count_line_feeds(csv_.data(), static_cast<std::size_t>(start));
        result.failure = parse_failure(error);
        return result;
      }
      if (chunk->rows && *rows != *chunk->rows) {
        throw std::logic_error("a chunk's rows differ from their count");
      }
      if (!joined) result.input_end = origin.byte + reader.cursor();
      if (!chunk->rows) {
        chain_.converted(chain_index, *rows, result.input_end);
        // The input ended where the chunk began.
        if (*rows == 0) {
          result.none = true;
          return result;
        }
      }
      if (converter.holds_whole_chunks()) {
        if (!joined) converter.finish_chunk(*rows);
        result.written = in_place(converter, result.input_end, joined ? split : nullptr);
        if (!result.written) {
          if (auto written = write_finished_section(result.section, converter); !written) {
            result.failure = written.error();
          }
        }
        if (!result.failure) converter.release_chunk(own_rows);
      } else if (auto written = write_chunk_section(result.section, converter, *rows); !written) {
        result.failure = written.error();
      }
    } catch (...) {
      result.fault = std::current_exception();
    }
    return result;
  }

  // A thread with nothing left takes a part of a chunk another thread
  // converts, and converts it: see row_split.h. False if it could take
  // none. Its converter is dropped if it fails.
  bool convert_part(RowSplit& split, std::optional<Worker>& worker) const noexcept {
    const std::optional<RowSplit::Part> part = split.take_part();
    if (!part) return false;
    const ChunkConverter* done = nullptr;
    std::uint64_t input_end = 0;
    const std::size_t part_rows = split.rows() - part->first;
    try {
      if (!worker) worker.emplace(make_worker());
      ChunkConverter& converter = worker->converter;
      if (const auto begin = chain_.skip(part->from_byte, part->first - part->from_row)) {
        const CsvPosition origin{*begin, 1, split.first_row() + part->first + 1};
        CsvReader reader =
            CsvReader::for_part(csv_.subspan(static_cast<std::size_t>(*begin)), origin);
        FixedRows limit(part_rows);
        const auto rows = converter.fill_chunk(reader, &limit);
        if (rows && *rows == part_rows) {
          converter.convert_rest(part_rows);
          input_end = *begin + reader.cursor();
          done = &converter;
        }
      }
    } catch (...) {  // NOLINT(bugprone-empty-catch): the chunk's thread reads the part
    }
    split.part_done(done, input_end);
    if (done == nullptr) {
      worker.reset();
      return true;
    }
    split.wait_until_closed();
    worker->converter.release_chunk(part_rows);
    return true;
  }

 private:
  std::span<const std::uint8_t> csv_;
  ChunkChain& chain_;
  std::span<const ValueType> types_;
  std::uint64_t chunk_size_;
  std::size_t tile_rows_;
  std::uint64_t first_row_;
};

// Calls the progress check at most this often.
constexpr auto kProgressInterval = std::chrono::milliseconds(100);

class ProgressTicker {
 public:
  ProgressTicker(const ProgressCheck& check, std::uint64_t total) : check_(check), total_(total) {}

  // False when the check asks to stop.
  bool tick(std::uint64_t done, bool force = false) {
    if (!check_) return true;
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - last_ < kProgressInterval) return true;
    last_ = now;
    return check_(done, total_);
  }

 private:
  const ProgressCheck& check_;
  std::uint64_t total_;
  std::chrono::steady_clock::time_point last_{};
};

Failure stopped() { return Failure{ConvertFailure{ConvertFailure::Kind::Stopped, "stopped", 0}}; }

// Hands the sections of finished chunks to the sink in order: chunk jobs are
// taken by the workers, the calling thread among them, no further ahead of
// the next chunk to write than the window allows. Chunk 0 is the calling
// thread's own, converted and written before it joins: the others take
// their places once it has taken its own (in the sink's buffer, while it is
// written) or has been written.
//
// Whoever finishes a chunk takes the turn to deliver when no one holds it,
// and gives every finished section that is next in order its place in the
// output; it copies them there after giving the turn up, so that threads copy
// at the same time and only the placing is done one at a time. A section is
// then mostly written by the thread that filled it, while it is still in that
// core's cache: written from another core, the pages it was filled in move
// between caches twice per chunk. A chunk that is next in order when it is
// finished, and fits the room of the sink's buffer, skips the section: its
// size counted, it takes its place there and its thread writes it in, while
// the chunks after it take theirs. A write the sink allows on the calling
// thread only (a buffer that must grow) waits for the calling thread, which
// between its chunks, and once none is left to take, reports progress and
// writes what waits for it.
class OrderedWriter {
 public:
  // `written_input` is the input offset converted before the chunks: where
  // progress stands until the first of them is written.
  OrderedWriter(const ChunkJobs& jobs, unsigned workers, OutputSink& sink, ProgressTicker& ticker,
                std::uint64_t written_input, ResultFaults result_faults)
      : jobs_(jobs),
        count_(kCountUnknown),
        workers_(workers),
        window_(std::max<std::size_t>(std::size_t{2} * workers, 1)),
        slots_(window_),
        sink_(sink),
        ticker_(ticker),
        result_faults_(result_faults),
        written_input_(written_input),
        spares_(workers) {}

  OrderedWriter(const OrderedWriter&) = delete;
  OrderedWriter& operator=(const OrderedWriter&) = delete;

  // The sections, warm now, go to the next call.
  ~OrderedWriter() {
    try {
      std::vector<ByteBuffer> sections;
      for (auto& spare : spares_) {
        for (auto& section : spare) sections.push_back(std::move(section));
      }
      WarmMemory::process_wide().keep_sections(std::move(sections));
    } catch (...) {  // NOLINT(bugprone-empty-catch): kept memory is a bonus
    }
  }

  // A helper converts chunks until none is left to take.
  void follow(unsigned worker) { work(worker, /*calling_thread=*/false, std::nullopt); }

  // The calling thread, its chunk written with the input read up to
  // `input_end`: once the chunks after it may be written, does `first`, then
  // converts chunks with the helpers, with `converter` when it has one, then
  // reports progress until every section is written.
  Status<ConvertFailure> join_on_calling_thread(std::uint64_t input_end,
                                                std::optional<ChunkJobs::Worker> converter,
                                                const std::function<void()>& first) {
    {
      std::unique_lock lock(mutex_);
      next_write_ = std::max<std::uint64_t>(next_write_, 1);
      calling_thread_writes_ = false;
      written_input_ = input_end;
      if (!delivering_) deliver_in_turn(lock, /*calling_thread=*/true);
    }
    first();
    if (!work(workers_ - 1, /*calling_thread=*/true, std::move(converter))) return stopped();
    return wait_for_the_end();
  }

  // The calling thread writes chunk 0 now, converted: a chunk after it
  // finished meanwhile waits for that write and is written in place after
  // it, which takes less than writing it into a section and copying that.
  void calling_thread_writes() {
    std::lock_guard lock(mutex_);
    calling_thread_writes_ = true;
  }

  // The calling thread's chunk 0, converted and its size counted, takes its
  // place in the sink's buffer now, so that the helpers' chunks take theirs
  // after it while it is written: where it begins, or nullopt when it does
  // not fit the buffer's room.
  std::optional<std::uint64_t> place_chunk_zero(std::size_t size) {
    std::lock_guard lock(mutex_);
    if (next_write_ != 0) return std::nullopt;
    const std::optional<std::uint64_t> placed = sink_.place(size);
    if (!placed) return std::nullopt;
    next_write_ = 1;
    room_.notify_all();
    turn_free_.notify_all();
    return placed;
  }

  // Whoever still converts stops after the chunk it is on.
  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    room_.notify_all();
    turn_free_.notify_all();
  }

 private:
  struct Slot {
    bool ready = false;
    ChunkResult result;
  };

  // Converts chunks until none is left to take. The calling thread also
  // does, between chunks, what only it may: report progress and write what
  // the sink needs it for; it returns false when the progress check asks to
  // stop, and leaves at once when a delivery failed.
  bool work(unsigned worker, bool calling_thread, std::optional<ChunkJobs::Worker> converter) {
    bool go_on = true;
    while (true) {
      std::uint64_t index;
      {
        std::unique_lock lock(mutex_);
        auto can_take = [&] {
          return stopping_ || next_job_ >= count_ || next_job_ < next_write_ + window_ ||
                 !to_copy_.empty();
        };
        if (calling_thread) {
          while (go_on && !ended() && !calling_thread_due() && !can_take()) {
            room_.wait_for(lock, kProgressInterval);
            go_on = tick_on_calling_thread(lock);
          }
          if (!go_on || ended()) break;
          if (write_what_waits_for_calling_thread(lock)) continue;
        } else {
          room_.wait(lock, can_take);
        }
        // A copy waiting to be made comes first: it frees its section.
        if (copy_one(lock)) continue;
        if (stopping_ || next_job_ >= count_) break;
        index = next_job_++;
      }
      ChunkResult result;
      bool decided = false;
      try {
        result = jobs_.convert(
            index, converter, take_spare(worker),
            [&](const ChunkConverter& finished, std::uint64_t input_end, RowSplit* waiting) {
              return write_in_place(index, finished, input_end, waiting);
            },
            [&](const ChunkConverter* owner, std::uint64_t begin, std::uint64_t first_row,
                std::uint64_t rows, bool counted) {
              decided = true;
              return offer_split(owner, begin, first_row, rows, counted);
            });
      } catch (...) {
        result.fault = std::current_exception();
      }
      if (!decided) offer_split(nullptr, 0, 0, 0, true);
      // A failed chunk may leave its converter half filled.
      if (result.failure || result.fault) converter.reset();
      result.worker = worker;
      {
        std::unique_lock lock(mutex_);
        if (result.none) {
          // The chunks end before this one: the first such index is their
          // count, since chunks are taken in order.
          if (result.section.capacity() > 0) spares_[worker].push_back(std::move(result.section));
          count_ = std::min(count_, index);
          room_.notify_all();
          done_.notify_one();
        } else if (result.written) {
          // Sections finished meanwhile may take their places now; the
          // section this thread took is spare again.
          if (result.section.capacity() > 0) spares_[worker].push_back(std::move(result.section));
          if (!delivering_) deliver_in_turn(lock, calling_thread);
        } else {
          Slot& slot = slots_[index % window_];
          slot.result = std::move(result);
          slot.ready = true;
          if (!delivering_) deliver_in_turn(lock, calling_thread);
        }
        if (calling_thread) go_on = tick_on_calling_thread(lock);
      }
      if (!go_on) break;
    }
    if (go_on) take_parts(converter);
    if (converter) jobs_.keep_worker(std::move(*converter));
    return go_on;
  }

  // Whether a thread with nothing left may take a part of the chunk a
  // thread took: see row_split.h. Every chunk taken is told once. Splits
  // no part may be taken of any more are forgotten here, so that only those
  // of chunks under way are kept.
  std::shared_ptr<RowSplit> offer_split(const ChunkConverter* owner, std::uint64_t begin,
                                        std::uint64_t first_row, std::uint64_t rows, bool counted) {
    std::lock_guard lock(mutex_);
    ++decided_;
    room_.notify_all();
    std::erase_if(offered_,
                  [](const std::shared_ptr<RowSplit>& split) { return !split->open_to_parts(); });
    if (owner == nullptr || workers_ < 2) return nullptr;
    auto split = std::make_shared<RowSplit>(begin, first_row, static_cast<std::size_t>(rows),
                                            counted, owner->rows_per_ask());
    offered_.push_back(split);
    return split;
  }

  // A thread with no chunk left to take, once every chunk taken is known to
  // be offered or not, takes parts of those under way, the largest first,
  // while there are any.
  void take_parts(std::optional<ChunkJobs::Worker>& converter) {
    {
      std::unique_lock lock(mutex_);
      room_.wait(lock, [&] { return stopping_ || ended() || decided_ + 1 >= next_job_; });
    }
    while (true) {
      std::shared_ptr<RowSplit> largest;
      {
        std::lock_guard lock(mutex_);
        if (stopping_ || ended()) return;
        std::size_t most = 0;
        for (const std::shared_ptr<RowSplit>& split : offered_) {
          const std::size_t rows = split->rows_to_take();
          if (rows > most) {
            most = rows;
            largest = split;
          }
        }
      }
      if (!largest) return;
      jobs_.convert_part(*largest, converter);
    }
  }

  // Whether a write waits for the calling thread, and no one holds the turn.
  bool calling_thread_due() const { return calling_thread_needed_ && !delivering_; }

  // On the calling thread: makes the writes that wait for it, if any do;
  // true if they did.
  bool write_what_waits_for_calling_thread(std::unique_lock<std::mutex>& lock) {
    if (!calling_thread_due()) return false;
    calling_thread_needed_ = false;
    deliver_in_turn(lock, /*calling_thread=*/true);
    return true;
  }

  // Reports progress, when it is time to, with the lock released.
  bool tick_on_calling_thread(std::unique_lock<std::mutex>& lock) {
    const std::uint64_t written = written_input_;
    lock.unlock();
    const bool go_on = ticker_.tick(written);
    lock.lock();
    return go_on;
  }

  // Writes chunk `index`, finished, straight into the sink's buffer when it
  // is the next to write, no one holds the turn to deliver, and it fits the
  // buffer's room: the copy through a section is saved. Its size counted
  // first, the chunk takes its place and is written there while the next
  // chunks take theirs; a thread waiting for the chunk (`waiting`'s other
  // part) writes a share of its columns. True if it was written so.
  bool write_in_place(std::uint64_t index, const ChunkConverter& converter, std::uint64_t input_end,
                      RowSplit* waiting) {
    ByteBuffer* output = sink_.buffer();
    if (output == nullptr) return false;
    // A chunk whose write fails goes through a section, which reports the
    // failure in turn.
    const std::optional<SectionLayout> layout = finished_section_layout(converter);
    if (!layout) return false;
    std::uint64_t place = 0;
    {
      std::unique_lock lock(mutex_);
      // When every chunk before this one is finished, the turn is held to
      // place them, or the calling thread writes chunk 0: waiting for that
      // costs less than copying through a section.
      turn_free_.wait(lock, [&] {
        if (stopping_ || ended()) return true;
        if (!only_writes_before(index)) return true;
        return !delivering_ && !(calling_thread_writes_ && next_write_ == 0);
      });
      if (stopping_ || ended() || delivering_ || next_write_ != index) return false;
      const std::optional<std::uint64_t> placed = sink_.place(layout->size());
      if (!placed) return false;
      place = *placed;
      ++next_write_;
      ++copies_in_flight_;
      room_.notify_all();
      turn_free_.notify_all();
    }
    std::exception_ptr fault;
    try {
      write_section_at(output->data() + place, *layout, converter, waiting, result_faults_);
    } catch (...) {
      fault = std::current_exception();
    }
    std::lock_guard lock(mutex_);
    if (fault) {
      fail(index, std::nullopt, fault);
    } else {
      written_input_ = std::max(written_input_, input_end);
    }
    if (--copies_in_flight_ == 0) {
      copied_.notify_all();
      done_.notify_one();
    }
    return true;
  }

  // Whether the chunks before `index` are all written or finished, but for
  // the next to write, which the thread holding the turn writes now.
  bool only_writes_before(std::uint64_t index) const {
    for (std::uint64_t elder = next_write_ + 1; elder < index; ++elder) {
      if (!slots_[elder % window_].ready) return false;
    }
    return true;
  }

  // A finished section whose bytes have their place in the output, given in
  // order, and wait to be copied there.
  struct Placed {
    ChunkResult result;
    std::uint64_t place;  // where in the output
    std::uint64_t index;  // the chunk's
  };

  // Where a finished section goes in the output, taken now: nullopt when the
  // chunk failed or the sink cannot place it (a buffer must grow first).
  // Called with the turn held.
  std::optional<std::uint64_t> place(const ChunkResult& result) {
    if (result.failure || result.fault) return std::nullopt;
    return sink_.place(result.section.size());
  }

  // The conversion ends with the failure of chunk `index`, unless a chunk
  // before it failed too: the first in order is reported, as one thread
  // writing chunk after chunk would.
  void fail(std::uint64_t index, std::optional<ConvertFailure> failure, std::exception_ptr fault) {
    if (index >= failed_chunk_) return;
    failed_chunk_ = index;
    failure_ = std::move(failure);
    fault_ = std::move(fault);
  }

  // Takes the turn to deliver (which no one holds) and gives finished
  // sections their place in order until the next is not finished, the sink
  // needs the calling thread, or the conversion ends. The turn is given up
  // before the bytes are copied: the copies, the bulk of the writing, are
  // made by this thread and any other with nothing to convert, while the
  // next thread to finish a chunk places its own. A section that cannot be
  // placed is written through the sink, once no copy is in flight. Called
  // and returns with `lock` held; bytes are written with it released.
  void deliver_in_turn(std::unique_lock<std::mutex>& lock, bool calling_thread) {
    while (true) {
      delivering_ = true;
      bool placed = false;
      bool written_after_copies = false;  // a section this thread writes once the copies are made
      while (!stopping_ && !ended() && next_write_ < count_) {
        Slot& slot = slots_[next_write_ % window_];
        if (!slot.ready) break;
        if (const std::optional<std::uint64_t> at = place(slot.result)) {
          to_copy_.push_back(Placed{std::move(slot.result), *at, next_write_});
          slot.ready = false;
          ++next_write_;
          ++copies_in_flight_;
          placed = true;
          room_.notify_all();
          continue;
        }
        if (placed) {
          written_after_copies = true;
          break;
        }
        if (!calling_thread && !sink_.writes_anywhere(slot.result.section.size())) {
          calling_thread_needed_ = true;
          break;
        }
        // A buffer may move as it grows: the copies into it end first (and
        // a copy's failure comes before this section's).
        while (copy_one(lock)) {
        }
        copied_.wait(lock, [&] { return copies_in_flight_ == 0; });
        ChunkResult result = std::move(slot.result);
        slot.ready = false;
        lock.unlock();
        Status<ConvertFailure> delivered;
        std::exception_ptr fault;
        try {
          delivered = deliver(std::move(result));
        } catch (...) {
          fault = std::current_exception();
        }
        lock.lock();
        if (fault || !delivered) {
          fail(next_write_, delivered ? std::nullopt : std::optional(delivered.error()), fault);
        }
        ++next_write_;
        room_.notify_all();
      }
      delivering_ = false;
      turn_free_.notify_all();
      // The calling thread wakes for progress on its own; woken after every
      // turn, it would take a core from a worker (and the worker its cache)
      // once per chunk.
      if (calling_thread_needed_ || ended() || writing_done()) done_.notify_one();
      // The calling thread, while it waits for a chunk to take.
      if (calling_thread_needed_) room_.notify_all();
      // Whoever places a section makes copies until none waits, so none is
      // left behind when the others have no chunk left to take.
      while (copy_one(lock)) {
      }
      if (!written_after_copies || delivering_) return;
    }
  }

  // Writes the placed section that waits longest into its place, with
  // `lock` released; false if none waits.
  bool copy_one(std::unique_lock<std::mutex>& lock) {
    if (to_copy_.empty()) return false;
    Placed section = std::move(to_copy_.front());
    to_copy_.pop_front();
    lock.unlock();
    Status<ConvertFailure> written;
    std::exception_ptr fault;
    try {
      written = sink_.write_placed(section.place, section.result.section.bytes());
    } catch (...) {
      fault = std::current_exception();
    }
    lock.lock();
    if (fault || !written) {
      fail(section.index, written ? std::nullopt : std::optional(written.error()), fault);
    } else {
      written_input_ = std::max(written_input_, section.result.input_end);
    }
    spares_[section.result.worker].push_back(std::move(section.result.section));
    if (--copies_in_flight_ == 0) {
      copied_.notify_all();
      done_.notify_one();
    }
    return true;
  }

  // Whether a delivery failed: nothing more is written.
  bool ended() const { return failed_chunk_ != kCountUnknown; }

  // Whether every section is written: placed, and its copy made.
  bool writing_done() const { return next_write_ >= count_ && copies_in_flight_ == 0; }

  // The calling thread: reports progress until every section is written or
  // the conversion fails, writes what only it may write, and makes copies
  // it finds waiting.
  Status<ConvertFailure> wait_for_the_end() {
    std::unique_lock lock(mutex_);
    while (true) {
      // Once no copy is in flight, the first failure in order is known.
      if (ended() && copies_in_flight_ == 0) {
        if (fault_) std::rethrow_exception(fault_);
        if (failure_) return Failure{std::move(*failure_)};
      }
      if (writing_done()) return {};
      if (write_what_waits_for_calling_thread(lock) || copy_one(lock)) continue;
      done_.wait_for(lock, kProgressInterval);
      if (!tick_on_calling_thread(lock)) return stopped();
    }
  }

  // A written section this worker filled, since a buffer another core
  // filled last would move between caches again; else another worker's, so
  // that a new one is made only while every section is in flight; else one
  // an earlier call kept.
  ByteBuffer take_spare(unsigned worker) {
    {
      std::lock_guard lock(mutex_);
      for (std::size_t offset = 0; offset < spares_.size(); ++offset) {
        std::vector<ByteBuffer>& spare = spares_[(worker + offset) % spares_.size()];
        if (spare.empty()) continue;
        ByteBuffer section = std::move(spare.back());
        spare.pop_back();
        return section;
      }
    }
    return WarmMemory::process_wide().take_section();
  }

  // Writes one section; called by the thread holding the turn, without the
  // lock.
  Status<ConvertFailure> deliver(ChunkResult result) {
    if (result.fault) std::rethrow_exception(result.fault);
    if (result.failure) return conversion_failure(std::move(*result.failure));
    VREX_TRY(sink_.write(result.section.bytes()));
    std::lock_guard lock(mutex_);
    written_input_ = result.input_end;
    spares_[result.worker].push_back(std::move(result.section));
    return {};
  }

  // The chunks' count is known once a thread finds the input ends before
  // the chunk it took.
  static constexpr std::uint64_t kCountUnknown = ~std::uint64_t{0};

  const ChunkJobs& jobs_;
  std::uint64_t count_;
  unsigned workers_;
  std::size_t window_;
  std::vector<Slot> slots_;
  OutputSink& sink_;
  ProgressTicker& ticker_;
  ResultFaults result_faults_;

  std::mutex mutex_;
  std::condition_variable room_;       // a job may be taken, or the workers must stop
  std::condition_variable done_;       // the calling thread is needed, or the end came
  std::condition_variable turn_free_;  // no one holds the turn to deliver, or the end came
  std::condition_variable copied_;     // no placed section waits for its copy
  std::uint64_t next_job_ = 1;         // chunk 0 is the calling thread's
  std::uint64_t next_write_ = 0;       // 1 once chunk 0 is placed or written
  std::uint64_t written_input_;        // input offset past the rows written
  std::deque<Placed> to_copy_;         // sections placed, their bytes not yet being copied
  std::size_t copies_in_flight_ = 0;   // sections placed whose copy is not made yet
  bool stopping_ = false;
  bool delivering_ = false;                     // a thread holds the turn to deliver
  bool calling_thread_needed_ = false;          // the next section is the calling thread's to write
  bool calling_thread_writes_ = false;          // it writes chunk 0, converted
  std::uint64_t failed_chunk_ = kCountUnknown;  // the first chunk whose delivery failed
  std::optional<ConvertFailure> failure_;
  std::exception_ptr fault_;
  std::vector<std::vector<ByteBuffer>> spares_;     // by worker: sections written, for later chunks
  std::uint64_t decided_ = 0;                       // chunks taken told whether they are offered
  std::vector<std::shared_ptr<RowSplit>> offered_;  // chunks under way a part may be taken of
};

// Where a chunk of the calling thread begins: a record boundary its reader
// stands at, in the chunk whose first row is `chunk_row`.
struct LeadPosition {
  std::uint64_t byte = 0;
  std::uint64_t chunk_row = 0;
};

// The calling thread leads: it reads the header and the sample, and
// converts chunks in order from the first, as convert_csv() does, while
// helper threads count where the first chunks after its own begin and then
// infer a share of the column types with it. Once it
// notes where its chunk began, a helper makes the writer, and from the
// chunk after it on every thread converts: the helpers at once, the calling
// thread once its chunk is written.
class Handover {
 public:
  Handover(std::span<const std::uint8_t> csv, const ParallelOptions& options, unsigned helpers,
           OutputSink& sink, ProgressTicker& ticker)
      : csv_(csv),
        chunk_size_(options.chunk_size),
        tile_rows_(options.tile_rows),
        result_faults_(options.result_faults),
        chain_(csv, options.chunk_size, options.part_size),
        sink_(sink),
        ticker_(ticker) {
    // Every helper is started before any makes the writer, which counts
    // them.
    helpers_.reserve(helpers);
    std::lock_guard lock(mutex_);
    try {
      for (unsigned helper = 0; helper < helpers; ++helper) {
        helpers_.emplace_back([this, helper] { help(helper); });
        ++started_;
      }
    } catch (const std::system_error&) {  // NOLINT(bugprone-empty-catch): fewer helpers
    }
  }

  Handover(const Handover&) = delete;
  Handover& operator=(const Handover&) = delete;

  // Whatever the calling thread left: the helpers stop after their block or
  // chunk.
  ~Handover() {
    OrderedWriter* writer = nullptr;
    {
      std::lock_guard lock(mutex_);
      ended_ = true;
      if (writer_) writer = &*writer_;
    }
    changed_.notify_all();
    chain_.stop();
    if (writer != nullptr) writer->stop();
    helpers_.clear();
  }

  // The column types of the sample the calling thread read, inferred with
  // the helpers' help, and noted for the chunks' converters.
  std::vector<ValueType> infer_types(const RowQueue& sample, std::size_t column_count) {
    auto inference = std::make_shared<SharedInference>(sample, column_count);
    {
      std::lock_guard lock(mutex_);
      inference_ = inference;
      sample_read_ = true;
    }
    changed_.notify_all();
    std::vector<ValueType> types = inference->types();
    std::lock_guard lock(mutex_);
    inference_.reset();
    types_ = types;
    return types;
  }

  // Called by the calling thread as it writes its chunk whose first row is
  // `chunk_row`, converted: when it is the writer's chunk 0, the helpers'
  // chunks after it wait for it to be written.
  void calling_thread_writes(std::uint64_t chunk_row) {
    OrderedWriter* writer = nullptr;
    {
      std::lock_guard lock(mutex_);
      if (writer_ && jobs_->first_row() == chunk_row) writer = &*writer_;
    }
    if (writer != nullptr) writer->calling_thread_writes();
  }

  // The place of the calling thread's chunk whose first row is `chunk_row`,
  // `size` bytes, when it is the writer's chunk 0 and fits: see
  // OrderedWriter::place_chunk_zero().
  std::optional<std::uint64_t> place_calling_thread_chunk(std::uint64_t chunk_row,
                                                          std::size_t size) {
    OrderedWriter* writer = nullptr;
    {
      std::lock_guard lock(mutex_);
      if (writer_ && jobs_->first_row() == chunk_row) writer = &*writer_;
    }
    return writer != nullptr ? writer->place_chunk_zero(size) : std::nullopt;
  }

  // Called by the calling thread as each of its chunks begins, `position`
  // being where, when the reader stands in that chunk. Returns the writer
  // the helpers convert for, whose chunk 0 is the one that just ended; else
  // notes the position for them to make it from.
  OrderedWriter* take_over_or_note(const std::optional<LeadPosition>& position) {
    std::lock_guard lock(mutex_);
    if (fault_) std::rethrow_exception(fault_);
    if (writer_) return &*writer_;
    if (position) {
      position_ = position;
      changed_.notify_all();
    }
    return nullptr;
  }

 private:
  void help(unsigned worker) {
    // While the calling thread reads the header and the sample, the chunks
    // up to this helper's first are counted, and up to two more until the
    // sample is read (no further: a file larger than memory would be read
    // twice). Whether to go on is asked before a count, not after: a count
    // begun is finished before this helper converts.
    // A fault here is met again by the chunk's conversion, which reports it.
    constexpr std::uint64_t kCountedAhead = 2;
    try {
      const std::uint64_t first = worker + 1;
      for (std::uint64_t index = first; chain_.chunk(index); ++index) {
        if (index >= first + kCountedAhead || sample_read_.load()) break;
      }
    } catch (...) {  // NOLINT(bugprone-empty-catch)
    }
    OrderedWriter* writer = nullptr;
    {
      std::unique_lock lock(mutex_);
      auto may_go_on = [&] { return ended_ || writer_ || fault_ || position_.has_value(); };
      changed_.wait(lock, [&] { return may_go_on() || inference_; });
      if (!may_go_on()) {
        // The types are being inferred: this helper takes its share.
        const std::shared_ptr<SharedInference> inference = inference_;
        lock.unlock();
        inference->take_part();
        lock.lock();
        changed_.wait(lock, may_go_on);
      }
      if (!ended_ && !writer_ && !fault_) make_writer();
      if (!ended_ && writer_) writer = &*writer_;
    }
    if (writer != nullptr) writer->follow(worker);
  }

  // The writer, from the position noted last: its chunk 0 is the calling
  // thread's chunk there. Called with the lock held.
  void make_writer() {
    try {
      jobs_.emplace(csv_, chain_, types_, chunk_size_, tile_rows_, position_->chunk_row);
      writer_.emplace(*jobs_, started_ + 1, sink_, ticker_, position_->byte, result_faults_);
    } catch (...) {
      fault_ = std::current_exception();
    }
    changed_.notify_all();
  }

  std::span<const std::uint8_t> csv_;
  std::uint64_t chunk_size_;
  std::size_t tile_rows_;
  ResultFaults result_faults_;
  ChunkChain chain_;
  OutputSink& sink_;
  ProgressTicker& ticker_;
  std::vector<ValueType> types_;

  std::mutex mutex_;
  std::condition_variable changed_;  // a position noted, the writer made, or the end
  std::optional<LeadPosition> position_;
  std::shared_ptr<SharedInference> inference_;  // while the types are inferred
  std::atomic<bool> sample_read_{false};        // read by helpers counting ahead, without the lock
  unsigned started_ = 0;                        // helpers started
  bool ended_ = false;                          // the calling thread has left
  std::exception_ptr fault_;
  std::optional<ChunkJobs> jobs_;
  std::optional<OrderedWriter> writer_;
  std::vector<std::jthread> helpers_;  // last: stopped and joined before the rest goes
};

// Writes a chunk the calling thread converted, whose first row is
// `chunk_row`, into the sink's buffer; returns where its bytes end there. A
// converter that holds whole chunks counts the section's size first and
// takes its room before writing it: small pages are then faulted in with one
// call instead of a fault a page, and the helpers' first chunks take their
// places after it while it is written.
Result<std::size_t, std::string> write_calling_thread_chunk(
    ByteBuffer& output, ChunkConverter& converter, std::size_t rows, std::uint64_t chunk_row,
    ResultFaults faults, Handover* handover) {
  if (!converter.holds_whole_chunks()) {
    if (handover != nullptr) handover->calling_thread_writes(chunk_row);
    VREX_TRY(write_chunk_section(output, converter, rows));
    return output.size();
  }
  converter.finish_chunk(rows);
  // A section whose size cannot be counted is written as it goes, which
  // reports the failure.
  if (const std::optional<SectionLayout> layout = finished_section_layout(converter)) {
    const auto size = static_cast<std::size_t>(layout->size());
    std::optional<std::uint64_t> place;
    if (handover != nullptr) place = handover->place_calling_thread_chunk(chunk_row, size);
    if (!place) {
      // No helper writes into the buffer before chunk 0 is placed, so it may
      // grow here.
      if (handover != nullptr) handover->calling_thread_writes(chunk_row);
      place = output.size();
      output.append_uninitialized(size);
    }
    write_section_at(output.data() + *place, *layout, converter, nullptr, faults);
    converter.release_chunk(rows);
    return static_cast<std::size_t>(*place) + size;
  }
  if (handover != nullptr) handover->calling_thread_writes(chunk_row);
  VREX_TRY(write_finished_section(output, converter));
  converter.release_chunk(rows);
  return output.size();
}

}  // namespace

Status<ConvertFailure> FileSink::write(std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(descriptor_, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      return Failure{ConvertFailure{ConvertFailure::Kind::Output, std::strerror(error), error}};
    }
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
  return {};
}

Status<ConvertFailure> convert_csv_parallel(std::span<const std::uint8_t> csv,
                                            const ParallelOptions& options, OutputSink& sink,
                                            const ProgressCheck& progress) {
  if (options.chunk_size == 0) return conversion_failure("chunk_size must be at least 1");
  const unsigned threads = std::max(options.threads, 1u);
  ProgressTicker ticker(progress, csv.size());

  // On one thread, or with chunks too small to hand from thread to thread,
  // the calling thread converts every chunk after the one before with one
  // reader, as convert_csv() does. Otherwise helpers start at once, count
  // where the first chunks begin while this thread reads the header and the
  // sample, and infer the types with it.
  const bool chunks_worth_sharing = options.chunk_size >= options.min_shared_chunk_rows;
  std::optional<Handover> handover;
  if (threads > 1 && chunks_worth_sharing) {
    handover.emplace(csv, options, threads - 1, sink, ticker);
  }

  CsvReader reader(csv);
  auto plan = handover ? read_table_sample(csv, reader, options.sample_rows)
                       : plan_table(csv, reader, options.sample_rows);
  if (!plan) return conversion_failure(plan.error());
  if (handover) plan->types = handover->infer_types(plan->sample, plan->names.size());
  {
    ByteBuffer start;
    if (auto written = write_table_start(start, *plan); !written) {
      return conversion_failure(written.error());
    }
    VREX_TRY(sink.write(start.bytes()));
  }
  plan->names = TextArray();

  // The converter starts with the sample queued: one an earlier call kept,
  // when there is one (and the caller chose no tile size).
  const std::uint64_t sampled = plan->sample.size();
  std::optional<ChunkConverter> converter;
  if (options.tile_rows == 0) {
    converter =
        WarmMemory::process_wide().take_converter(plan->sample, plan->types, options.chunk_size);
  }
  if (!converter) {
    converter.emplace(std::move(plan->sample), plan->types, options.chunk_size, options.tile_rows);
  }
  // Chunks go straight into the sink's buffer when it has one, else through
  // a section.
  ByteBuffer* const output = sink.buffer();
  ByteBuffer section = output ? ByteBuffer() : WarmMemory::process_wide().take_section();
  std::uint64_t written_rows = 0;
  // The end of the calling thread's bytes in the sink's buffer, when it has
  // one: past its last chunk.
  std::size_t lead_end = output != nullptr ? output->size() : 0;
  while (true) {
    if (handover) {
      // Where this chunk begins, once the reader stands in it: a sample may
      // reach past it.
      const std::uint64_t read_rows = std::max(sampled, written_rows);
      std::optional<LeadPosition> position;
      if (read_rows < written_rows + options.chunk_size) {
        position = LeadPosition{reader.cursor(), written_rows};
      }
      if (OrderedWriter* writer = handover->take_over_or_note(position)) {
        // The converter goes on with the chunks this thread takes.
        std::optional<ChunkJobs::Worker> worker;
        if (converter->between_chunks()) {
          worker.emplace(ChunkJobs::Worker{std::move(*converter)});
          converter.reset();
        }
        // As it joins, this thread faults in the result's pages for the rest
        // of the input, at the rate of what it wrote so far: see
        // result_pages.h. Helpers may be placing their chunks after its own.
        const std::size_t end =
            output != nullptr ? rest_end(*output, lead_end, reader.cursor(), csv.size()) : 0;
        VREX_TRY(writer->join_on_calling_thread(reader.cursor(), std::move(worker), [&] {
          if (output != nullptr && options.result_faults == ResultFaults::AheadOnCallingThread) {
            fault_in(*output, lead_end, end);
          }
        }));
        break;
      }
    }
    auto rows = converter->fill_chunk(reader);
    if (!rows) return conversion_failure(parse_failure(rows.error()));
    if (*rows == 0) break;
    if (output != nullptr) {
      auto written =
          write_calling_thread_chunk(*output, *converter, *rows, written_rows,
                                     options.result_faults, handover ? &*handover : nullptr);
      if (!written) return conversion_failure(written.error());
      lead_end = *written;
    } else {
      section.truncate(0);
      if (auto written = write_chunk_section(section, *converter, *rows); !written) {
        return conversion_failure(written.error());
      }
      VREX_TRY(sink.write(section.bytes()));
    }
    written_rows += *rows;
    if (!ticker.tick(reader.cursor())) return stopped();
    if (*rows < options.chunk_size) break;
  }
  handover.reset();
  if (options.tile_rows != 0) converter.reset();
  keep_for_later(std::move(converter), plan->types, options.chunk_size, std::move(section));

  ByteBuffer end;
  if (auto written = write_table_end(end); !written) {
    return conversion_failure(written.error());
  }
  VREX_TRY(sink.write(end.bytes()));
  if (!ticker.tick(csv.size(), true)) return stopped();
  return {};
}

}  // namespace vrex::ext
