#include "parallel/parallel_convert.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <functional>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "csv/utf8.h"
#include "parallel/parts.h"
#include "parallel/warm_memory.h"
#include "pipeline/pipeline.h"

namespace vrex::ext {

namespace {

using Failure = Unexpected<ConvertFailure>;

Failure conversion_failure(std::string message) {
  return Failure{ConvertFailure{ConvertFailure::Kind::Conversion, std::move(message), 0}};
}

// Runs tasks on `threads` threads, the calling one among them; tasks are
// handed out one index at a time.
void run_on_threads(unsigned threads, std::size_t count,
                    const std::function<void(std::size_t)>& task) {
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    for (std::size_t index = next++; index < count; index = next++) task(index);
  };
  std::vector<std::jthread> helpers;
  const std::size_t helper_count = std::min<std::size_t>(threads - 1, count > 0 ? count - 1 : 0);
  for (std::size_t helper = 0; helper < helper_count; ++helper) helpers.emplace_back(work);
  work();
}

// Hands a converter and a section buffer to the next call; memory kept is
// a bonus, so a failure to keep it is no failure.
void keep_for_later(ChunkConverter converter, std::span<const ValueType> types,
                    std::uint64_t chunk_size, ByteBuffer section) noexcept {
  try {
    WarmMemory& kept = WarmMemory::process_wide();
    kept.keep_converter(std::move(converter), types, chunk_size);
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

// The first chunk when it holds the whole sample: its converter, which has
// the sampled rows queued, and where the rows after the sample begin.
struct SampledChunk {
  ChunkConverter converter;
  CsvPosition rest;
};

// Converts the chunks past the serial start: chunk `index` holds data rows
// from first_row + index * chunk_size on. With a sampled chunk, chunk 0 is
// that one, converted on whichever thread takes it like any other.
class ChunkJobs {
 public:
  ChunkJobs(std::span<const std::uint8_t> csv, const PartPlan& plan,
            std::span<const ValueType> types, std::uint64_t chunk_size, std::uint64_t first_row,
            std::optional<SampledChunk>* sampled)
      : csv_(csv),
        plan_(plan),
        types_(types),
        chunk_size_(chunk_size),
        first_row_(first_row),
        sampled_(sampled) {}

  std::uint64_t count() const noexcept {
    const std::uint64_t rows = plan_.end_row - first_row_;
    return (rows + chunk_size_ - 1) / chunk_size_;
  }

  // A thread's converter, reused from chunk to chunk, and where the last
  // chunk it converted began: its next chunk is found from there.
  struct Worker {
    ChunkConverter converter;
    std::optional<KnownRow> last_chunk;
  };

  // A converter an earlier call kept, when it read the same columns.
  Worker make_worker() const {
    if (auto kept = WarmMemory::process_wide().take_converter(csv_, types_, chunk_size_)) {
      return Worker{std::move(*kept), {}};
    }
    return Worker{ChunkConverter(RowQueue(csv_, types_.size()), types_, chunk_size_), {}};
  }

  // Hands a worker's converter on to the next call.
  void keep_worker(Worker worker) const noexcept {
    keep_for_later(std::move(worker.converter), types_, chunk_size_, ByteBuffer());
  }

  // Writes a finished chunk straight into the output when that may be done
  // now; true if it was. Given the input offset past the chunk's rows.
  using WriteInPlace = std::function<bool(const ChunkConverter&, std::uint64_t input_end)>;

  // Converts into `section`, a buffer of an earlier chunk whose pages are
  // already in place, when there is one, unless `in_place` writes the chunk.
  // A thread gets its converter with its first chunk: the sample's, when
  // that is chunk 0, so that no more converters fill than there are threads.
  ChunkResult convert(std::uint64_t index, std::optional<Worker>& worker, ByteBuffer section,
                      const WriteInPlace& in_place) const noexcept {
    ChunkResult result;
    section.truncate(0);
    result.section = std::move(section);
    try {
      const std::uint64_t first = first_row_ + index * chunk_size_;
      const auto expected = static_cast<std::size_t>(std::min(chunk_size_, plan_.end_row - first));
      const bool sampled = index == 0 && sampled_ != nullptr && sampled_->has_value();
      // Lines are counted from the chunk's first byte; the line feeds before
      // it are counted only when an error needs them.
      CsvPosition origin;
      std::uint64_t uncounted_prefix = 0;  // bytes whose line feeds origin.line leaves out
      if (sampled) {
        origin = (*sampled_)->rest;
      } else {
        if (!worker) worker.emplace(make_worker());
        const std::uint64_t start =
            find_row(csv_, plan_.parts, first, worker->last_chunk ? &*worker->last_chunk : nullptr);
        worker->last_chunk = KnownRow{first, start};
        origin = CsvPosition{start, 1, first + 1};
        uncounted_prefix = start;
      }
      ChunkConverter& converter = sampled ? (*sampled_)->converter : worker->converter;
      CsvReader reader =
          CsvReader::for_part(csv_.subspan(static_cast<std::size_t>(origin.byte)), origin);
      auto rows = converter.fill_chunk(reader);
      if (!rows) {
        CsvError error = rows.error();
        error.position.line +=
            count_line_feeds(csv_.data(), static_cast<std::size_t>(uncounted_prefix));
        result.failure = parse_failure(error);
        return result;
      }
      if (*rows != expected) throw std::logic_error("a chunk's rows differ from the parts' count");
      result.input_end = origin.byte + reader.cursor();
      if (converter.holds_whole_chunks()) {
        converter.finish_chunk(*rows);
        result.written = in_place(converter, result.input_end);
        if (!result.written) {
          if (auto written = write_finished_section(result.section, converter); !written) {
            result.failure = written.error();
          }
        }
        if (!result.failure) converter.release_chunk(*rows);
      } else if (auto written = write_chunk_section(result.section, converter, *rows); !written) {
        result.failure = written.error();
      }
      // The sample's converter goes on with this thread's chunks, or to the
      // next call.
      if (sampled) {
        if (!worker && !result.failure) {
          worker.emplace(Worker{std::move((*sampled_)->converter), {}});
        } else {
          keep_for_later(std::move((*sampled_)->converter), types_, chunk_size_, ByteBuffer());
        }
        sampled_->reset();
      }
    } catch (...) {
      result.fault = std::current_exception();
    }
    return result;
  }

 private:
  std::span<const std::uint8_t> csv_;
  const PartPlan& plan_;
  std::span<const ValueType> types_;
  std::uint64_t chunk_size_;
  std::uint64_t first_row_;
  // Used and emptied by one thread only: the one converting chunk 0.
  std::optional<SampledChunk>* sampled_;
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
// the next chunk to write than the window allows.
//
// Whoever finishes a chunk takes the turn to deliver when no one holds it,
// and writes every finished section that is next in order. A section is then
// mostly written by the thread that filled it, while it is still in that
// core's cache: written from another core, the pages it was filled in move
// between caches twice per chunk. A write the sink allows on the calling
// thread only (a buffer that must grow) waits for the calling thread, which
// between its chunks, and once none is left to take, reports progress and
// writes what waits for it.
class OrderedWriter {
 public:
  // `written_input` is the input offset converted before the chunks: where
  // progress stands until the first of them is written.
  OrderedWriter(const ChunkJobs& jobs, unsigned workers, OutputSink& sink, ProgressTicker& ticker,
                std::uint64_t written_input)
      : jobs_(jobs),
        count_(jobs.count()),
        workers_(workers),
        window_(std::max<std::size_t>(std::size_t{2} * workers, 1)),
        slots_(window_),
        sink_(sink),
        ticker_(ticker),
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

  Status<ConvertFailure> run() {
    std::vector<std::jthread> threads;

    // However this ends (a fault thrown included), the workers are told to
    // stop before they are joined.
    struct StopWorkers {
      OrderedWriter* writer;

      ~StopWorkers() {
        {
          std::lock_guard lock(writer->mutex_);
          writer->stopping_ = true;
        }
        writer->room_.notify_all();
        writer->turn_free_.notify_all();
      }
    };

    const StopWorkers stop_workers{this};
    // The calling thread is a worker too. A thread started while both cores
    // of a 2-core machine are busy (the calling thread starting it, and the
    // worker started before) was seen to wait 2-4 ms for the scheduler to
    // move it to the core the calling thread then leaves: a tenth of a short
    // call, in most calls.
    const unsigned calling_worker = workers_ - 1;
    for (unsigned worker = 0; worker < calling_worker; ++worker) {
      threads.emplace_back([this, worker] { work(worker, /*calling_thread=*/false); });
    }
    if (!work(calling_worker, /*calling_thread=*/true)) return stopped();
    return wait_for_the_end();
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
  bool work(unsigned worker, bool calling_thread) {
    std::optional<ChunkJobs::Worker> converter;
    bool go_on = true;
    while (true) {
      std::uint64_t index;
      {
        std::unique_lock lock(mutex_);
        auto can_take = [&] {
          return stopping_ || next_job_ >= count_ || next_job_ < next_write_ + window_;
        };
        if (calling_thread) {
          while (go_on && !ended_ && !calling_thread_due() && !can_take()) {
            room_.wait_for(lock, kProgressInterval);
            go_on = tick_on_calling_thread(lock);
          }
          if (!go_on || ended_) break;
          if (write_what_waits_for_calling_thread(lock)) continue;
        } else {
          room_.wait(lock, can_take);
        }
        if (stopping_ || next_job_ >= count_) break;
        index = next_job_++;
      }
      ChunkResult result;
      try {
        result = jobs_.convert(index, converter, take_spare(worker),
                               [&](const ChunkConverter& finished, std::uint64_t input_end) {
                                 return write_in_place(index, finished, input_end);
                               });
      } catch (...) {
        result.fault = std::current_exception();
      }
      // A failed chunk may leave its converter half filled.
      if (result.failure || result.fault) converter.reset();
      result.worker = worker;
      {
        std::unique_lock lock(mutex_);
        if (result.written) {
          // This thread still holds the turn, and goes on with the sections
          // finished meanwhile; the section it took is spare again.
          if (result.section.capacity() > 0) spares_[worker].push_back(std::move(result.section));
          deliver_in_turn(lock, calling_thread);
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
    if (converter) jobs_.keep_worker(std::move(*converter));
    return go_on;
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
  // buffer's room: the copy through a section is saved. Then takes the turn
  // and keeps it, and returns true.
  bool write_in_place(std::uint64_t index, const ChunkConverter& converter,
                      std::uint64_t input_end) {
    ByteBuffer* output = sink_.buffer();
    if (output == nullptr) return false;
    {
      std::unique_lock lock(mutex_);
      // When every chunk before this one is finished, the turn is held to
      // write them: waiting for it costs less than copying through a section.
      turn_free_.wait(
          lock, [&] { return stopping_ || ended_ || !delivering_ || !only_writes_before(index); });
      if (stopping_ || ended_ || delivering_ || next_write_ != index) return false;
      delivering_ = true;
    }
    // The buffer changes only in the hands of the thread holding the turn.
    bool written = false;
    std::exception_ptr fault;
    try {
      FixedRoom room(output->data() + output->size(), output->capacity() - output->size());
      ByteBuffer place(room);
      place.reserve(room.size());
      // A failed write is made again into a section, which reports it in turn.
      if (write_finished_section(place, converter)) {
        output->append_uninitialized(place.size());
        written = true;
      }
    } catch (const FixedRoom::Exhausted&) {  // NOLINT(bugprone-empty-catch): written elsewhere
    } catch (...) {
      fault = std::current_exception();
    }
    std::lock_guard lock(mutex_);
    if (!written) {
      delivering_ = false;
      turn_free_.notify_all();
      if (fault) std::rethrow_exception(fault);
      return false;
    }
    ++next_write_;
    written_input_ = input_end;
    room_.notify_all();
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

  // Takes the turn to deliver (which no one holds) and writes finished
  // sections in order until the next is not finished, the sink needs the
  // calling thread, or the conversion ends. Called and returns with `lock`
  // held; the sink is written with it released.
  void deliver_in_turn(std::unique_lock<std::mutex>& lock, bool calling_thread) {
    delivering_ = true;
    while (!stopping_ && !ended_ && next_write_ < count_) {
      Slot& slot = slots_[next_write_ % window_];
      if (!slot.ready) break;
      if (!calling_thread && !sink_.writes_anywhere(slot.result.section.size())) {
        calling_thread_needed_ = true;
        break;
      }
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
      ++next_write_;
      if (fault || !delivered) {
        ended_ = true;
        fault_ = fault;
        if (!delivered) failure_ = delivered.error();
      }
      room_.notify_all();
    }
    delivering_ = false;
    turn_free_.notify_all();
    // The calling thread wakes for progress on its own; woken after every
    // turn, it would take a core from a worker (and the worker its cache)
    // once per chunk.
    if (calling_thread_needed_ || ended_ || next_write_ >= count_) done_.notify_one();
    // The calling thread, while it waits for a chunk to take.
    if (calling_thread_needed_) room_.notify_all();
  }

  // The calling thread: reports progress until every section is written or
  // the conversion fails, and writes what only it may write.
  Status<ConvertFailure> wait_for_the_end() {
    std::unique_lock lock(mutex_);
    while (true) {
      if (fault_) std::rethrow_exception(fault_);
      if (failure_) return Failure{std::move(*failure_)};
      if (next_write_ >= count_) return {};
      if (write_what_waits_for_calling_thread(lock)) continue;
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

  const ChunkJobs& jobs_;
  std::uint64_t count_;
  unsigned workers_;
  std::size_t window_;
  std::vector<Slot> slots_;
  OutputSink& sink_;
  ProgressTicker& ticker_;

  std::mutex mutex_;
  std::condition_variable room_;       // a job may be taken, or the workers must stop
  std::condition_variable done_;       // the calling thread is needed, or the end came
  std::condition_variable turn_free_;  // no one holds the turn to deliver, or the end came
  std::uint64_t next_job_ = 0;
  std::uint64_t next_write_ = 0;
  std::uint64_t written_input_;  // input offset past the rows written
  bool stopping_ = false;
  bool delivering_ = false;             // a thread holds the turn to deliver
  bool calling_thread_needed_ = false;  // the next section is the calling thread's to write
  bool ended_ = false;                  // a delivery failed: nothing more is written
  std::optional<ConvertFailure> failure_;
  std::exception_ptr fault_;
  std::vector<std::vector<ByteBuffer>> spares_;  // by worker: sections written, for later chunks
};

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

  // The block summaries begin at once on the other threads, while this one
  // reads the header and the sample; not on an input of fewer than two
  // blocks, where starting a thread costs more than the overlap saves.
  const bool chunks_worth_sharing = options.chunk_size >= options.min_shared_chunk_rows;
  const bool sequential = threads == 1 || !chunks_worth_sharing;
  const std::size_t part_size = std::max<std::size_t>(options.part_size, 1);
  std::optional<EarlySummaries> early;
  if (!sequential && csv.size() / 2 >= part_size) early.emplace(csv, part_size, threads - 1);

  CsvReader reader(csv);
  auto plan = plan_table(csv, reader, options.sample_rows);
  if (!plan) return conversion_failure(plan.error());
  {
    ByteBuffer start;
    if (auto written = write_table_start(start, *plan); !written) {
      return conversion_failure(written.error());
    }
    VREX_TRY(sink.write(start.bytes()));
  }
  plan->names = TextArray();

  // On one thread, or with chunks too small to hand from thread to thread,
  // the calling thread reads every chunk after the one before with one
  // reader, as convert_csv() does: there are no parts to plan. Otherwise a
  // sample within the first chunk stays queued in that chunk's converter,
  // which a worker runs like any other, and a sample longer than a chunk is
  // converted here, chunk by chunk, up to its end.
  const std::uint64_t sampled = plan->sample.size();
  std::uint64_t serial_rows = 0;
  bool input_done = false;
  std::optional<SampledChunk> sampled_chunk;
  // The converter that starts with the sample queued: one an earlier call
  // kept when there is one.
  auto sample_converter = [&] {
    auto kept =
        WarmMemory::process_wide().take_converter(plan->sample, plan->types, options.chunk_size);
    return kept ? std::move(*kept)
                : ChunkConverter(std::move(plan->sample), plan->types, options.chunk_size);
  };
  if (!sequential && sampled < options.chunk_size) {
    sampled_chunk.emplace(SampledChunk{sample_converter(), {}});
  } else {
    ChunkConverter chunks = sample_converter();
    // Chunks go straight into the sink's buffer when it has one, else
    // through a section.
    ByteBuffer* const output = sink.buffer();
    ByteBuffer section = output ? ByteBuffer() : WarmMemory::process_wide().take_section();
    while (sequential || serial_rows < sampled) {
      auto rows = chunks.fill_chunk(reader);
      if (!rows) return conversion_failure(parse_failure(rows.error()));
      if (*rows == 0) break;
      section.truncate(0);
      if (auto written = write_chunk_section(output ? *output : section, chunks, *rows); !written) {
        return conversion_failure(written.error());
      }
      if (!output) VREX_TRY(sink.write(section.bytes()));
      serial_rows += *rows;
      if (!ticker.tick(reader.cursor())) return stopped();
      if (*rows < options.chunk_size) {
        input_done = true;
        break;
      }
    }
    input_done = input_done || sequential;
    keep_for_later(std::move(chunks), plan->types, options.chunk_size, std::move(section));
  }
  if (input_done) early.reset();  // no parts to plan: the helpers stop

  if (!input_done) {
    const std::uint64_t start = reader.cursor();
    const std::uint64_t rows_before = sampled_chunk ? sampled : serial_rows;
    const CsvPosition origin{start, 1 + count_line_feeds(csv.data(), start), rows_before + 1};
    if (sampled_chunk) sampled_chunk->rest = origin;
    auto run_tasks = [threads](std::size_t count, const std::function<void(std::size_t)>& task) {
      run_on_threads(threads, count, task);
    };
    const PartPlan parts = early ? plan_parts(csv, start, rows_before, *early)
                                 : plan_parts(csv, start, rows_before, part_size, run_tasks);
    if (!ticker.tick(start, true)) return stopped();
    const ChunkJobs jobs(csv, parts, plan->types, options.chunk_size, serial_rows, &sampled_chunk);
    OrderedWriter writer(jobs, threads, sink, ticker, start);
    VREX_TRY(writer.run());
  }

  ByteBuffer end;
  if (auto written = write_table_end(end); !written) {
    return conversion_failure(written.error());
  }
  VREX_TRY(sink.write(end.bytes()));
  if (!ticker.tick(csv.size(), true)) return stopped();
  return {};
}

}  // namespace vrex::ext
