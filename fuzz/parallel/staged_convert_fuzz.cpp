// Arbitrary bytes through the staged conversion, stage by stage, with the
// summaries sent as bytes: it must give exactly what the one-thread
// conversion gives. Chunk, sample, stretch and sub-block sizes come from the
// first four bytes. The same bytes, read as a summary from elsewhere, must be
// refused or joined without a fault.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "parallel/staged_convert.h"
#include "pipeline/pipeline.h"

namespace {

using namespace vrex::ext;

std::string text_of(std::span<const std::uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::string staged(std::span<const std::uint8_t> csv, std::uint64_t chunk, std::uint64_t sample,
                   std::uint64_t stretch, std::size_t sub_block) {
  auto start = convert_table_start(csv, chunk, sample);
  if (!start) return "error:" + start.error();
  std::string file = "ok:" + text_of(start->bytes.bytes());
  if (!start->complete) {
    std::vector<StretchSummary> summaries;
    for (std::uint64_t begin = start->rest.byte; begin < csv.size(); begin += stretch) {
      const auto bytes = csv.subspan(begin, std::min<std::uint64_t>(stretch, csv.size() - begin));
      summaries.push_back(
          *decode_stretch_summary(encode_stretch_summary(summarize_stretch(bytes, sub_block))));
    }
    auto joined = join_stretches(*start, csv.size(), stretch, chunk, summaries);
    if (!joined) return "join refused:" + joined.error();
    for (const PartJob& job : joined->jobs) {
      vrex::ByteBuffer piece;
      BufferSink sink(piece);
      auto converted = convert_part(csv, start->types, chunk, job, sink);
      if (!converted) return "error:" + converted.error().message;
      file += text_of(piece.bytes());
    }
  }
  return file + text_of(table_end_bytes()->bytes());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const std::uint64_t chunk_size = 1 + data[0] % 8;
  const std::uint64_t sample_rows = data[1] % 12;
  const std::uint64_t stretch = 1 + data[2] % 97;
  const std::size_t sub_block = 1 + data[3] % 13;
  std::span<const std::uint8_t> csv(data + 4, size - 4);

  // Summaries from elsewhere: arbitrary numbers must never fault the join.
  if (auto summary =
          decode_stretch_summary(csv.first(std::min(csv.size(), kStretchSummaryBytes)))) {
    const std::vector<StretchSummary> one = {*summary};
    (void)join_stretches(CsvPosition{0, 1, 1}, 0, stretch, stretch, chunk_size, one);
  }

  // Short rows are padded to the header's width: keep each run to a couple
  // of million cells, as the one-thread target does.
  std::uint64_t line_ends = 1, commas = 1;
  for (std::uint8_t byte : csv) {
    line_ends += (byte == '\n') | (byte == '\r');
    commas += byte == ',';
  }
  if (line_ends * commas > 500'000) return 0;

  auto converted = convert_csv(csv, chunk_size, sample_rows);
  const std::string expected =
      converted ? "ok:" + text_of(converted->bytes()) : "error:" + converted.error();
  if (staged(csv, chunk_size, sample_rows, stretch, sub_block) != expected) {
    std::fprintf(stderr, "stretch %llu, sub-block %zu: the staged conversion differs\n",
                 static_cast<unsigned long long>(stretch), sub_block);
    std::abort();
  }
  return 0;
}
