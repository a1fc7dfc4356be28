#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "format/written_bytes.h"
#include "vrex/table.h"
#include "vrex/writer.h"

namespace vrex {
namespace {

using Kind = VrexError::Kind;
using testing::Bytes;
using testing::Expected;
using testing::failure_of;
using testing::hex;
using testing::parse_hex;
using testing::written;

ValueArray plain(Object values) { return ValueArray{ValueArray::Plain{std::move(values)}}; }

ValueArray bits(std::vector<std::uint8_t> booleans) {
  return ValueArray{ValueArray::BitArray{BoolArray{std::move(booleans)}.encode_to_bit_array()}};
}

Bytes slice_bytes(const TableSlice& slice) {
  return written([&](VrexWriter& w) { return w.write_table_slice(slice); });
}

TEST(TableSliceTest, HandWrittenLayouts) {
  struct Case {
    const char* name;
    TableSlice slice;
    std::string expected;
  };

  std::vector<Case> cases;
  {
    TableSlice slice;
    slice.columns.push_back({plain(object::DoubleArray{{1.5, 2.0}}), {}});
    cases.push_back({"two doubles, no properties", std::move(slice), R"(
        01 00 00 00                               # one column
        A7 3C 04                                  # column slice
        01 05 02 00 00 00                         # plain, Double, two values
        00 00 00 00 00 00 F8 3F  00 00 00 00 00 00 00 40
        00 00 00 00                               # no properties
    )"});
  }
  {
    TableSlice slice;
    ColumnSlice column{plain(object::DoubleArray{{1.5, 0.0, 2.0}}), {}};
    column.properties.is_invalid = BoolArray{{0, 1, 0}}.encode_to_bit_array();
    slice.columns.push_back(std::move(column));
    cases.push_back({"second of three invalid", std::move(slice), R"(
        01 00 00 00
        A7 3C 04
        01 05 03 00 00 00
        00 00 00 00 00 00 F8 3F  00 00 00 00 00 00 00 00  00 00 00 00 00 00 00 40
        01 00 00 00                               # one property
        09 00 00 00 "IsInvalid"
        03 01 03 00 00 00 40                      # bit array, Bool, three booleans
    )"});
  }
  cases.push_back({"no columns", TableSlice{}, "00 00 00 00"});
  {
    TableSlice slice;
    ColumnSlice column{plain(object::IntArray{{7}}), {}};
    column.properties.properties.push_back({"Extra", plain(object::Int{1})});
    column.properties.properties.push_back({"Note", plain(object::StringArray{{"n"}})});
    column.properties.has_replaced_value = BoolArray{{1}}.encode_to_bit_array();
    column.properties.is_invalid = BoolArray{{0}}.encode_to_bit_array();
    slice.columns.push_back(std::move(column));
    cases.push_back({"fixed properties first, further ones in their order", std::move(slice), R"(
        01 00 00 00
        A7 3C 04  01 02 01 00 00 00  07 00 00 00
        04 00 00 00
        09 00 00 00 "IsInvalid"         03 01 01 00 00 00 00
        10 00 00 00 "HasReplacedValue"  03 01 01 00 00 00 80
        05 00 00 00 "Extra"             01 02 01 00 00 00  01 00 00 00
        04 00 00 00 "Note"              01 0A 01 00 00 00  02 00 00 00  01 "n"
    )"});
  }
  {
    TableSlice slice;
    ColumnSlice column{plain(BoolArray{{1, 0}}), {}};
    column.properties.error_code = plain(object::IntArray{{0, 3}});
    column.properties.is_invalid = BoolArray{{0, 1}}.encode_to_bit_array();
    column.properties.properties.push_back({"IsInvalid", bits({1, 1})});
    slice.columns.push_back(std::move(column));
    cases.push_back({"error code second; a repeated name is written again", std::move(slice), R"(
        01 00 00 00
        A7 3C 04  01 01 02 00 00 00  01 00
        03 00 00 00
        09 00 00 00 "IsInvalid"  03 01 02 00 00 00 40
        09 00 00 00 "ErrorCode"  01 02 02 00 00 00  00 00 00 00 03 00 00 00
        09 00 00 00 "IsInvalid"  03 01 02 00 00 00 C0
    )"});
  }
  {
    TableSlice slice;
    slice.columns.push_back({plain(object::StringArray{{"a", "bc"}}), {}});
    slice.columns.push_back({plain(object::LongArray{{-1, 2}}), {}});
    cases.push_back({"two columns of different types", std::move(slice), R"(
        02 00 00 00
        A7 3C 04  01 0A 02 00 00 00  05 00 00 00  01 "a"  02 "bc"  00 00 00 00
        A7 3C 04  01 03 02 00 00 00  FF FF FF FF FF FF FF FF  02 00 00 00 00 00 00 00
        00 00 00 00
    )"});
  }
  for (const Case& c : cases) {
    EXPECT_EQ(hex(slice_bytes(c.slice)), hex(parse_hex(c.expected))) << c.name;
  }
}

TEST(TableSliceTest, WholeSliceIsCountThenEachColumnSlice) {
  TableSlice slice;
  slice.columns.push_back({plain(object::IntArray{{1, 2, 3}}), {}});
  slice.columns.back().properties.is_invalid = BoolArray{{0, 0, 1}}.encode_to_bit_array();
  slice.columns.push_back({plain(object::StringArray{{"x", "", "yz"}}), {}});
  slice.columns.push_back({bits({1, 0, 1}), {}});

  Bytes in_halves = written([&](VrexWriter& w) -> WriteStatus {
    VREX_TRY(w.write_table_slice_column_count(slice.columns.size()));
    for (const ColumnSlice& column : slice.columns) VREX_TRY(w.write_column_slice(column));
    return {};
  });
  EXPECT_EQ(hex(slice_bytes(slice)), hex(in_halves));
}

TEST(TableSliceTest, LimitsAndErrorsOfNestedWrites) {
  auto failure =
      failure_of([](VrexWriter& w) { return w.write_table_slice_column_count(kMaxCount + 1); });
  EXPECT_EQ(failure.error, VrexError(Kind::TooManyColumns));
  EXPECT_TRUE(failure.left.empty());
  EXPECT_EQ(hex(written([](VrexWriter& w) { return w.write_table_slice_column_count(kMaxCount); })),
            "FF FF FF 7F");

  // A failing bit array in the second column: the first column stays written
  // and nothing after the failing field follows.
  TableSlice slice;
  slice.columns.push_back({plain(object::IntArray{{1}}), {}});
  slice.columns.push_back({plain(object::IntArray{{2}}), {}});
  slice.columns[1].properties.is_invalid = EncodedBitArray{{}, kMaxCount + 1};
  slice.columns[1].properties.properties.push_back({"Later", plain(object::Int{0})});
  failure = failure_of([&](VrexWriter& w) { return w.write_table_slice(slice); });
  EXPECT_EQ(failure.error, VrexError(Kind::BytesTooLong));
  EXPECT_EQ(hex(failure.left), hex(parse_hex(R"(
      02 00 00 00
      A7 3C 04  01 02 01 00 00 00  01 00 00 00  00 00 00 00
      A7 3C 04  01 02 01 00 00 00  02 00 00 00  02 00 00 00
      09 00 00 00 "IsInvalid"  03 01
  )")));

  // An error in the column values ends the slice before the property count.
  ColumnSlice column{ValueArray{ValueArray::BitArray{{{}, kMaxCount + 1}}}, {}};
  failure = failure_of([&](VrexWriter& w) { return w.write_column_slice(column); });
  EXPECT_EQ(failure.error, VrexError(Kind::BytesTooLong));
  EXPECT_EQ(hex(failure.left), "A7 3C 04 03 01");
}

// The size counted without writing is the size written, for every kind of
// value, encoding and property; and none where the write fails.
TEST(TableSliceTest, CountedSizeIsTheWrittenSize) {
  auto with = [](ValueArray values, auto&& add_properties) {
    ColumnSlice column{std::move(values), {}};
    add_properties(column.properties);
    return column;
  };
  auto none = [](ColumnProperties&) {};
  auto invalid = [](ColumnProperties& properties) {
    properties.is_invalid = BoolArray{{0, 1, 0}}.encode_to_bit_array();
  };
  auto all = [](ColumnProperties& properties) {
    properties.is_invalid = BoolArray{{1, 0}}.encode_to_bit_array();
    properties.error_code = plain(object::IntArray{{0, 4}});
    properties.has_replaced_value = BoolArray{{0, 1}}.encode_to_bit_array();
    properties.properties.push_back({"Note", plain(object::StringArray{{"n", ""}})});
    properties.properties.push_back({"", bits({1})});
  };
  const std::string long_text(300, 'x');  // a length of two packed bytes
  std::vector<ColumnSlice> columns = {
      with(plain(object::DoubleArray{{1.5, 2.0}}), none),
      with(plain(object::DoubleArray{{1.5, 0.0, 2.0}}), invalid),
      with(plain(object::IntArray{}), none),
      with(plain(object::IntArray{{7, 8}}), all),
      with(plain(object::LongArray{{-1}}), invalid),
      with(plain(object::FloatArray{{0.5F}}), none),
      with(plain(BoolArray{{1, 0, 1}}), invalid),
      with(plain(object::StringArray{{"a", "", long_text}}), invalid),
      with(plain(object::StringArray{}), none),
      with(plain(object::BinaryArray{{"\x01\x02", long_text}}), none),
      with(plain(object::DateTimeArray{{1, 2}}), none),
      with(plain(object::DateArray{{3}}), none),
      with(plain(object::TimeArray{{4}}), none),
      with(plain(object::TimeSpanArray{{5, 6}}), none),
      with(plain(object::DecimalArray{{DecimalBytes{}, DecimalBytes{}}}), none),
      with(plain(object::Int{3}), none),
      with(plain(object::Double{3.0}), none),
      with(plain(object::Bool{true}), none),
      with(plain(object::String{long_text}), all),
      with(plain(object::Binary{""}), none),
      with(plain(object::Decimal{}), none),
      with(ValueArray{ValueArray::RunLength{object::IntArray{{1, 2}}, {0, 255}}}, invalid),
      with(ValueArray{ValueArray::RunLength{object::StringArray{{"ab"}}, {3}}}, none),
      with(bits({1, 0, 1, 1, 0, 0, 1, 0, 1}), all),
      with(bits({}), none),
      // Writes that fail.
      with(ValueArray{ValueArray::BitArray{{{}, kMaxCount + 1}}}, none),
      with(plain(object::IntArray{{2}}),
           [](ColumnProperties& properties) {
             properties.is_invalid = EncodedBitArray{{}, kMaxCount + 1};
           }),
      with(plain(object::IntArray{{2}}),
           [](ColumnProperties& properties) {
             properties.error_code = ValueArray{ValueArray::BitArray{{{}, kMaxCount + 1}}};
           }),
  };
  for (std::size_t index = 0; index < columns.size(); ++index) {
    ByteBuffer output;
    VrexWriter writer(output);
    const bool wrote = writer.write_column_slice(columns[index]).has_value();
    const std::optional<std::uint64_t> size = column_slice_size(columns[index]);
    EXPECT_EQ(size.has_value(), wrote) << "column " << index;
    if (size && wrote) {
      EXPECT_EQ(*size, output.size()) << "column " << index;
    }
  }
  for (const std::uint64_t column_count :
       {std::uint64_t{0}, std::uint64_t{3}, kMaxCount, kMaxCount + 1}) {
    ByteBuffer output;
    VrexWriter writer(output);
    const bool wrote = writer.write_section_id(SectionType::TableSlice).has_value() &&
                       writer.write_table_slice_column_count(column_count).has_value();
    const std::optional<std::uint64_t> size = table_slice_head_size(column_count);
    EXPECT_EQ(size.has_value(), wrote) << column_count << " columns";
    if (size && wrote) {
      EXPECT_EQ(*size, output.size()) << column_count << " columns";
    }
  }
}

}  // namespace
}  // namespace vrex
