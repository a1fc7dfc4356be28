// Splitting plus UTF-8 validation, in MB/s of input, on generated data sets
// shaped like real exports.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>

#include "csv/csv_reader.h"

namespace vrex::ext {
namespace {

constexpr std::size_t kDataSize = 32 << 20;

std::string header(int columns) {
  std::string line;
  for (int c = 0; c < columns; ++c) line += (c ? ",col" : "col") + std::to_string(c);
  return line + "\n";
}

// Integers and decimals, ten columns.
std::string numeric_data() {
  std::mt19937_64 random(1);
  std::string data = header(10);
  while (data.size() < kDataSize) {
    for (int c = 0; c < 10; ++c) {
      if (c) data += ',';
      if (c % 3 == 2) {
        data += std::to_string(random() % 100000) + "." + std::to_string(random() % 1000);
      } else {
        data += std::to_string(random() % 1000000);
      }
    }
    data += '\n';
  }
  return data;
}

// Quoted sentences with commas, the odd doubled quote and line break.
std::string quoted_text_data() {
  std::mt19937_64 random(2);
  static const char* kWords[] = {"alpha", "beta,",  "gamma",      "delta",       "the",   "of",
                                 "and",   "report", "\"quoted\"", "line\nbreak", "value", "north"};
  std::string data = header(4);
  while (data.size() < kDataSize) {
    for (int c = 0; c < 4; ++c) {
      if (c) data += ',';
      data += '"';
      const int words = 2 + static_cast<int>(random() % 10);
      for (int w = 0; w < words; ++w) {
        std::string word = kWords[random() % std::size(kWords)];
        for (char ch : word) {
          data += ch;
          if (ch == '"') data += '"';
        }
        data += ' ';
      }
      data += '"';
    }
    data += "\r\n";
  }
  return data;
}

// Ids, names with some non-ASCII letters, dates, amounts, flags, empty cells.
std::string mixed_data() {
  std::mt19937_64 random(3);
  static const char* kNames[] = {"Ann",
                                 "Bj\xC3\xB6rn",
                                 "Zo\xC3\xAB",
                                 "Li Wei",
                                 "\"Smith, J\"",
                                 "Ren\xC3\xA9",
                                 "O'Brien",
                                 "Mar\xC3\xAD"
                                 "a"};
  std::string data = header(7);
  std::uint64_t id = 0;
  while (data.size() < kDataSize) {
    data += std::to_string(++id) + ',' + kNames[random() % std::size(kNames)] + ",2024-" +
            std::to_string(1 + random() % 12) + "-" + std::to_string(1 + random() % 28) + ',' +
            std::to_string(random() % 10000) + "." + std::to_string(random() % 100) + ',' +
            (random() % 2 ? "true" : "false") + ',' + (random() % 4 ? "" : "n/a") + ",city" +
            std::to_string(random() % 500) + "\n";
  }
  return data;
}

// Two hundred short columns per record.
std::string wide_data() {
  std::mt19937_64 random(4);
  std::string data = header(200);
  while (data.size() < kDataSize) {
    for (int c = 0; c < 200; ++c) {
      if (c) data += ',';
      data += std::to_string(random() % 1000);
    }
    data += '\n';
  }
  return data;
}

void read_everything(benchmark::State& state, const std::string& data) {
  const auto scan = static_cast<CsvScan>(state.range(0));
  const std::span<const std::uint8_t> input(reinterpret_cast<const std::uint8_t*>(data.data()),
                                            data.size());
  std::size_t fields = 0;
  for (auto _ : state) {
    CsvReader reader(input, scan);
    if (!reader.read_header()) state.SkipWithError("header failed");
    for (;;) {
      auto more = reader.read_record();
      if (!more) {
        state.SkipWithError("record failed");
        break;
      }
      if (!*more) break;
      fields += reader.fields().size();
    }
    benchmark::DoNotOptimize(fields);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}

#define VREX_CSV_BENCH(name, make)                \
  void name(benchmark::State& state) {            \
    static const std::string data = make();       \
    read_everything(state, data);                 \
  }                                               \
  BENCHMARK(name)                                 \
      ->Arg(static_cast<int>(CsvScan::Reference)) \
      ->Arg(static_cast<int>(CsvScan::Sse2))      \
      ->Arg(static_cast<int>(CsvScan::Avx2))      \
      ->Arg(static_cast<int>(CsvScan::Avx512))    \
      ->Unit(benchmark::kMillisecond)

VREX_CSV_BENCH(Numeric, numeric_data);
VREX_CSV_BENCH(QuotedText, quoted_text_data);
VREX_CSV_BENCH(Mixed, mixed_data);
VREX_CSV_BENCH(Wide, wide_data);

}  // namespace
}  // namespace vrex::ext

BENCHMARK_MAIN();
