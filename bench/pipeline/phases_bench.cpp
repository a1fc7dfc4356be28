// Where a conversion spends its time, phase by phase, on the end-to-end
// benchmark's data sets (bash scripts/bench.sh writes them). Each phase runs
// over a whole data set so its MB/s compares directly with the whole call:
//
//   Split      the fast splitter alone: records and fields, no UTF-8 check
//   Read       the CSV reader: splitting plus the UTF-8 check of non-ASCII records
//   Queue      reading plus the row queue: pushing rows, gathering columns per chunk
//   Convert    a column slice of every column of every chunk, as the pipeline builds
//              them (texts gathered beforehand, padded like the queue's)
//   Write      write_column_slice of every column slice (slices built beforehand)
//   Fresh pages  one write to each 4 KiB page of a fresh block the output's size:
//              what the first touch of the result's pages costs (the result is
//              written in place, so each output page is touched fresh once)
//   Whole      convert_csv with the default sizes, into a fresh output like the module's
//
// Fresh pages and Whole also count, per call, the system time and the minor
// page faults of the thread.
//
// Data: VREX_BENCH_DATA (default build/bench-data), VREX_BENCH_MB (default 100)
// and VREX_BENCH_SETS (default all: "numeric text mixed wide trips").
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "csv/block_classifier.h"
#include "csv/csv_reader.h"
#include "csv/fast_splitter.h"
#include "pipeline/pipeline.h"
#include "pipeline/row_queue.h"
#include "support/padded_texts.h"
#include "typing/column.h"
#include "typing/infer.h"
#include "vrex/writer.h"

namespace {

using vrex::ByteBuffer;
using vrex::ColumnSlice;
using vrex::ValueType;
using vrex::VrexWriter;
using vrex::ext::CsvReader;
using vrex::ext::kDefaultChunkSize;
using vrex::ext::kDefaultSampleRows;

using Bytes = std::vector<std::uint8_t>;

std::span<const std::uint8_t> view(const Bytes& bytes) { return {bytes.data(), bytes.size()}; }

void count_bytes(benchmark::State& state, const Bytes& input) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
}

// System time and minor page faults of this thread since construction,
// reported per iteration.
class PageFaultCounter {
 public:
  PageFaultCounter() noexcept { getrusage(RUSAGE_THREAD, &start_); }

  void report(benchmark::State& state) const {
    rusage end{};
    getrusage(RUSAGE_THREAD, &end);
    const double iterations = static_cast<double>(state.iterations());
    const double system_ms =
        static_cast<double>(end.ru_stime.tv_sec - start_.ru_stime.tv_sec) * 1e3 +
        static_cast<double>(end.ru_stime.tv_usec - start_.ru_stime.tv_usec) / 1e3;
    state.counters["sys_ms"] = system_ms / iterations;
    state.counters["minor_faults"] =
        static_cast<double>(end.ru_minflt - start_.ru_minflt) / iterations;
  }

 private:
  rusage start_{};
};

void split(benchmark::State& state, const Bytes* input) {
  vrex::ext::FieldList fields;
  std::size_t records = 0;
  for (auto _ : state) {
    vrex::ext::FastSplitter splitter(view(*input),
                                     vrex::ext::select_classifier(vrex::ext::CsvScan::Best));
    std::size_t cursor = 0;
    records = 0;
    while (true) {
      fields.clear();
      const vrex::ext::SplitOutcome outcome = splitter.split(cursor, fields);
      if (!outcome.found) break;
      fields.finish();
      cursor = outcome.next;
      ++records;
    }
    benchmark::DoNotOptimize(records);
  }
  count_bytes(state, *input);
  state.counters["records"] = static_cast<double>(records);
}

void read(benchmark::State& state, const Bytes* input) {
  for (auto _ : state) {
    CsvReader reader(view(*input));
    if (!reader.read_header()) state.SkipWithError("header failed");
    while (true) {
      auto more = reader.read_record();
      if (!more || !*more) break;
      benchmark::DoNotOptimize(reader.fields().data());
    }
  }
  count_bytes(state, *input);
}

// Column types as the pipeline infers them from the first sampled rows.
std::vector<ValueType> infer_types(const Bytes& input, std::size_t& column_count) {
  CsvReader reader(view(input));
  (void)reader.read_header();
  column_count = reader.fields().size();
  vrex::ext::RowQueue sample(view(input), column_count);
  (void)sample.read_until(reader, kDefaultSampleRows);
  std::vector<vrex::PaddedText> texts(sample.size());
  std::vector<ValueType> types;
  for (std::size_t column = 0; column < column_count; ++column) {
    sample.gather_column(0, texts.size(), column, texts.data());
    vrex::ext::TypeInference inference;
    inference.add(std::span<const vrex::PaddedText>(texts));
    types.push_back(inference.type());
  }
  return types;
}

// Streams every record through a row queue and hands each chunk's column texts to `use`.
template <class Use>
void for_each_chunk_column(const Bytes& input, std::size_t column_count, Use&& use) {
  CsvReader reader(view(input));
  (void)reader.read_header();
  vrex::ext::RowQueue queue(view(input), column_count);
  std::vector<vrex::PaddedText> texts(kDefaultChunkSize);
  while (true) {
    (void)queue.read_until(reader, kDefaultChunkSize);
    const std::size_t rows = queue.size();
    if (rows == 0) break;
    for (std::size_t column = 0; column < column_count; ++column) {
      queue.gather_column(0, rows, column, texts.data());
      use(column, std::span<const vrex::PaddedText>(texts.data(), rows));
    }
    queue.pop_front(rows);
  }
}

