// Damaged files: each kind of damage gives its error, truncation anywhere is
// caught, and random damage never reads out of bounds.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "reader_files.h"
#include "vrex/reader.h"
#include "vrex/reader_skim.h"

namespace vrex {
namespace {

using testing::Bytes;
using testing::Expected;
using testing::read_bytes;
using Kind = VrexError::Kind;

// File header and the metadata of one column "a" of the type `type_id`.
Expected head(std::uint8_t type_id = 0x05) {
  Expected file;
  file.hex("A7 3C 01 01 00  A7 3C 02")
      .i32(0)  // no table-level entries
      .i32(1)
      .i32(2)
      .text("Name")
      .hex("0A 00")
      .text("DataType")
      .hex("0C 00")
      .hex("01 01 00 00 00 \"a\"  01 01 00 00 00")
      .u8(type_id);
  return file;
}

// A table slice of the one column with the value array `values` and no properties.
Expected& slice(Expected& file, std::string_view values) {
  return file.hex("A7 3C 03").i32(1).hex("A7 3C 04").hex(values).i32(0);
}

Expected one_slice(std::string_view values) {
  Expected file = head();
  slice(file, values).hex("A7 3C 05");
  return file;
}

struct Case {
  std::string name;
  Bytes bytes;
  VrexError error;
};

std::vector<Case> cases() {
  Expected version_2 = Expected().hex("A7 3C 01 02 00");
  Expected version_1_1 = Expected().hex("A7 3C 01 01 01");
  Expected metadata_first = Expected().hex("A7 3C 02");
  Expected slice_before_metadata = Expected().hex("A7 3C 01 01 00 A7 3C 03");
  Expected column_slice_at_top = head().hex("A7 3C 04");
  Expected table_slice_in_slice = head().hex("A7 3C 03").i32(1).hex("A7 3C 03");
  Expected two_columns_in_slice = head().hex("A7 3C 03").i32(2);
  Expected no_end = head();
  Expected trailing = one_slice("01 05 00 00 00 00");
  trailing.u8(0);
  Expected metadata_value_count =
      Expected().hex("A7 3C 01 01 00 A7 3C 02").i32(1).text("T").hex("02 02 00 00 00 00");
  Expected default_count =
      Expected().hex("A7 3C 01 01 00 A7 3C 02").i32(1).text("T").hex("02 01 00 00 00 00 07");
  Expected metadata_bad_type =
      Expected().hex("A7 3C 01 01 00 A7 3C 02").i32(1).text("T").hex("0B 01");
  Expected metadata_bad_name =
      Expected().hex("A7 3C 01 01 00 A7 3C 02").i32(1).hex("02 00 00 00 C3 28");
  Expected no_descriptors = Expected().hex("A7 3C 01 01 00 A7 3C 02").i32(0).i32(1).i32(0);
  Expected wide_data_type = Expected()
                                .hex("A7 3C 01 01 00  A7 3C 02")
                                .i32(0)
                                .i32(1)
                                .i32(2)
                                .text("Name")
                                .hex("0A 00")
                                .text("DataType")
                                .hex("0C 00")
                                .hex("01 01 00 00 00 \"a\"  01 02 00 00 00 05 05");
  Expected name_as_int = Expected()
                             .hex("A7 3C 01 01 00  A7 3C 02")
                             .i32(0)
                             .i32(1)
                             .i32(2)
                             .text("Name")
                             .hex("02 00")
                             .text("DataType")
                             .hex("0C 00")
                             .hex("01 01 00 00 00  01 01 00 00 00 05");
  Expected missing_name = Expected()
                              .hex("A7 3C 01 01 00  A7 3C 02")
                              .i32(0)
                              .i32(1)
                              .i32(2)
                              .text("Name")
                              .hex("0A 00")
                              .text("DataType")
                              .hex("0C 00")
                              .hex("00  01 01 00 00 00 05");
  Expected different_later_type = head();
  slice(different_later_type, "01 05 00 00 00 00");
  slice(different_later_type, "01 02 00 00 00 00").hex("A7 3C 05");
  Expected two_column_rows = Expected()
                                 .hex("A7 3C 01 01 00  A7 3C 02")
                                 .i32(0)
                                 .i32(2)
                                 .i32(2)
                                 .text("Name")
                                 .hex("0A 00")
                                 .text("DataType")
                                 .hex("0C 00")
                                 .hex("01 01 00 00 00 \"a\"  01 01 00 00 00 02")
                                 .hex("01 01 00 00 00 \"b\"  01 01 00 00 00 02")
                                 .hex("A7 3C 03")
                                 .i32(2)
                                 .hex("A7 3C 04  01 02 01 00 00 00  07 00 00 00")
                                 .i32(0)
                                 .hex("A7 3C 04  01 02 00 00 00 00")
                                 .i32(0)
                                 .hex("A7 3C 05");
  Expected short_flags = head();
  short_flags.hex("A7 3C 03")
      .i32(1)
      .hex("A7 3C 04  01 05 01 00 00 00  00 00 00 00 00 00 00 00")
      .i32(1)
      .text("IsInvalid")
      .hex("03 01 02 00 00 00 40  A7 3C 05");
  Expected flags_of_ints = head();
  flags_of_ints.hex("A7 3C 03")
      .i32(1)
      .hex("A7 3C 04  01 05 00 00 00 00")
      .i32(1)
      .text("IsInvalid")
      .hex("01 02 00 00 00 00  A7 3C 05");
  Expected text_head = head(0x0A);
  Expected bad_utf8 = text_head;
  slice(bad_utf8, "01 0A 01 00 00 00  03 00 00 00  02 ED A0").hex("A7 3C 05");
  Expected loose_total = text_head;
  slice(loose_total, "01 0A 01 00 00 00  04 00 00 00  02 61 62 63").hex("A7 3C 05");
  Expected overlong_length = text_head;
  slice(overlong_length, "01 0A 01 00 00 00  05 00 00 00  FF FF FF FF 08").hex("A7 3C 05");
  Expected more_texts_than_bytes = text_head;
  slice(more_texts_than_bytes, "01 0A FF FF FF 7F  02 00 00 00  00 00").hex("A7 3C 05");
  // A character split across two texts: the texts together would be UTF-8.
  Expected split_character = text_head;
  slice(split_character, "01 0A 02 00 00 00  04 00 00 00  01 C3 01 A9").hex("A7 3C 05");
  Expected text_ends_mid_character = text_head;
  slice(text_ends_mid_character, "01 0A 02 00 00 00  04 00 00 00  01 C3 01 61").hex("A7 3C 05");
  // A malformed text reports before a size fault after it.
  Expected bad_text_then_short = text_head;
  slice(bad_text_then_short, "01 0A 02 00 00 00  03 00 00 00  01 FF 05").hex("A7 3C 05");
  Expected good_text_then_short = text_head;
  slice(good_text_then_short, "01 0A 02 00 00 00  03 00 00 00  01 61 05").hex("A7 3C 05");
  Expected bool_byte = head(0x01);
  slice(bool_byte, "01 01 02 00 00 00  01 02").hex("A7 3C 05");
  Expected int_head = head(0x02);
  Expected run_total = int_head;
  slice(run_total, "02 02  05 00 00 00  01 00 00 00  03  01 00 00 00  07 00 00 00").hex("A7 3C 05");
  Expected run_pairs = int_head;
  slice(run_pairs, "02 02  04 00 00 00  01 00 00 00  03  02 00 00 00  07 00 00 00 08 00 00 00")
      .hex("A7 3C 05");

  return {
      {"empty input", {}, Kind::InvalidSize},
      {"wrong magic", Expected().hex("A7 3D 01 01 00").bytes(), Kind::MagicNumberMismatch},
      {"section byte 9", Expected().hex("A7 3C 09").bytes(), VrexError::invalid_section_id(9)},
      {"section byte 0", Expected().hex("A7 3C 00").bytes(), VrexError::invalid_section_id(0)},
      {"version 2.0", version_2.bytes(), VrexError::unsupported_version(2, 0)},
      {"version 1.1", version_1_1.bytes(), VrexError::unsupported_version(1, 1)},
      {"metadata first", metadata_first.bytes(),
       VrexError::wrong_section_id(SectionType::FileHeader, SectionType::TableMetadata)},
      {"slice before metadata", slice_before_metadata.bytes(),
       VrexError::wrong_section_id(SectionType::TableMetadata, SectionType::TableSlice)},
      {"column slice at top level", column_slice_at_top.bytes(),
       VrexError::wrong_section_id(SectionType::TableSlice, SectionType::ColumnSlice)},
      {"table slice inside a slice", table_slice_in_slice.bytes(),
       VrexError::wrong_section_id(SectionType::ColumnSlice, SectionType::TableSlice)},
      {"slice column count", two_columns_in_slice.bytes(), Kind::ColumnCountMismatch},
      {"no end marker", no_end.bytes(), Kind::InvalidSize},
      {"bytes after the end", trailing.bytes(), Kind::InvalidSize},
      {"encoding 4", one_slice("04 05 00 00 00 00").bytes(), Kind::InvalidEncoding},
      {"encoding 0", one_slice("00 05 00 00 00 00").bytes(), Kind::InvalidEncoding},
      {"type id 0x0B", one_slice("01 0B 00 00 00 00").bytes(), Kind::UnknownTypeId},
      {"type id 0x0E", one_slice("01 0E 00 00 00 00").bytes(), Kind::UnknownTypeId},
      {"negative count", one_slice("01 05 FF FF FF FF").bytes(), Kind::InvalidSize},
      {"count past the end", one_slice("01 05 E8 03 00 00 00").bytes(), Kind::InvalidSize},
      {"bit array of doubles", one_slice("03 05 00 00 00 00").bytes(), Kind::InvalidValueType},
      {"later slice of another type", different_later_type.bytes(), Kind::InvalidValueType},
      {"metadata value count 2", metadata_value_count.bytes(), Kind::MetadataValueArrayLength},
      {"metadata default count 7", default_count.bytes(), Kind::MetadataValueArrayLength},
      {"metadata type id", metadata_bad_type.bytes(), Kind::UnknownTypeId},
      {"metadata name not UTF-8", metadata_bad_name.bytes(), Kind::InvalidString},
      {"columns without descriptors", no_descriptors.bytes(), Kind::InvalidMetadata},
      {"data type of two bytes", wide_data_type.bytes(), Kind::InvalidMetadata},
      {"name descriptor not a text", name_as_int.bytes(), Kind::InvalidMetadata},
      {"column without a name", missing_name.bytes(), Kind::InvalidMetadata},
      {"column slices of different lengths", two_column_rows.bytes(), Kind::InvalidSize},
      {"flags shorter than the column", short_flags.bytes(), Kind::InvalidSize},
      {"flags that are not booleans", flags_of_ints.bytes(), Kind::InvalidValueType},
      {"surrogate in a text", bad_utf8.bytes(), Kind::InvalidString},
      {"text total larger than its texts", loose_total.bytes(), Kind::InvalidSize},
      {"packed length above the limit", overlong_length.bytes(), Kind::InvalidSize},
      {"more texts than bytes", more_texts_than_bytes.bytes(), Kind::InvalidSize},
      {"character split across texts", split_character.bytes(), Kind::InvalidString},
      {"text ends inside a character", text_ends_mid_character.bytes(), Kind::InvalidString},
      {"malformed text before a short block", bad_text_then_short.bytes(), Kind::InvalidString},
      {"well-formed text before a short block", good_text_then_short.bytes(), Kind::InvalidSize},
      {"boolean byte 2", bool_byte.bytes(), Kind::InvalidBool},
      {"runs cover another total", run_total.bytes(), Kind::InvalidRunLengthEncodedObject},
      {"runs without one value each", run_pairs.bytes(), Kind::InvalidRunLengthEncodedObject},
  };
}

TEST(ReaderCorruptTest, EachDamageGivesItsError) {
  for (const Case& damage : cases()) {
    SCOPED_TRACE(damage.name);
    auto file = read_bytes(damage.bytes);
    ASSERT_FALSE(file);
    EXPECT_EQ(file.error().display_text(), damage.error.display_text());
  }
}

TEST(ReaderCorruptTest, DisplayTextsNameTheSections) {
  auto file = read_bytes(head().hex("A7 3C 04").bytes());
  ASSERT_FALSE(file);
  EXPECT_EQ(file.error().display_text(), "wrong section id, expected TableSlice, got ColumnSlice");
}

// The sizing walk runs before the checks of the decoding pass, so it must not
// size memory by a count that the bytes cannot back.
TEST(ReaderCorruptTest, SizingWalkTrustsNoUnbackedCount) {
  struct Walk {
    std::string name;
    std::string_view values;
    std::optional<std::uint64_t> rows;
  };

  const std::vector<Walk> walks{
      {"texts", "01 0A 02 00 00 00  03 00 00 00  01 61 00", 2},
      {"more texts than bytes", "01 0A FF FF FF 7F  02 00 00 00  00 00", std::nullopt},
      {"runs", "02 02  04 00 00 00  02 00 00 00  02 00  02 00 00 00  07 00 00 00 09 00 00 00", 4},
      {"total above the runs", "02 02  FF FF FF 7F  01 00 00 00  03  01 00 00 00  07 00 00 00",
       std::nullopt},
      {"bits", "03 01 09 00 00 00 FF 80", 9},
      {"bits past the end", "03 01 FF FF FF 7F FF", std::nullopt},
  };
  for (const Walk& walk : walks) {
    SCOPED_TRACE(walk.name);
    Expected slices;
    slices.hex("A7 3C 03").i32(1).hex("A7 3C 04").hex(walk.values).i32(0).hex("A7 3C 05");
    const Bytes& bytes = slices.bytes();
    auto extents = skim_table_slices(ReadCursor({bytes.data(), bytes.size()}), 1);
    ASSERT_EQ(extents.has_value(), walk.rows.has_value());
    if (extents) {
      EXPECT_EQ((*extents)[0].rows, *walk.rows);
    }
  }
}

// Properties named after many rows stand for a placeholder in each earlier
// row; a few are fine, but a small file cannot make the reader fill gigabytes.
TEST(ReaderCorruptTest, PlaceholdersAreBoundedByTheValuesRead) {
  TableMetadata table;
  table.columns = {testing::column("n", ValueType::Int)};
  TableSlice many_rows;  // 65,536 rows from a few hundred bytes
  many_rows.columns.resize(1);
  many_rows.columns[0].values.encoding = ValueArray::RunLength{
      object::IntArray{std::vector<std::int32_t>(256, 1)}, std::vector<std::uint8_t>(256, 255)};
  auto late_properties = [](int count) {
    TableSlice slice;
    slice.columns.push_back(testing::plain(object::IntArray{}));
    for (int index = 0; index < count; ++index) {
      slice.columns[0].properties.properties.push_back(
          {std::to_string(index), ValueArray{ValueArray::Plain{object::DecimalArray{}}}});
    }
    return slice;
  };
  auto few = read_bytes(testing::write_file(table, {many_rows, late_properties(20)}));
  ASSERT_TRUE(few) << few.error().display_text();
  EXPECT_EQ(few->data[0].properties.size(), 20u);
  EXPECT_EQ(few->data[0].properties[19].present.size(), 65536u);
  auto too_many = read_bytes(testing::write_file(table, {many_rows, late_properties(40)}));
  ASSERT_FALSE(too_many);
  EXPECT_EQ(too_many.error().kind(), Kind::InvalidSize);
}

// Each property a slice lacks costs a step even in an empty slice, so many
// empty slices cannot make the reader walk a long property list each time.
TEST(ReaderCorruptTest, EmptySlicesCannotMultiplyPropertyWork) {
  TableMetadata table;
  table.columns = {testing::column("n", ValueType::Int)};
  auto file = [&](int properties, int empty_slices) {
    TableSlice declaring;
    declaring.columns.push_back(testing::plain(object::IntArray{}));
    for (int index = 0; index < properties; ++index) {
      declaring.columns[0].properties.properties.push_back(
          {std::to_string(index), ValueArray{ValueArray::Plain{object::IntArray{}}}});
    }
    TableSlice empty;
    empty.columns.push_back(testing::plain(object::IntArray{}));
    std::vector<TableSlice> slices{declaring};
    slices.resize(1 + static_cast<std::size_t>(empty_slices), empty);
    return testing::write_file(table, slices);
  };
  EXPECT_TRUE(read_bytes(file(200, 100)));
  auto too_much = read_bytes(file(2000, 1000));
  ASSERT_FALSE(too_much);
  EXPECT_EQ(too_much.error().kind(), Kind::InvalidSize);
}

// A file with every encoding, texts and value properties.
Bytes rich_file() {
  TableMetadata table;
  table.metadata.push_back({"TableColumns", object::Int{3}, object::Int{0}});
  table.columns = {testing::column("n", ValueType::Int), testing::column("s", ValueType::String),
                   testing::column("b", ValueType::Bool)};
  table.columns[1].properties.push_back({"Unit", object::String{"kg"}, std::nullopt});
  TableSlice slice;
  slice.columns.resize(3);
  slice.columns[0].values.encoding =
      ValueArray::RunLength{object::IntArray{{7, 9}}, std::vector<std::uint8_t>{2, 0}};
  slice.columns[0].properties.is_invalid = testing::bits({0, 1, 0, 0});
  slice.columns[1].values.encoding = ValueArray::Plain{object::StringArray{{"é", "", "xyz", "q"}}};
  slice.columns[1].properties.properties.push_back(
      {"Note", ValueArray{ValueArray::Plain{object::LongArray{{1, 2, 3, 4}}}}});
  slice.columns[2].values.encoding = ValueArray::BitArray{testing::bits({1, 0, 1, 1})};
  return testing::write_file(table, {slice, slice});
}

TEST(ReaderCorruptTest, EveryTruncationIsInvalidSize) {
  const Bytes whole = rich_file();
  ASSERT_TRUE(read_bytes(whole));
  for (std::size_t size = 0; size < whole.size(); ++size) {
    SCOPED_TRACE(size);
    auto file = read_bytes(Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size)));
    ASSERT_FALSE(file);
    EXPECT_EQ(file.error().kind(), Kind::InvalidSize);
  }
}

// Meant for the sanitizer build: damage must end in a value or an error.
TEST(ReaderCorruptTest, RandomDamageNeverReadsOutOfBounds) {
  const Bytes whole = rich_file();
  std::mt19937 random(1234);
  int failures = 0;
  for (int trial = 0; trial < 20000; ++trial) {
    Bytes damaged = whole;
    const int flips = 1 + trial % 4;
    for (int flip = 0; flip < flips; ++flip) {
      damaged[random() % damaged.size()] = static_cast<std::uint8_t>(random());
    }
    failures += read_bytes(damaged) ? 0 : 1;
  }
  EXPECT_GT(failures, 0);
}

}  // namespace
}  // namespace vrex
