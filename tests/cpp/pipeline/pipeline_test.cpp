#include "pipeline/pipeline.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "csv/csv_reader.h"
#include "support/vrex_validator.h"
#include "typing/column.h"
#include "typing/infer.h"
#include "vrex/writer.h"

namespace vrex::ext {
namespace {

std::string testing_label(std::size_t columns, std::size_t chunk_size) {
  return std::to_string(columns) + " columns, chunk_size " + std::to_string(chunk_size);
}

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

// The plain way to the same file: rows as owned texts, one whole column at a
// time, the model written by write_table_slice.
std::string reference_conversion(const std::string& csv, std::size_t chunk_size,
                                 std::size_t sample_rows) {
  CsvReader reader(bytes_of(csv));
  EXPECT_TRUE(reader.read_header());
  std::vector<std::string> names(reader.fields().begin(), reader.fields().end());
  std::vector<std::vector<std::string>> rows;
  while (true) {
    auto more = reader.read_record();
    EXPECT_TRUE(more);
    if (!more || !*more) break;
    std::vector<std::string> row(names.size());
    for (std::size_t c = 0; c < names.size() && c < reader.fields().size(); ++c) {
      row[c] = std::string(reader.fields()[c]);
    }
    rows.push_back(std::move(row));
  }
  auto column_texts = [&](std::size_t c, std::size_t first, std::size_t count) {
    std::vector<std::string_view> texts;
    for (std::size_t r = first; r < first + count; ++r) texts.push_back(rows[r][c]);
    return texts;
  };
  TableMetadata table;
  table.metadata.push_back(
      {"TableColumns", Object(object::Int{static_cast<std::int32_t>(names.size())}), {}});
  for (std::size_t c = 0; c < names.size(); ++c) {
    table.columns.push_back(
        {names[c], {}, infer_type(column_texts(c, 0, std::min(sample_rows, rows.size())))});
  }
  ByteBuffer output;
  VrexWriter writer(output);
  EXPECT_TRUE(writer.write_section_id(SectionType::FileHeader));
  EXPECT_TRUE(writer.write_file_header(1, 0));
  EXPECT_TRUE(writer.write_section_id(SectionType::TableMetadata));
  EXPECT_TRUE(writer.write_table_metadata(table));
  for (std::size_t first = 0; first < rows.size(); first += chunk_size) {
    TableSlice slice;
    std::size_t count = std::min(chunk_size, rows.size() - first);
    for (std::size_t c = 0; c < names.size(); ++c) {
      slice.columns.push_back(
          build_column_slice(column_texts(c, first, count), table.columns[c].data_type));
    }
    EXPECT_TRUE(writer.write_section_id(SectionType::TableSlice));
    EXPECT_TRUE(writer.write_table_slice(slice));
  }
  EXPECT_TRUE(writer.write_section_id(SectionType::TableEnd));
  return std::string(reinterpret_cast<const char*>(output.data()), output.size());
}

// Tables with a text column, and tables of numbers only, whose converted
// rows leave the queue tile by tile; samples larger and smaller than a chunk.
TEST(ConvertCsv, MatchesThePlainWayOnRandomTables) {
  std::mt19937_64 random(1234);
  const std::vector<std::string_view> cells = {
      "",      "1",    "-42",     "2147483648", "3.25", "1e5", "true",
      "FALSE", "word", "\"a,b\"", "\"x\"\"y\"", " 7",   "nan", "caf\xC3\xA9"};
  // Numbers only: each column keeps to one group, so no column reads as text.
  const std::vector<std::vector<std::string_view>> number_groups = {
      {"1", "-42", "\"7\"", "2147483648"}, {"3.25", "1e5", "-0.5"}, {"true", "FALSE"}};
  for (bool numbers_only : {false, true}) {
    for (std::size_t columns : {1u, 3u, 40u, 1500u}) {
      std::string csv;
      for (std::size_t c = 0; c < columns; ++c) csv += (c ? ",h" : "h") + std::to_string(c);
      csv += "\n";
      std::size_t row_count = columns > 100 ? 300 : 5000;
      for (std::size_t r = 0; r < row_count; ++r) {
        // Each column draws from its own few cells, so typed columns appear.
        std::size_t fields = random() % 8 == 0 ? random() % (columns + 2) + 1 : columns;
        if (numbers_only) fields = columns;
        for (std::size_t c = 0; c < fields; ++c) {
          if (c) csv += ',';
          if (numbers_only) {
            const std::vector<std::string_view>& group = number_groups[c % number_groups.size()];
            csv += group[random() % group.size()];
            continue;
          }
          std::size_t pick = (c * 5 + (random() % 16 == 0 ? random() : 0)) % cells.size();
          csv += cells[pick];
        }
        csv += random() % 2 ? "\n" : "\r\n";
      }
      for (std::size_t chunk_size : {1u, 7u, 1000u, 4096u}) {
        if (columns > 100 && chunk_size == 1) continue;
        for (std::size_t sample_rows : {200u, 3u}) {
          SCOPED_TRACE(testing_label(columns, chunk_size) + ", sample_rows " +
                       std::to_string(sample_rows) + (numbers_only ? ", numbers only" : ""));
          auto converted = convert_csv(bytes_of(csv), chunk_size, sample_rows);
          ASSERT_TRUE(converted);
          std::string got(reinterpret_cast<const char*>(converted->data()), converted->size());
          EXPECT_TRUE(got == reference_conversion(csv, chunk_size, sample_rows));
        }
      }
    }
  }
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