void queue(benchmark::State& state, const Bytes* input) {
  std::size_t column_count = 0;
  infer_types(*input, column_count);
  for (auto _ : state) {
    for_each_chunk_column(*input, column_count,
                          [](std::size_t, auto texts) { benchmark::DoNotOptimize(texts.data()); });
  }
  count_bytes(state, *input);
}

// Every chunk's column texts, gathered once: padded copies per chunk column,
// which outlive the queue.
struct GatheredColumns {
  std::vector<ValueType> types;
  std::vector<std::unique_ptr<vrex::testing::PaddedTexts>>
      texts;                         // chunk after chunk, column after column
  std::vector<std::size_t> columns;  // the column of each entry of `texts`
};

const GatheredColumns& gathered(const Bytes& input) {
  static const Bytes* cached_for = nullptr;
  static GatheredColumns cached;
  if (cached_for != &input) {
    cached = {};
    std::size_t column_count = 0;
    cached.types = infer_types(input, column_count);
    for_each_chunk_column(input, column_count, [&](std::size_t column, auto texts) {
      cached.texts.push_back(std::make_unique<vrex::testing::PaddedTexts>(texts));
      cached.columns.push_back(column);
    });
    cached_for = &input;
  }
  return cached;
}

void convert(benchmark::State& state, const Bytes* input) {
  const GatheredColumns& columns = gathered(*input);
  for (auto _ : state) {
    for (std::size_t entry = 0; entry < columns.texts.size(); ++entry) {
      const std::span<const vrex::PaddedText> texts = columns.texts[entry]->texts();
      vrex::ext::ColumnSliceBuilder builder(columns.types[columns.columns[entry]], texts.size());
      builder.append(texts);
      const ColumnSlice& slice = builder.finish();
      benchmark::DoNotOptimize(&slice);
    }
  }
  count_bytes(state, *input);
}

void write(benchmark::State& state, const Bytes* input) {
  const GatheredColumns& columns = gathered(*input);
  std::vector<ColumnSlice> slices;
  slices.reserve(columns.texts.size());
  for (std::size_t entry = 0; entry < columns.texts.size(); ++entry) {
    vrex::ext::ColumnSliceBuilder builder(columns.types[columns.columns[entry]], 0);
    builder.append(columns.texts[entry]->texts());
    slices.push_back(std::move(builder).finish());
  }
  std::size_t output_size = 0;
  for (auto _ : state) {
    ByteBuffer output;
    VrexWriter writer(output);
    for (const ColumnSlice& slice : slices) {
      if (!writer.write_column_slice(slice)) state.SkipWithError("write failed");
    }
    benchmark::DoNotOptimize(output.data());
    output_size = output.size();
  }
  count_bytes(state, *input);
  state.counters["output_MB"] = static_cast<double>(output_size) / 1e6;
}

void fresh_pages(benchmark::State& state, const Bytes* input) {
  auto output = vrex::ext::convert_csv(view(*input), kDefaultChunkSize, kDefaultSampleRows);
  if (!output) {
    state.SkipWithError(output.error().c_str());
    return;
  }
  constexpr std::size_t kPageSize = 4096;
  const std::size_t size = output->size();
  const PageFaultCounter faults;
  for (auto _ : state) {
    // Like the result object: fresh memory each time, each page touched once.
    std::unique_ptr<std::uint8_t[]> result = std::make_unique_for_overwrite<std::uint8_t[]>(size);
    for (std::size_t offset = 0; offset < size; offset += kPageSize) result[offset] = 1;
    benchmark::DoNotOptimize(result.get());
  }
  faults.report(state);
  count_bytes(state, *input);
}

void whole(benchmark::State& state, const Bytes* input) {
  std::size_t output_size = 0;
  const PageFaultCounter faults;
  for (auto _ : state) {
    auto output = vrex::ext::convert_csv(view(*input), kDefaultChunkSize, kDefaultSampleRows);
    if (!output)
      state.SkipWithError(output.error().c_str());
    else
      output_size = output->size();
  }
  faults.report(state);
  count_bytes(state, *input);
  state.counters["output_MB"] = static_cast<double>(output_size) / 1e6;
}

Bytes read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  if (!file) return {};
  Bytes bytes(static_cast<std::size_t>(file.tellg()));
  file.seekg(0);
  file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  const char* data_dir = std::getenv("VREX_BENCH_DATA");
  const char* size_mb = std::getenv("VREX_BENCH_MB");
  const std::string folder = data_dir ? data_dir : "build/bench-data";
  const std::string size = size_mb ? size_mb : "100";

  // Kept alive for the whole run: the benchmarks point at them.
  static std::vector<std::pair<std::string, Bytes>> inputs;
  const char* only = std::getenv("VREX_BENCH_SETS");
  for (const char* name : {"numeric", "text", "mixed", "wide", "trips"}) {
    if (only != nullptr && std::string_view(only).find(name) == std::string_view::npos) continue;
    Bytes bytes = read_file(folder + "/" + name + "-" + size + "mb.csv");
    if (!bytes.empty()) inputs.emplace_back(name, std::move(bytes));
  }
  if (inputs.empty()) {
    std::fprintf(stderr, "no data sets in %s (bash scripts/bench.sh makes them)\n", folder.c_str());
    return 0;
  }
  inputs.shrink_to_fit();

  struct Phase {
    const char* name;
    void (*run)(benchmark::State&, const Bytes*);
  };

  const Phase phases[] = {{"Split", split},     {"Read", read},   {"Queue", queue},
                          {"Convert", convert}, {"Write", write}, {"Fresh pages", fresh_pages},
                          {"Whole", whole}};
  for (const auto& [name, bytes] : inputs) {
    for (const Phase& phase : phases) {
      benchmark::RegisterBenchmark((std::string(phase.name) + "/" + name).c_str(), phase.run,
                                   &bytes)
          ->Unit(benchmark::kMillisecond);
    }
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
