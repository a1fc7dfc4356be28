// Worker memory kept from one parallel conversion for the next.
//
// Each worker has a converter (a chunk's typed values) and writes each
// chunk's section into a buffer of its own. On a wide table these are
// megabytes, and every fresh page costs a fault that, in a virtual machine,
// takes longer than writing the page: calls that follow each other would pay
// for the same memory again and again. So what a call's workers end with is
// kept, a few of each and within bounds, and handed to the next call; ten
// seconds after the last call it is given back. Calls in a loop often do
// other work in between (read the next file, write the last result) that
// takes more than a second; and a helper's memory, unlike the calling
// thread's, lies in an allocator arena that gives freed pages back at once,
// so that a helper of the next call would fault all of it in again. Ten
// seconds is about as long as common allocators keep freed pages.
//
// A converter a call has just filled lies in the cache of the core that
// filled it. Where cores do not share their last cache, a thread on another
// core writing there waits for each line to come across: on a 2-core
// machine whose cores are 170 ns apart, calls alternating between one thread
// and two handed the calling thread's converter to the helper, whose first
// wide chunk then took half as long again as its next. So a thread takes,
// among the converters that fit, one last used on its own core if any is.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "pipeline/chunk_converter.h"
#include "vrex/byte_buffer.h"
#include "vrex/enums.h"

namespace vrex::ext {

class WarmMemory {
 public:
  static constexpr std::size_t kMostSections = 16;
  static constexpr std::size_t kMostSectionBytes = std::size_t{256} << 20;
  static constexpr std::size_t kMostConverters = 8;
  // Converters whose chunks hold more cells than this are not kept.
  static constexpr std::uint64_t kMostConverterCells = std::uint64_t{4} << 20;
  static constexpr std::chrono::milliseconds kKeptFor{10000};

  // The one store of the process.
  static WarmMemory& process_wide();

  // A kept section buffer (empty, with its room), or a new one without room.
  ByteBuffer take_section();

  // A kept converter for these column types and chunk size, now reading
  // `input`; none when no such converter is kept.
  std::optional<ChunkConverter> take_converter(std::span<const std::uint8_t> input,
                                               std::span<const ValueType> types,
                                               std::uint64_t chunk_size);

  // The same, taking over `rows` as its queue when one is found (`rows` is
  // left as it was otherwise).
  std::optional<ChunkConverter> take_converter(RowQueue& rows, std::span<const ValueType> types,
                                               std::uint64_t chunk_size);

  // Keeps the largest of `sections` within the bounds, for kKeptFor from now.
  void keep_sections(std::vector<ByteBuffer> sections);

  // Keeps a converter between chunks (none queued) for kKeptFor from now.
  void keep_converter(ChunkConverter converter, std::span<const ValueType> types,
                      std::uint64_t chunk_size);

  // Gives everything kept back now.
  void release();

  // What is kept: for tests.
  std::size_t kept_section_bytes();
  std::size_t kept_converters();

 private:
  struct KeptConverter {
    std::vector<ValueType> types;  // the converter reads its types from here while kept
    std::uint64_t chunk_size;
    int core;  // the core it was kept on, -1 when unknown
    ChunkConverter converter;
  };

  WarmMemory() = default;

  std::optional<KeptConverter> take_kept(std::span<const ValueType> types,
                                         std::uint64_t chunk_size);

  // Moves the deadline on and starts a thread to wait for it if none waits.
  // Called with the lock held; returns false if no thread could be started.
  bool keep_until_later();
  void wait_and_release();

  std::mutex mutex_;
  std::condition_variable deadline_moved_;  // waited on until the deadline, which may move on
  std::vector<ByteBuffer> sections_;
  std::vector<KeptConverter> converters_;
  std::chrono::steady_clock::time_point release_at_{};
  long releaser_process_ = 0;  // the process whose releasing thread waits; 0 for none
};

}  // namespace vrex::ext
