// Reading a file back against writing it from a model built in memory, on a
// table of the four column types a conversion makes, in chunks of 10,000 rows.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "vrex/byte_buffer.h"
#include "vrex/reader.h"
#include "vrex/writer.h"

namespace vrex {
namespace {

constexpr std::size_t kRows = 200000;
constexpr std::size_t kChunk = 10000;

struct Model {
  TableMetadata table;
  std::vector<TableSlice> slices;
};

Model make_model() {
  Model model;
  model.table.metadata.push_back({"TableColumns", object::Int{4}, std::nullopt});
  const char* names[] = {"id", "price", "label", "flag"};
  const ValueType types[] = {ValueType::Int, ValueType::Double, ValueType::String, ValueType::Bool};
  for (int index = 0; index < 4; ++index) {
    ColumnMetadata column;
    column.name = names[index];
    column.data_type = types[index];
    model.table.columns.push_back(column);
  }
  std::mt19937 random(1234);
  for (std::size_t start = 0; start < kRows; start += kChunk) {
    object::IntArray ids;
    object::DoubleArray prices;
    object::StringArray labels;
    BoolArray flags;
    BoolArray invalid;
    for (std::size_t row = start; row < start + kChunk; ++row) {
      ids.values.push_back(static_cast<std::int32_t>(row));
      prices.values.push_back(static_cast<double>(random() % 100000) / 100.0);
      labels.values.push_back("label-" + std::to_string(random() % 5000));
      flags.values.push_back(static_cast<std::uint8_t>(random() & 1));
      invalid.values.push_back(random() % 50 == 0 ? 1 : 0);
    }
    TableSlice slice;
    slice.columns.resize(4);
    slice.columns[0].values.encoding = ValueArray::Plain{std::move(ids)};
    slice.columns[1].values.encoding = ValueArray::Plain{std::move(prices)};
    slice.columns[1].properties.is_invalid = invalid.encode_to_bit_array();
    slice.columns[2].values.encoding = ValueArray::Plain{std::move(labels)};
    slice.columns[3].values.encoding = ValueArray::Plain{std::move(flags)};
    model.slices.push_back(std::move(slice));
  }
  return model;
}

const Model& model() {
  static const Model instance = make_model();
  return instance;
}

ByteBuffer write_model(const Model& source) {
  ByteBuffer buffer;
  VrexWriter writer(buffer);
  (void)writer.write_section_id(SectionType::FileHeader);
  (void)writer.write_file_header(1, 0);
  (void)writer.write_section_id(SectionType::TableMetadata);
  (void)writer.write_table_metadata(source.table);
  for (const TableSlice& slice : source.slices) {
    (void)writer.write_section_id(SectionType::TableSlice);
    (void)writer.write_table_slice(slice);
  }
  (void)writer.write_section_id(SectionType::TableEnd);
  return buffer;
}

void BM_WriteFile(benchmark::State& state) {
  std::size_t bytes = 0;
  for (auto _ : state) {
    ByteBuffer buffer = write_model(model());
    bytes = buffer.size();
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

void BM_ReadFile(benchmark::State& state) {
  const ByteBuffer file = write_model(model());
  for (auto _ : state) {
    auto read = read_vrex(file.bytes());
    if (!read) state.SkipWithError("read failed");
    benchmark::DoNotOptimize(read->num_rows);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * file.size()));
}

BENCHMARK(BM_WriteFile)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadFile)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vrex

BENCHMARK_MAIN();
