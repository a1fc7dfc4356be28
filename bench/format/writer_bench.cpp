// Throughput of the writer on chunks shaped like the ones a conversion writes:
// bytes per second are bytes of output.
#include <benchmark/benchmark.h>

#include <random>
#include <string>

#include "vrex/table.h"
#include "vrex/writer.h"

namespace vrex {
namespace {

ValueArray plain(Object values) { return ValueArray{ValueArray::Plain{std::move(values)}}; }

BoolArray random_flags(std::size_t rows, std::mt19937_64& random) {
  BoolArray flags;
  flags.values.resize(rows);
  for (auto& flag : flags.values) flag = random() % 64 == 0 ? 1 : 0;
  return flags;
}

// One chunk of `rows` rows: a Double, a Long, an Int, a Bool and a String
// column, each with its "IsInvalid" bit array.
TableSlice typical_chunk(std::size_t rows) {
  std::mt19937_64 random(42);
  object::DoubleArray doubles;
  object::LongArray longs;
  object::IntArray ints;
  BoolArray bools;
  object::StringArray texts;
  for (std::size_t row = 0; row < rows; ++row) {
    doubles.values.push_back(static_cast<double>(random() % 100000) / 100.0);
    longs.values.push_back(static_cast<std::int64_t>(random()));
    ints.values.push_back(static_cast<std::int32_t>(random() % 1000));
    bools.values.push_back(random() % 2 == 0 ? 1 : 0);
    texts.values.push_back(std::string(4 + random() % 16, static_cast<char>('a' + row % 26)));
  }
  TableSlice slice;
  for (Object values :
       {Object(std::move(doubles)), Object(std::move(longs)), Object(std::move(ints)),
        Object(std::move(bools)), Object(std::move(texts))}) {
    ColumnSlice column{plain(std::move(values)), {}};
    column.properties.is_invalid = random_flags(rows, random).encode_to_bit_array();
    slice.columns.push_back(std::move(column));
  }
  return slice;
}

void BM_WriteTableSlice(benchmark::State& state) {
  const TableSlice slice = typical_chunk(static_cast<std::size_t>(state.range(0)));
  std::size_t written = 0;
  for (auto _ : state) {
    ByteBuffer buffer;
    VrexWriter writer(buffer);
    if (!writer.write_table_slice(slice)) state.SkipWithError("write failed");
    written = buffer.size();
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * written));
}

BENCHMARK(BM_WriteTableSlice)->Arg(10'000)->Arg(100'000);

void BM_WritePackedTexts(benchmark::State& state) {
  std::mt19937_64 random(7);
  object::StringArray texts;
  for (std::int64_t row = 0; row < state.range(0); ++row) {
    texts.values.push_back(std::string(random() % 24, 'x'));
  }
  const Object values(std::move(texts));
  std::size_t written = 0;
  for (auto _ : state) {
    ByteBuffer buffer;
    VrexWriter writer(buffer);
    if (!writer.write_object(values, true)) state.SkipWithError("write failed");
    written = buffer.size();
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * written));
}

BENCHMARK(BM_WritePackedTexts)->Arg(10'000);

void BM_EncodeToBitArray(benchmark::State& state) {
  std::mt19937_64 random(3);
  const BoolArray flags = random_flags(static_cast<std::size_t>(state.range(0)), random);
  for (auto _ : state) {
    EncodedBitArray bits = flags.encode_to_bit_array();
    benchmark::DoNotOptimize(bits.bytes.data());
  }
  // Booleans read per second.
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_EncodeToBitArray)->Arg(10'000)->Arg(1'000'000);

}  // namespace
}  // namespace vrex

BENCHMARK_MAIN();
