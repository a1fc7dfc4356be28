#include "pipeline/pipeline.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/vrex_validator.h"

namespace vrex::ext {
namespace {

std::span<const std::uint8_t> bytes_of(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

testing::ValidatedFile convert_and_validate(const std::string& csv, std::uint64_t chunk_size,
                                            std::uint64_t sample_rows) {
  auto converted = convert_csv(bytes_of(csv), chunk_size, sample_rows);
  EXPECT_TRUE(converted) << (converted ? "" : converted.error());
  if (!converted) return {};
  testing::VrexValidator validator(converted->bytes());
  auto file = validator.validate();
  EXPECT_TRUE(file) << validator.error();
  return file.value_or(testing::ValidatedFile{});
}

TEST(ConvertCsv, RefusesChunkSizeZeroBeforeReading) {
  auto converted = convert_csv(bytes_of("\xff\n"), 0, 10);
  ASSERT_FALSE(converted);
  EXPECT_EQ(converted.error(), "chunk_size must be at least 1");
}

TEST(ConvertCsv, WideHeaderWithShortRowsIsPadded) {
  std::string csv;
  for (int column = 0; column < 3000; ++column)
    csv += (column ? ",c" : "c") + std::to_string(column);
  csv += "\n";
  for (int row = 0; row < 700; ++row) csv += std::to_string(row) + "\n";
  auto file = convert_and_validate(csv, 256, 1000);
  EXPECT_EQ(file.column_count, 3000u);
  EXPECT_EQ(file.slice_rows, (std::vector<std::uint64_t>{256, 256, 188}));
  EXPECT_EQ(file.column_types[0], 0x02);
  EXPECT_EQ(file.column_types[2999], 0x0A);  // all empty in the sample: String
}

TEST(ConvertCsv, EveryCorpusFileConvertsOrFailsWithAStagePrefix) {
  std::filesystem::path corpus = VREX_CORPUS_DIR;
  if (!std::filesystem::is_directory(corpus)) GTEST_SKIP() << "no corpus beside the project";
  int converted_files = 0, refused_files = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(corpus)) {
    if (!entry.is_regular_file() || entry.path().extension() != ".csv") continue;
    std::ifstream stream(entry.path(), std::ios::binary);
    std::string csv((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    SCOPED_TRACE(entry.path().string());
    auto converted = convert_csv(bytes_of(csv), 1000, 100);
    if (!converted) {
      ++refused_files;
      EXPECT_TRUE(converted.error().starts_with("CSV parse error: ") ||
                  converted.error().starts_with("CSV header error: "))
          << converted.error();
      continue;
    }
    ++converted_files;
    testing::VrexValidator validator(converted->bytes());
    EXPECT_TRUE(validator.validate()) << validator.error();
  }
  EXPECT_GT(converted_files, 0);
  std::printf("corpus: %d converted, %d refused for invalid UTF-8\n", converted_files,
              refused_files);
}

}  // namespace
}  // namespace vrex::ext
