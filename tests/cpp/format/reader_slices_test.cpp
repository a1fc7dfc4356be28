// A read slice by slice gives what the in-order read gives, chunk by chunk
// (texts copied or viewed), or nothing, and then the in-order read decides;
// it never takes a file the in-order read rejects.
#include "vrex/reader_slices.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string_view>
#include <type_traits>
#include <vector>

#include "reader_cases.h"
#include "reader_files.h"
#include "vrex/reader.h"
#include "vrex/reader_columnar.h"
#include "vrex/reader_values.h"

namespace vrex {
namespace {

using testing::bits;
using testing::Bytes;
using testing::Case;
using testing::cases;
using testing::column;
using testing::plain;
using testing::rich_file;
using testing::write_file;

std::span<const std::uint8_t> span_of(const Bytes& bytes) { return {bytes.data(), bytes.size()}; }

bool bit_at(const ChunkBuffer& bitmap, std::uint64_t index) {
  return ((bitmap.data()[index / 8] >> (index % 8)) & 1u) != 0;
}

template <class T>
concept ArrayAlternative = requires(const T& array) {
  array.values.size();
};

// Text `row` of a chunk, copied or viewed.
std::string_view text_at(const ColumnChunk& chunk, bool views, std::uint64_t row) {
  if (views) {
    std::uint32_t length = 0;
    std::uint32_t offset = 0;
    const std::uint8_t* view = chunk.values.data() + 16 * row;
    std::memcpy(&length, view, 4);
    std::memcpy(&offset, view + 12, 4);
    const std::uint8_t* text = length <= 12 ? view + 4 : chunk.text_block.data() + offset;
    if (length > 12 &&
        (offset > chunk.text_block.size() || length > chunk.text_block.size() - offset ||
         std::memcmp(view + 4, text, 4) != 0)) {
      ADD_FAILURE() << "a view outside its block, or with another prefix";
      return {};
    }
    return {reinterpret_cast<const char*>(text), length};
  }
  std::uint32_t begin = 0;
  std::uint32_t end = 0;
  std::memcpy(&begin, chunk.offsets.data() + 4 * row, 4);
  std::memcpy(&end, chunk.offsets.data() + 4 * (row + 1), 4);
  if (begin > end || end > chunk.values.size()) {
    ADD_FAILURE() << "offsets out of order or past the texts";
    return {};
  }
  return {reinterpret_cast<const char*>(chunk.values.data()) + begin, end - begin};
}

// Rows [first, first + chunk.rows) of the joined values against one chunk.
void expect_chunk_holds(const Object& joined, std::uint64_t first, const ColumnChunk& chunk,
                        bool views) {
  std::visit(
      [&](const auto& array) {
        using Array = std::decay_t<decltype(array)>;
        if constexpr (ArrayAlternative<Array>) {
          ASSERT_LE(first + chunk.rows, array.values.size());
          for (std::uint64_t row = 0; row < chunk.rows; ++row) {
            if constexpr (std::is_same_v<Array, BoolArray>) {
              EXPECT_EQ(array.values[first + row] != 0, bit_at(chunk.values, row)) << row;
            } else if constexpr (std::is_same_v<Array, object::StringArray> ||
                                 std::is_same_v<Array, object::BinaryArray>) {
              EXPECT_EQ(array.values[first + row], text_at(chunk, views, row)) << row;
            } else {
              const auto& value = array.values[first + row];
              EXPECT_EQ(
                  0, std::memcmp(&value, chunk.values.data() + row * sizeof(value), sizeof(value)))
                  << row;
            }
          }
        }
      },
      joined);
}

void expect_same_as_in_order(const Bytes& bytes, unsigned threads,
                             TextLayout texts = TextLayout::Copies) {
  const auto sliced = read_vrex_slices(span_of(bytes), ReadOptions{threads, 0}, texts);
  if (!sliced) return;
  const auto in_order = read_vrex(span_of(bytes));
  ASSERT_TRUE(in_order) << "a file only the sliced read takes";
  EXPECT_EQ(in_order->slice_rows, sliced->header.slice_rows);
  EXPECT_EQ(in_order->num_rows, sliced->header.num_rows);
  ASSERT_EQ(in_order->data.size(), sliced->columns.size());
  for (std::size_t index = 0; index < in_order->data.size(); ++index) {
    SCOPED_TRACE(index);
    const ColumnData& joined = in_order->data[index];
    const SlicedColumn& column = sliced->columns[index];
    EXPECT_EQ(type_of(joined.values), column.type);
    EXPECT_TRUE(joined.properties.empty());
    ASSERT_EQ(column.chunks.size(), in_order->slice_rows.size());
    std::uint64_t first = 0;
    for (const ColumnChunk& chunk : column.chunks) {
      expect_chunk_holds(joined.values, first, chunk, column.text_views);
      std::uint64_t invalid = 0;
      for (std::uint64_t row = 0; row < chunk.rows; ++row) {
        const bool is_invalid = joined.is_invalid[first + row] != 0;
        invalid += is_invalid ? 1 : 0;
        if (!chunk.validity.empty()) {
          EXPECT_EQ(!is_invalid, bit_at(chunk.validity, row)) << row;
        }
      }
      EXPECT_EQ(invalid, chunk.null_count);
      EXPECT_EQ(invalid == 0, chunk.validity.empty());
      first += chunk.rows;
    }
  }
}

// Files of the common shape go this way; the rest go in order.
TEST(ReaderSlicesTest, TakesTheCommonShapeAndAgreesWithTheInOrderRead) {
  const std::vector<std::string> taken = {"rich", "texts for another type", "no slices",
                                          "one column"};
  for (const Case& test_case : cases()) {
    SCOPED_TRACE(test_case.name);
    const bool expected = std::find(taken.begin(), taken.end(), test_case.name) != taken.end();
    EXPECT_EQ(expected, read_vrex_slices(span_of(test_case.bytes)).has_value());
    for (unsigned threads : {1u, 2u, 16u}) {
      expect_same_as_in_order(test_case.bytes, threads);
      expect_same_as_in_order(test_case.bytes, threads, TextLayout::Views);
    }
  }
}

// Encodings the rich file leaves out: plain booleans, texts and binary values
// in runs, fixed-size values of every width.
TEST(ReaderSlicesTest, EveryEncodingOfEveryType) {
  TableMetadata table;
  table.columns = {column("b", ValueType::Bool),      column("s", ValueType::String),
                   column("x", ValueType::Binary),    column("f", ValueType::Float),
                   column("dec", ValueType::Decimal), column("t", ValueType::TimeSpan)};
  TableSlice slice;
  slice.columns.push_back(plain(BoolArray{{1, 0, 0, 1, 1, 0, 1, 0, 1}}));
  slice.columns.emplace_back();
  slice.columns.back().values.encoding = ValueArray::RunLength{
      object::StringArray{{"ab", "", "çd"}}, std::vector<std::uint8_t>{3, 1, 2}};
  slice.columns.back().properties.is_invalid = bits({0, 0, 0, 0, 1, 1, 0, 0, 1});
  slice.columns.emplace_back();
  slice.columns.back().values.encoding = ValueArray::RunLength{
      object::BinaryArray{{std::string("\xff\x00", 2)}}, std::vector<std::uint8_t>{8}};
  slice.columns.push_back(plain(object::FloatArray{{1, 2, 3, 4, 5, 6, 7, 8, 9.5f}}));
  object::DecimalArray decimals;
  for (std::uint8_t k = 0; k < 9; ++k)
    decimals.values.push_back({k, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, k});
  slice.columns.push_back(plain(decimals));
  slice.columns.push_back(plain(object::TimeSpanArray{{-1, 0, 1, 2, 3, 4, 5, 6, 7}}));
  const Bytes bytes = write_file(table, {slice, slice});
  ASSERT_TRUE(read_vrex_slices(span_of(bytes)).has_value());
  expect_same_as_in_order(bytes, 1);
  expect_same_as_in_order(bytes, 3);
  // Texts in runs have no views of their own: such a file reads another way.
  EXPECT_FALSE(read_vrex_slices(span_of(bytes), {}, TextLayout::Views).has_value());
}

// Damage anywhere: the sliced read either agrees or steps aside.
TEST(ReaderSlicesTest, DamagedFilesNeverReadOnlyThisWay) {
  const Bytes whole = rich_file(true);
  std::mt19937 random(7);
  for (int trial = 0; trial < 3000; ++trial) {
    Bytes damaged = whole;
    const int flips = 1 + trial % 3;
    for (int flip = 0; flip < flips; ++flip) {
      damaged[random() % damaged.size()] = static_cast<std::uint8_t>(random());
    }
    if (trial % 5 == 0) damaged.resize(random() % damaged.size());
    SCOPED_TRACE(trial);
    expect_same_as_in_order(damaged, 1 + trial % 2,
                            trial % 3 == 0 ? TextLayout::Views : TextLayout::Copies);
    if (HasFailure()) return;
  }
}

// The byte-table flip against unpacking and packing one bit at a time.
TEST(ReaderSlicesTest, FlipBitOrderMatchesTheScalarReference) {
  std::mt19937 random(3);
  for (std::uint64_t count = 0; count < 70; ++count) {
    std::vector<std::uint8_t> file_bits((count + 7) / 8 + 1);
    for (auto& byte : file_bits) byte = static_cast<std::uint8_t>(random());
    std::vector<std::uint8_t> flags;
    unpack_bits_scalar(file_bits.data(), count, flags);
    for (bool invert : {false, true}) {
      const std::vector<std::uint8_t> expected = pack_bits_lsb_first_scalar(flags, invert);
      std::vector<std::uint8_t> got((count + 7) / 8);
      const std::uint64_t set = flip_bit_order(file_bits.data(), count, invert, got.data());
      EXPECT_EQ(expected, got) << count;
      std::uint64_t expected_set = 0;
      for (std::uint8_t flag : flags) expected_set += (flag != 0) != invert ? 1 : 0;
      EXPECT_EQ(expected_set, set) << count;
    }
  }
}

}  // namespace
}  // namespace vrex
