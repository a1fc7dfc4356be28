// Types inferred by several threads sharing the columns must be the types
// the plain inference gives each column's sampled texts.
#include "parallel/shared_inference.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "csv/csv_reader.h"
#include "pipeline/pipeline.h"
#include "typing/infer.h"

namespace vrex::ext {
namespace {

std::span<const std::uint8_t> bytes_of(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// A header and rows whose columns lean each to one type, with now and then a
// cell of another (and short rows, whose missing cells are empty).
std::string random_table(std::mt19937_64& random, std::size_t columns, std::size_t rows) {
  const std::vector<std::vector<std::string_view>> leanings = {{"1", "-42", "", "7"},
                                                               {"2147483648", "-9", "12345678901"},
                                                               {"3.25", "1e5", "-0", "0.1"},
                                                               {"true", "FALSE", " True "},
                                                               {"word", "\"a,b\"", "\"x\"\"y\""},
                                                               {""}};
  std::string csv;
  for (std::size_t column = 0; column < columns; ++column) {
    csv += column == 0 ? "c" : ",c";
    csv += std::to_string(column);
  }
  csv += '\n';
  for (std::size_t row = 0; row < rows; ++row) {
    const std::size_t fields = random() % 50 == 0 ? random() % columns + 1 : columns;
    for (std::size_t column = 0; column < fields; ++column) {
      if (column > 0) csv += ',';
      const auto& cells = leanings[(column + random() % 997 / 996) % leanings.size()];
      csv += cells[random() % cells.size()];
    }
    csv += '\n';
  }
  return csv;
}

// The plain reference: each column's texts, whole, through infer_type().
std::vector<ValueType> plain_types(const RowQueue& sample, std::size_t columns) {
  std::vector<ValueType> types;
  std::vector<PaddedText> padded(sample.size());
  for (std::size_t column = 0; column < columns; ++column) {
    sample.gather_column(0, sample.size(), column, padded.data());
    const std::vector<std::string_view> texts(padded.begin(), padded.end());
    types.push_back(infer_type(texts));
  }
  return types;
}

TEST(SharedInference, AnyNumberOfThreadsGivesThePlainTypes) {
  std::mt19937_64 random(7);
  for (const std::size_t columns : {1, 7, 8, 9, 37, 200}) {
    for (const unsigned threads : {1U, 2U, 4U}) {
      const std::string csv = random_table(random, columns, 300);
      CsvReader reader(bytes_of(csv));
      auto plan = read_table_sample(bytes_of(csv), reader, 250);
      ASSERT_TRUE(plan);
      const std::vector<ValueType> expected = plain_types(plan->sample, columns);
      ASSERT_EQ(infer_column_types(plan->sample, columns), expected);

      SharedInference inference(plan->sample, columns);
      std::vector<std::jthread> helpers;
      for (unsigned helper = 1; helper < threads; ++helper) {
        helpers.emplace_back([&] { inference.take_part(); });
      }
      EXPECT_EQ(inference.types(), expected) << columns << " columns, " << threads << " threads";
    }
  }
}

// A helper that comes once every group is taken reads nothing: the sample
// may be gone by then (AddressSanitizer would see a read).
TEST(SharedInference, ALateHelperReadsNothing) {
  std::mt19937_64 random(11);
  const std::string csv = random_table(random, 20, 40);
  std::optional<RowQueue> sample;
  {
    CsvReader reader(bytes_of(csv));
    auto plan = read_table_sample(bytes_of(csv), reader, 40);
    ASSERT_TRUE(plan);
    sample.emplace(std::move(plan->sample));
  }
  auto inference = std::make_unique<SharedInference>(*sample, 20);
  const std::vector<ValueType> types = inference->types();
  EXPECT_EQ(types, plain_types(*sample, 20));
  sample.reset();
  inference->take_part();
}

}  // namespace
}  // namespace vrex::ext
