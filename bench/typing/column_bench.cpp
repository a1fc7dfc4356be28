// Nanoseconds per cell of build_column_slice for each column type, on texts
// shaped like real exports: mixed signs and lengths, prices, measurements,
// identifiers, a few empty cells.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "typing/column.h"
#include "typing/infer.h"

namespace {

using vrex::ValueType;

constexpr std::size_t kCells = 10000;  // one chunk of the default size

struct Texts {
  std::vector<std::string> owned;
  std::vector<std::string_view> views;
};

template <class Generate>
Texts make_texts(Generate generate) {
  std::mt19937_64 random(7);
  Texts texts;
  texts.owned.reserve(kCells);
  for (std::size_t i = 0; i < kCells; ++i) texts.owned.push_back(generate(random));
  texts.views.assign(texts.owned.begin(), texts.owned.end());
  return texts;
}

std::string print(const char* format, auto... values) {
  char buffer[64];
  const int length = std::snprintf(buffer, sizeof buffer, format, values...);
  return std::string(buffer, static_cast<std::size_t>(length));
}

const Texts& bool_texts() {
  static const Texts texts = make_texts([](std::mt19937_64& random) -> std::string {
    static const char* const kWords[] = {"true", "false", "True", "False", "TRUE", "FALSE"};
    return kWords[random() % 6];
  });
  return texts;
}

const Texts& int_texts() {
  static const Texts texts = make_texts([](std::mt19937_64& random) {
    // Counts and identifiers: lengths 1 to 9, a tenth negative.
    const auto magnitude = static_cast<long long>(random() % 1000000000 >> (random() % 28));
    return print("%lld", random() % 10 == 0 ? -magnitude : magnitude);
  });
  return texts;
}

const Texts& long_texts() {
  static const Texts texts = make_texts([](std::mt19937_64& random) {
    // Timestamps in milliseconds, byte counts, large identifiers.
    const auto magnitude = static_cast<long long>(random() >> (1 + random() % 40));
    return print("%lld", random() % 10 == 0 ? -magnitude : magnitude);
  });
  return texts;
}

const Texts& decimal_texts() {
  static const Texts texts = make_texts([](std::mt19937_64& random) -> std::string {
    switch (random() % 8) {
      case 0:  // a measurement printed at full precision
        return print("%.17g", static_cast<double>(random() % 1000000) / 997.0);
      case 1:
        return print("%.3e", static_cast<double>(random() % 100000) * 1e-9);
      case 2:
        return print("-%.2f", static_cast<double>(random() % 1000000) / 100.0);
      default:  // prices and rates
        return print("%.*f", static_cast<int>(random() % 5),
                     static_cast<double>(random() % 10000000) / 1000.0);
    }
  });
  return texts;
}

// Full-precision doubles as a program prints them to round-trip: 15 to 17
// significant digits, beyond the exact short path.
const Texts& full_precision_texts() {
  static const Texts texts = make_texts([](std::mt19937_64& random) {
    return print("%.17g", static_cast<double>(random() % 100000000) / 7919.0);
  });
  return texts;
}

// Prices: a few digits, two decimals, no exponent.
const Texts& short_decimal_texts() {
  static const Texts texts = make_texts([](std::mt19937_64& random) {
    return print("%.2f", static_cast<double>(random() % 10000000) / 100.0);
  });
  return texts;
}

const Texts& string_texts() {
  static const Texts texts = make_texts([](std::mt19937_64& random) -> std::string {
    if (random() % 20 == 0) return "";
    return print("customer-%llu@example.org", static_cast<unsigned long long>(random() % 100000));
  });
  return texts;
}

void run(benchmark::State& state, const Texts& texts, ValueType type) {
  for (auto _ : state) {
    vrex::ColumnSlice slice = vrex::ext::build_column_slice(texts.views, type);
    benchmark::DoNotOptimize(slice);
  }
  state.counters["ns_per_cell"] =
      benchmark::Counter(static_cast<double>(state.iterations() * kCells),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_Bool(benchmark::State& state) { run(state, bool_texts(), ValueType::Bool); }

void BM_Int(benchmark::State& state) { run(state, int_texts(), ValueType::Int); }

void BM_Long(benchmark::State& state) { run(state, long_texts(), ValueType::Long); }

void BM_Float(benchmark::State& state) { run(state, decimal_texts(), ValueType::Float); }

void BM_Double(benchmark::State& state) { run(state, decimal_texts(), ValueType::Double); }

void BM_DoubleFullPrecision(benchmark::State& state) {
  run(state, full_precision_texts(), ValueType::Double);
}

void BM_DoubleShort(benchmark::State& state) {
  run(state, short_decimal_texts(), ValueType::Double);
}

void BM_String(benchmark::State& state) { run(state, string_texts(), ValueType::String); }

void BM_InferDouble(benchmark::State& state) {
  const std::span<const std::string_view> sample(decimal_texts().views.data(), 1000);
  for (auto _ : state) benchmark::DoNotOptimize(vrex::ext::infer_type(sample));
  state.counters["ns_per_cell"] =
      benchmark::Counter(static_cast<double>(state.iterations() * sample.size()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

BENCHMARK(BM_Bool);
BENCHMARK(BM_Int);
BENCHMARK(BM_Long);
BENCHMARK(BM_Float);
BENCHMARK(BM_Double);
BENCHMARK(BM_DoubleFullPrecision);
BENCHMARK(BM_DoubleShort);
BENCHMARK(BM_String);
BENCHMARK(BM_InferDouble);

}  // namespace

BENCHMARK_MAIN();
