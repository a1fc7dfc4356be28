// The conversion on several threads: the same bytes and the same first error
// as convert_csv() for the same arguments.
//
// The calling thread reads the header, the sample and the column types as
// convert_csv() does, and converts the first chunk. Meanwhile helper threads
// count where the next chunks begin (see chunk_chain.h), and from the next
// chunk on every thread converts whole chunks (each starts at a row that is
// a multiple of the chunk size), each counting its chunk's records just
// before converting them. Slices are written in order, mostly by the thread
// that converted each: straight into the output when it is a buffer with
// room and the chunk is next in order, else through a section buffer of the
// chunk's own, which takes its place in the output in order and is copied
// there while other threads copy theirs. Once every chunk is taken, a
// thread with nothing left converts the last rows of a chunk still under
// way, which that chunk's thread joins to its own (see row_split.h); written
// in place, the chunk's columns are then written by both, each at its place,
// its size counted first. At most two chunks per thread are in flight, so
// memory does not grow with the input. On one thread, or with chunks too
// small to share, the calling thread converts every chunk and nothing is
// counted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "vrex/byte_buffer.h"
#include "vrex/result.h"

namespace vrex::ext {

inline constexpr std::size_t kDefaultPartSize = std::size_t{256} << 10;

// Which thread faults in the pages of a result in memory (a sink's buffer):
// see result_pages.h.
enum class ResultFaults {
  // The calling thread, for the room the whole input should take, as it
  // joins the helpers: for huge pages, which it freed last.
  AheadOnCallingThread,
  // Each thread, for the bytes it is about to write in place, in one call:
  // for small pages, which cost the same on any CPU.
  AsWritten,
};

struct ParallelOptions {
  std::uint64_t chunk_size = 10000;
  std::uint64_t sample_rows = 1000;
  unsigned threads = 1;                      // 1: everything on the calling thread
  std::size_t part_size = kDefaultPartSize;  // blocks in which chunks' records are counted
  // Chunks of fewer rows cost more to hand from thread to thread (about 13 us
  // on a 2-core machine) than to convert: they are converted and written on
  // the calling thread alone. Tests lower it to share chunks of any size.
  std::uint64_t min_shared_chunk_rows = 256;
  // Rows a converter reads between asks whether another thread takes the
  // rest of its chunk; 0 lets the table's width choose (64 to 2,048). Tests
  // lower it so that chunks of a few rows are split too.
  std::size_t tile_rows = 0;
  ResultFaults result_faults = ResultFaults::AheadOnCallingThread;
};

struct ConvertFailure {
  enum class Kind {
    Conversion,  // the message convert_csv() would give
    Output,      // the sink failed; `os_error` says why
    Stopped,     // the progress callback asked to stop
  };
  Kind kind = Kind::Conversion;
  std::string message;
  int os_error = 0;
};

// Where the file goes, a section at a time, in order.
class OutputSink {
 public:
  virtual ~OutputSink() = default;

  // Called in order, one call at a time: on the calling thread, or on a
  // worker when writes_anywhere() allows it for these bytes.
  virtual Status<ConvertFailure> write(std::span<const std::uint8_t> bytes) = 0;

  // Whether the next `size` bytes may be written off the calling thread.
  virtual bool writes_anywhere(std::size_t /*size*/) const noexcept { return false; }

  // The buffer the sink appends to, when it is one: the next section may then
  // be written straight into it (which saves copying it there), growing it on
  // the calling thread, within its capacity elsewhere.
  virtual ByteBuffer* buffer() noexcept { return nullptr; }

  // Takes the next `size` bytes of the output, in order, for write_placed()
  // to fill later from any thread, while other placed bytes are written:
  // where they begin, or nullopt when the sink cannot (write() then writes
  // them in order). Called one call at a time, like write().
  virtual std::optional<std::uint64_t> place(std::size_t /*size*/) { return std::nullopt; }

  // Fills bytes place() took; calls for different places may overlap.
  virtual Status<ConvertFailure> write_placed(std::uint64_t /*place*/,
                                              std::span<const std::uint8_t> /*bytes*/) {
    return {};
  }
};

// Appends to a buffer.
class BufferSink final : public OutputSink {
 public:
  explicit BufferSink(ByteBuffer& output) : output_(&output) {}

  Status<ConvertFailure> write(std::span<const std::uint8_t> bytes) override {
    output_->append(bytes.data(), bytes.size());
    return {};
  }

  // Growing the buffer may need the calling thread; filling its room does not.
  bool writes_anywhere(std::size_t size) const noexcept override {
    return output_->capacity() - output_->size() >= size;
  }

  ByteBuffer* buffer() noexcept override { return output_; }

  // Within the room only: the buffer does not move while placed bytes are
  // written (it grows on the calling thread once none is in flight).
  std::optional<std::uint64_t> place(std::size_t size) override {
    if (output_->capacity() - output_->size() < size) return std::nullopt;
    const std::uint64_t at = output_->size();
    output_->append_uninitialized(size);
    return at;
  }

  Status<ConvertFailure> write_placed(std::uint64_t place,
                                      std::span<const std::uint8_t> bytes) override {
    if (!bytes.empty()) std::memcpy(output_->data() + place, bytes.data(), bytes.size());
    return {};
  }

 private:
  ByteBuffer* output_;
};

// Writes to an open file descriptor (which stays the caller's), in order.
// It places nothing: the kernel takes writes to one file one at a time, so
// threads writing at their offsets would wait there instead of converting.
class FileSink final : public OutputSink {
 public:
  explicit FileSink(int descriptor) : descriptor_(descriptor) {}

  Status<ConvertFailure> write(std::span<const std::uint8_t> bytes) override;

  bool writes_anywhere(std::size_t /*size*/) const noexcept override { return true; }

 private:
  int descriptor_;
};

// Called on the calling thread now and then with the input bytes converted
// so far and the input's size; returns false to stop the conversion.
using ProgressCheck = std::function<bool(std::uint64_t done, std::uint64_t total)>;

Status<ConvertFailure> convert_csv_parallel(std::span<const std::uint8_t> csv,
                                            const ParallelOptions& options, OutputSink& sink,
                                            const ProgressCheck& progress = {});

}  // namespace vrex::ext
