// Arbitrary bytes through the parallel conversion with several part sizes,
// thread counts and tile sizes: each must give exactly what the one-thread conversion
// gives, the same bytes or the same message. Chunk and sample sizes come
// from the first two bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

#include "parallel/parallel_convert.h"
#include "pipeline/pipeline.h"

namespace {

std::string outcome(const vrex::Result<vrex::ByteBuffer, std::string>& converted) {
  if (!converted) return "error:" + converted.error();
  return "ok:" + std::string(reinterpret_cast<const char*>(converted->data()), converted->size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint64_t chunk_size = 1 + data[0] % 8;
  const std::uint64_t sample_rows = data[1] % 12;
  std::span<const std::uint8_t> csv(data + 2, size - 2);

  // Short rows are padded to the header's width: keep each run to a couple
  // of million cells, as the one-thread target does.
  std::uint64_t line_ends = 1, commas = 1;
  for (std::uint8_t byte : csv) {
    line_ends += (byte == '\n') | (byte == '\r');
    commas += byte == ',';
  }
  if (line_ends * commas > 500'000) return 0;

  const std::string expected = outcome(vrex::ext::convert_csv(csv, chunk_size, sample_rows));

  // Tiles of a row or two let a thread with nothing left take the last rows
  // of a chunk under way, which chunks this short allow. An output with room
  // has chunks written in place, the last ones by two threads at once, with
  // its pages faulted in ahead or by each writing thread.
  using vrex::ext::ResultFaults;

  struct Cut {
    unsigned threads;
    std::size_t part_size;
    std::size_t tile_rows;
    bool room;
    ResultFaults faults = ResultFaults::AheadOnCallingThread;
  };

  for (Cut cut :
       {Cut{1, 1, 0, false}, Cut{2, 1, 0, false}, Cut{3, 7, 1, true, ResultFaults::AsWritten},
        Cut{2, 64, 1, false}, Cut{2, 64, 1, true}, Cut{3, 64, 2, false},
        Cut{2, vrex::ext::kDefaultPartSize, 0, true, ResultFaults::AsWritten}}) {
    vrex::ByteBuffer output;
    if (cut.room) output.reserve(4096 + 8 * csv.size());
    vrex::ext::BufferSink sink(output);
    auto converted = vrex::ext::convert_csv_parallel(
        csv, {chunk_size, sample_rows, cut.threads, cut.part_size, 1, cut.tile_rows, cut.faults},
        sink);
    const std::string got =
        converted ? "ok:" + std::string(reinterpret_cast<const char*>(output.data()), output.size())
                  : "error:" + converted.error().message;
    if (got != expected) {
      std::fprintf(stderr,
                   "threads %u, part size %zu, tile rows %zu, room %d: the parallel conversion "
                   "differs\n",
                   cut.threads, cut.part_size, cut.tile_rows, cut.room ? 1 : 0);
      std::abort();
    }
  }
  return 0;
}
