// Files read back: every value type and encoding, metadata, value properties
// joined across table slices.
#include "vrex/reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "reader_files.h"

namespace vrex {
namespace {

using testing::bits;
using testing::Bytes;
using testing::column;
using testing::plain;
using testing::read_bytes;
using testing::write_file;

constexpr DecimalBytes kDecimalA{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
constexpr DecimalBytes kDecimalB{0xFF};

struct TypeCase {
  ValueType type;
  Object first;   // two rows
  Object second;  // one row
  Object joined;
};

std::vector<TypeCase> type_cases() {
  using namespace object;
  return {
      {ValueType::Bool, BoolArray{{1, 0}}, BoolArray{{1}}, BoolArray{{1, 0, 1}}},
      {ValueType::Int, IntArray{{1, -2}}, IntArray{{2147483647}}, IntArray{{1, -2, 2147483647}}},
      {ValueType::Long, LongArray{{-1, 1LL << 40}}, Long{7}, LongArray{{-1, 1LL << 40, 7}}},
      {ValueType::Float, FloatArray{{1.5f, -0.0f}}, FloatArray{{3e38f}},
       FloatArray{{1.5f, -0.0f, 3e38f}}},
      {ValueType::Double, DoubleArray{{1.5, 2.0}}, Double{-1e300}, DoubleArray{{1.5, 2.0, -1e300}}},
      {ValueType::DateTime, DateTimeArray{{1, 2}}, DateTimeArray{{3}}, DateTimeArray{{1, 2, 3}}},
      {ValueType::Date, DateArray{{4, 5}}, DateArray{{6}}, DateArray{{4, 5, 6}}},
      {ValueType::Time, TimeArray{{7, 8}}, TimeArray{{9}}, TimeArray{{7, 8, 9}}},
      {ValueType::TimeSpan, TimeSpanArray{{-1, 0}}, TimeSpanArray{{1}}, TimeSpanArray{{-1, 0, 1}}},
      {ValueType::String, StringArray{{"ab", ""}}, String{std::string(200, 'x')},
       StringArray{{"ab", "", std::string(200, 'x')}}},
      {ValueType::Binary, BinaryArray{{std::string("\0\xff", 2), "z"}}, BinaryArray{{""}},
       BinaryArray{{std::string("\0\xff", 2), "z", ""}}},
      {ValueType::Decimal, DecimalArray{{kDecimalA, kDecimalB}}, Decimal{kDecimalA},
       DecimalArray{{kDecimalA, kDecimalB, kDecimalA}}},
  };
}

TEST(ReaderTest, EveryValueTypeJoinsAcrossSlices) {
  TableMetadata table;
  TableSlice first;
  TableSlice second;
  for (const TypeCase& type_case : type_cases()) {
    const char letter = static_cast<char>('a' + table.columns.size());
    table.columns.push_back(column(std::string(1, letter), type_case.type));
    first.columns.push_back(plain(type_case.first));
    second.columns.push_back(plain(type_case.second));
  }
  auto file = read_bytes(write_file(table, {first, second}));
  ASSERT_TRUE(file) << file.error().display_text();
  EXPECT_EQ(file->slice_rows, (std::vector<std::uint64_t>{2, 1}));
  EXPECT_EQ(file->num_rows, 3u);
  const std::vector<TypeCase> cases = type_cases();
  ASSERT_EQ(file->columns.size(), cases.size());
  for (std::size_t index = 0; index < cases.size(); ++index) {
    SCOPED_TRACE(index);
    EXPECT_EQ(file->columns[index].name, table.columns[index].name);
    EXPECT_EQ(file->columns[index].data_type, cases[index].type);
    EXPECT_EQ(file->data[index].values, cases[index].joined);
    EXPECT_EQ(file->data[index].is_invalid, (std::vector<std::uint8_t>{0, 0, 0}));
    EXPECT_TRUE(file->data[index].properties.empty());
  }
}

TEST(ReaderTest, RunLengthAndBitArrayEncodingsExpand) {
  TableMetadata table;
  table.columns = {column("n", ValueType::Int), column("s", ValueType::String),
                   column("b", ValueType::Bool)};
  TableSlice slice;
  slice.columns.resize(3);
  slice.columns[0].values.encoding =
      ValueArray::RunLength{object::IntArray{{7, 9}}, std::vector<std::uint8_t>{2, 0}};
  slice.columns[1].values.encoding =
      ValueArray::RunLength{object::StringArray{{"x", "yz"}}, std::vector<std::uint8_t>{0, 2}};
  slice.columns[2].values.encoding = ValueArray::BitArray{bits({1, 0, 0, 1})};
  TableSlice wide;
  wide.columns.resize(3);
  wide.columns[0].values.encoding =
      ValueArray::RunLength{object::IntArray{{-1}}, std::vector<std::uint8_t>{255}};
  wide.columns[1].values.encoding =
      ValueArray::RunLength{object::String{"w"}, std::vector<std::uint8_t>{255}};
  std::vector<std::uint8_t> many(256);
  for (std::size_t index = 0; index < many.size(); ++index) many[index] = index % 3 == 0;
  wide.columns[2].values.encoding = ValueArray::BitArray{bits(many)};

  auto file = read_bytes(write_file(table, {slice, wide}));
  ASSERT_TRUE(file) << file.error().display_text();
  EXPECT_EQ(file->slice_rows, (std::vector<std::uint64_t>{4, 256}));
  const auto& ints = std::get<object::IntArray>(file->data[0].values).values;
  ASSERT_EQ(ints.size(), 260u);
  EXPECT_EQ(std::vector<std::int32_t>(ints.begin(), ints.begin() + 5),
            (std::vector<std::int32_t>{7, 7, 7, 9, -1}));
  const TextArray& texts = std::get<object::StringArray>(file->data[1].values).values;
  ASSERT_EQ(texts.size(), 260u);
  EXPECT_EQ(texts[0], "x");
  EXPECT_EQ(texts[3], "yz");
  EXPECT_EQ(texts[259], "w");
  std::vector<std::uint8_t> expected_bools{1, 0, 0, 1};
  expected_bools.insert(expected_bools.end(), many.begin(), many.end());
  EXPECT_EQ(std::get<BoolArray>(file->data[2].values).values, expected_bools);
}

TEST(ReaderTest, MetadataEntriesAndColumnPropertiesComeBack) {
  TableMetadata table;
  table.metadata.push_back({"TableColumns", object::Int{2}, std::nullopt});
  table.metadata.push_back({"Title", object::String{"größe"}, object::String{""}});
  table.metadata.push_back({"Flag", object::Bool{true}, object::Bool{false}});
  table.metadata.push_back({"Blob", object::Binary{std::string("\x00\x01", 2)}, std::nullopt});
  table.metadata.push_back({"When", object::DateTime{-5}, std::nullopt});
  table.metadata.push_back({"Money", object::Decimal{kDecimalA}, std::nullopt});
  table.columns = {column("a", ValueType::Double), column("b", ValueType::String)};
  table.columns[0].properties.push_back({"Unit", object::String{"m"}, object::String{"?"}});
  table.columns[1].properties.push_back({"Scale", object::Float{0.5f}, std::nullopt});
  // A property named like a fixed one is shadowed by the column's own name.
  table.columns[1].properties.push_back({"Name", object::String{"shadow"}, std::nullopt});

  auto file = read_bytes(write_file(table, {}));
  ASSERT_TRUE(file) << file.error().display_text();
  EXPECT_EQ(file->major_version, 1);
  EXPECT_EQ(file->minor_version, 0);
  ASSERT_EQ(file->metadata.size(), table.metadata.size());
  for (std::size_t index = 0; index < table.metadata.size(); ++index) {
    SCOPED_TRACE(table.metadata[index].name);
    EXPECT_EQ(file->metadata[index].name, table.metadata[index].name);
    EXPECT_EQ(file->metadata[index].type, type_of(table.metadata[index].value));
    EXPECT_EQ(file->metadata[index].value, table.metadata[index].value);
    EXPECT_EQ(file->metadata[index].default_value, table.metadata[index].default_value);
  }
  std::vector<std::string> descriptor_names;
  for (const PropertyDescriptor& descriptor : file->descriptors) {
    descriptor_names.push_back(descriptor.name);
  }
  EXPECT_EQ(descriptor_names, (std::vector<std::string>{"Name", "DataType", "Unit", "Scale"}));
  ASSERT_EQ(file->columns.size(), 2u);
  EXPECT_EQ(file->columns[0].name, "a");
  EXPECT_EQ(file->columns[0].data_type, ValueType::Double);
  ASSERT_EQ(file->columns[0].properties.size(), 1u);
  EXPECT_EQ(file->columns[0].properties[0].name, "Unit");
  EXPECT_EQ(file->columns[0].properties[0].value, Object(object::String{"m"}));
  EXPECT_EQ(file->columns[0].properties[0].default_value, Object(object::String{"?"}));
  EXPECT_EQ(file->columns[1].name, "b");
  ASSERT_EQ(file->columns[1].properties.size(), 1u);
  EXPECT_EQ(file->columns[1].properties[0].value, Object(object::Float{0.5f}));
  // No slices: empty columns of the declared types.
  EXPECT_EQ(file->data[0].values, Object(object::DoubleArray{}));
  EXPECT_EQ(file->data[1].values, Object(object::StringArray{}));
  EXPECT_EQ(file->num_rows, 0u);
}

TEST(ReaderTest, ValuePropertiesJoinWithPlaceholdersWhereASliceLacksThem) {
  TableMetadata table;
  table.columns = {column("n", ValueType::Int)};
  TableSlice first;
  first.columns.push_back(plain(object::IntArray{{1, 0}}));
  first.columns[0].properties.is_invalid = bits({0, 1});
  first.columns[0].properties.has_replaced_value = bits({1, 1});
  TableSlice second;
  second.columns.push_back(plain(object::IntArray{{3}}));
  second.columns[0].properties.properties.push_back(
      {"Note", ValueArray{ValueArray::Plain{object::StringArray{{"late"}}}}});
  // The writer repeats names as given; a second "IsInvalid" is a property of its own.
  second.columns[0].properties.is_invalid = bits({0});
  second.columns[0].properties.properties.push_back(
      {"IsInvalid", ValueArray{ValueArray::BitArray{bits({1})}}});
  TableSlice third;
  third.columns.push_back(plain(object::IntArray{{4}}));
  third.columns[0].properties.is_invalid = bits({1});
  third.columns[0].properties.error_code = ValueArray{ValueArray::Plain{object::IntArray{{42}}}};

  auto file = read_bytes(write_file(table, {first, second, third}));
  ASSERT_TRUE(file) << file.error().display_text();
  const ColumnData& data = file->data[0];
  EXPECT_EQ(data.values, Object(object::IntArray{{1, 0, 3, 4}}));
  EXPECT_EQ(data.is_invalid, (std::vector<std::uint8_t>{0, 1, 0, 1}));

  struct Expectation {
    std::string name;
    Object values;
    std::vector<std::uint8_t> present;
  };

  const std::vector<Expectation> expected{
      {"HasReplacedValue", BoolArray{{1, 1, 0, 0}}, {1, 1, 0, 0}},
      {"Note", object::StringArray{{"", "", "late", ""}}, {0, 0, 1, 0}},
      {"IsInvalid", BoolArray{{0, 0, 1, 0}}, {0, 0, 1, 0}},
      {"ErrorCode", object::IntArray{{0, 0, 0, 42}}, {0, 0, 0, 1}},
  };
  ASSERT_EQ(data.properties.size(), expected.size());
  for (std::size_t index = 0; index < expected.size(); ++index) {
    SCOPED_TRACE(expected[index].name);
    EXPECT_EQ(data.properties[index].name, expected[index].name);
    EXPECT_EQ(data.properties[index].values, expected[index].values);
    EXPECT_EQ(data.properties[index].present, expected[index].present);
  }
}

// Bytes spelled out by hand, so the reader is checked apart from the writer.
TEST(ReaderTest, ReadsAHandWrittenFile) {
  testing::Expected file;
  file.hex("A7 3C 01 01 00  A7 3C 02")
      .i32(1)
      .text("TableColumns")
      .hex("02 01 01 00 00 00 00")
      .i32(1)
      .i32(2)
      .text("Name")
      .hex("0A 00")
      .text("DataType")
      .hex("0C 00")
      .hex("01 01 00 00 00 \"a\"  01 01 00 00 00 05")
      .hex("A7 3C 03")
      .i32(1)
      .hex("A7 3C 04  01 05 03 00 00 00")
      .f64(1.5)
      .f64(0.0)
      .f64(2.0)
      .i32(1)
      .text("IsInvalid")
      .hex("03 01 03 00 00 00 40")
      .hex("A7 3C 05");
  auto read = read_bytes(file.bytes());
  ASSERT_TRUE(read) << read.error().display_text();
  ASSERT_EQ(read->metadata.size(), 1u);
  EXPECT_EQ(read->metadata[0].value, Object(object::Int{1}));
  EXPECT_EQ(read->columns[0].name, "a");
  EXPECT_EQ(read->data[0].values, Object(object::DoubleArray{{1.5, 0.0, 2.0}}));
  EXPECT_EQ(read->data[0].is_invalid, (std::vector<std::uint8_t>{0, 1, 0}));
}

TEST(ReaderTest, TablesWithoutColumnsStillCountSlices) {
  auto file = read_bytes(write_file(TableMetadata{}, {TableSlice{}, TableSlice{}}));
  ASSERT_TRUE(file) << file.error().display_text();
  EXPECT_TRUE(file->columns.empty());
  EXPECT_EQ(file->slice_rows, (std::vector<std::uint64_t>{0, 0}));
}

TEST(ReaderTest, FirstSliceMayCarryTextsForAColumnOfAnotherType) {
  TableMetadata table;
  table.columns = {column("when", ValueType::DateTime)};
  TableSlice slice;
  slice.columns.push_back(plain(object::StringArray{{"2024-01-01"}}));
  auto file = read_bytes(write_file(table, {slice, slice}));
  ASSERT_TRUE(file) << file.error().display_text();
  EXPECT_EQ(file->columns[0].data_type, ValueType::DateTime);
  EXPECT_EQ(file->data[0].values, Object(object::StringArray{{"2024-01-01", "2024-01-01"}}));
}

}  // namespace
}  // namespace vrex
