// A chunk converted in two parts, each by a converter of its own and joined
// by the first, must write the bytes of the chunk converted whole.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "csv/csv_reader.h"
#include "pipeline/chunk_converter.h"
#include "pipeline/pipeline.h"

namespace vrex::ext {
namespace {

std::span<const std::uint8_t> bytes_of(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string text_of(const ByteBuffer& buffer) {
  return {reinterpret_cast<const char*>(buffer.data()), buffer.size()};
}

// Data rows only; each column draws from cells that read under its type and
// some that do not (flagged), with quoted texts whose quotes are doubled (the
// queue keeps copies of those), empty cells and short rows.
std::string random_rows(std::mt19937_64& random, std::size_t columns, std::size_t rows) {
  const std::vector<std::string_view> cells = {
      "",     "1",           "-42",  "2147483648", "3.25",       "1e5",
      "true", "FALSE",       "word", "\"a,b\"",    "\"x\"\"y\"", "\"\"\"\"\"\"",
      " 7",   "caf\xC3\xA9", "0.1",  "12345",      "-0",         "\"q\r\nz\""};
  std::string csv;
  for (std::size_t row = 0; row < rows; ++row) {
    const std::size_t fields = random() % 10 == 0 ? random() % columns + 1 : columns;
    std::string record;
    for (std::size_t column = 0; column < fields; ++column) {
      if (column > 0) record += ',';
      const std::size_t pick = random() % 4 == 0 ? random() : column * 3;
      record += cells[pick % cells.size()];
    }
    // An empty line is no record.
    csv += record.empty() ? "1" : record;
    csv += random() % 2 ? "\n" : "\r\n";
  }
  return csv;
}

std::string whole_chunk(const std::string& csv, std::span<const ValueType> types,
                        std::size_t rows) {
  ChunkConverter converter(RowQueue(bytes_of(csv), types.size()), types, rows);
  CsvReader reader = CsvReader::for_part(bytes_of(csv), CsvPosition{0, 1, 1});
  const auto read = converter.fill_chunk(reader);
  EXPECT_TRUE(read && *read == rows);
  converter.finish_chunk(rows);
  ByteBuffer output;
  EXPECT_TRUE(write_finished_section(output, converter));
  return text_of(output);
}

std::string chunk_in_parts(const std::string& csv, std::span<const ValueType> types,
                           std::size_t rows, std::size_t split) {
  ChunkConverter first(RowQueue(bytes_of(csv), types.size()), types, rows);
  CsvReader first_reader = CsvReader::for_part(bytes_of(csv), CsvPosition{0, 1, 1});
  FixedRows first_rows(split);
  const auto first_read = first.fill_chunk(first_reader, &first_rows);
  EXPECT_TRUE(first_read && *first_read == split);

  // The second part begins where the first reader stands.
  const std::uint64_t begin = first_reader.cursor();
  ChunkConverter second(RowQueue(bytes_of(csv), types.size()), types, rows);
  CsvReader second_reader =
      CsvReader::for_part(bytes_of(csv).subspan(begin), CsvPosition{begin, 1, split + 1});
  FixedRows second_rows(rows - split);
  const auto second_read = second.fill_chunk(second_reader, &second_rows);
  EXPECT_TRUE(second_read && *second_read == rows - split);

  second.convert_rest(rows - split);
  first.convert_rest(split);
  first.append_rows_of(second);
  first.finish_columns();
  ByteBuffer output;
  EXPECT_TRUE(write_finished_section(output, first));
  return text_of(output);
}

TEST(ChunkInParts, WritesTheChunkConvertedWhole) {
  std::mt19937_64 random(77);
  const std::vector<ValueType> kinds = {ValueType::Int,  ValueType::Long,   ValueType::Double,
                                        ValueType::Bool, ValueType::String, ValueType::Float,
                                        ValueType::Date};
  for (const std::size_t columns : {1u, 3u, 7u, 40u}) {
    std::vector<ValueType> types;
    for (std::size_t column = 0; column < columns; ++column) {
      types.push_back(kinds[(column + random()) % kinds.size()]);
    }
    for (const std::size_t rows : {2u, 9u, 300u, 1500u}) {
      const std::string csv = random_rows(random, columns, rows);
      const std::string expected = whole_chunk(csv, types, rows);
      for (const std::size_t split : {std::size_t{1}, rows / 3, rows / 2, rows - 1}) {
        if (split == 0 || split >= rows) continue;
        SCOPED_TRACE(std::to_string(columns) + " columns, " + std::to_string(rows) +
                     " rows, split at " + std::to_string(split));
        EXPECT_TRUE(chunk_in_parts(csv, types, rows, split) == expected);
        if (HasFailure()) return;
      }
    }
  }
}

}  // namespace
}  // namespace vrex::ext
