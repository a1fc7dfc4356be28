#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "format/written_bytes.h"
#include "vrex/table.h"
#include "vrex/writer.h"

namespace vrex {
namespace {

using testing::Bytes;
using testing::Expected;
using testing::hex;
using testing::parse_hex;
using testing::written;

Bytes metadata_bytes(const TableMetadata& table) {
  return written([&](VrexWriter& w) { return w.write_table_metadata(table); });
}

Metadata entry(std::string name, Object value, std::optional<Object> default_value = {}) {
  return Metadata{std::move(name), std::move(value), std::move(default_value)};
}

// The fixed descriptors every table with columns starts with.
Expected& fixed_descriptors(Expected& bytes) {
  return bytes.text("Name").u8(0x0A).u8(0).text("DataType").u8(0x0C).u8(0);
}

// A column's values for the two fixed descriptors.
Expected& fixed_values(Expected& bytes, std::string_view name, ValueType type) {
  return bytes.u8(1).text(name).u8(1).i32(1).u8(static_cast<std::uint8_t>(type));
}

TEST(TableMetadataTest, OneDoubleColumnAsThePipelineBuildsIt) {
  TableMetadata table;
  table.metadata.push_back(entry("TableColumns", object::Int{1}));
  table.columns.push_back({"a", {}, ValueType::Double});
  EXPECT_EQ(hex(metadata_bytes(table)), hex(parse_hex(R"(
      01 00 00 00                        # one metadata entry
      0C 00 00 00 "TableColumns"
      02 01  01 00 00 00  00             # Int, one value, 1, no default
      01 00 00 00                        # one column
      02 00 00 00                        # two descriptors
      04 00 00 00 "Name"      0A 00
      08 00 00 00 "DataType"  0C 00
      01  01 00 00 00 "a"                # the column's name
      01  01 00 00 00 05                 # its data type, Double
  )")));
}

TEST(TableMetadataTest, NoColumnsWritesZeroCountsAndNothingAfter) {
  EXPECT_EQ(hex(metadata_bytes(TableMetadata{})), "00 00 00 00 00 00 00 00 00 00 00 00");
}

TEST(TableMetadataTest, EntriesWithDefaultsAndTextValuesAreUnpacked) {
  TableMetadata table;
  table.metadata.push_back(entry("Title", object::String{"t"}, Object(object::String{""})));
  table.metadata.push_back(entry("Scale", object::Double{0.5}));
  table.metadata.push_back(entry("Tags", object::StringArray{{"p", "qr"}}));
  Expected expected;
  expected.i32(3);
  expected.text("Title").u8(0x0A).u8(1).text("t").u8(1).text("");
  expected.text("Scale").u8(0x05).u8(1).f64(0.5).u8(0);
  expected.text("Tags").u8(0x0A).u8(1).text("p").text("qr").u8(0);
  expected.i32(0).i32(0);
  EXPECT_EQ(hex(metadata_bytes(table)), hex(expected.bytes()));
}

// Columns with properties, and what the descriptor list and the per-column
// values come to.
TEST(TableMetadataTest, DescriptorsKeepFirstAppearanceOrderTypeAndDefault) {
  struct Case {
    const char* name;
    std::vector<ColumnMetadata> columns;
    Expected expected;
  };

  std::vector<Case> cases;

  {
    Case c{"a name shared by two columns takes the first one's type and default", {}, {}};
    c.columns.push_back(
        {"c1", {entry("x", object::Int{3}, Object(object::Int{4}))}, ValueType::Long});
    c.columns.push_back({"c2", {entry("x", object::Double{2.5})}, ValueType::Double});
    Expected& e = c.expected;
    e.i32(0).i32(2).i32(3);
    fixed_descriptors(e).text("x").u8(0x02).u8(1).i32(4);
    fixed_values(e, "c1", ValueType::Long).u8(1).i32(3);
    // The second column's value keeps its own form: 8 bytes of Double.
    fixed_values(e, "c2", ValueType::Double).u8(1).f64(2.5);
    cases.push_back(std::move(c));
  }
  {
    Case c{"a column without a property has presence 0", {}, {}};
    c.columns.push_back({"c1", {entry("y", object::String{"v"})}, ValueType::String});
    c.columns.push_back({"c2", {}, ValueType::Int});
    Expected& e = c.expected;
    e.i32(0).i32(2).i32(3);
    fixed_descriptors(e).text("y").u8(0x0A).u8(0);
    fixed_values(e, "c1", ValueType::String).u8(1).text("v");
    fixed_values(e, "c2", ValueType::Int).u8(0);
    cases.push_back(std::move(c));
  }
  {
    Case c{"a property named Name adds nothing and is never written", {}, {}};
    c.columns.push_back({"real",
                         {entry("Name", object::String{"other"}), entry("z", object::Bool{true})},
                         ValueType::Bool});
    Expected& e = c.expected;
    e.i32(0).i32(1).i32(3);
    fixed_descriptors(e).text("z").u8(0x01).u8(0);
    fixed_values(e, "real", ValueType::Bool).u8(1).u8(1);
    cases.push_back(std::move(c));
  }
  {
    Case c{"names sorted as unsigned bytes, prefixes, repeats far apart", {}, {}};
    c.columns.push_back(
        {"c1", {entry("\xFF", object::Int{1}), entry("xy", object::Long{2})}, ValueType::Int});
    c.columns.push_back({"c2",
                         {entry("x", object::Int{5}), entry("xy", object::Long{6}),
                          entry("\xFF", object::Bool{false}, Object(object::Bool{true})),
                          entry("a", object::Int{7})},
                         ValueType::Int});
    Expected& e = c.expected;
    e.i32(0).i32(2).i32(6);
    fixed_descriptors(e);
    e.text("\xFF").u8(0x02).u8(0).text("xy").u8(0x03).u8(0);
    e.text("x").u8(0x02).u8(0).text("a").u8(0x02).u8(0);
    fixed_values(e, "c1", ValueType::Int).u8(1).i32(1).u8(1).i64(2).u8(0).u8(0);
    fixed_values(e, "c2", ValueType::Int).u8(1).u8(0).u8(1).i64(6).u8(1).i32(5).u8(1).i32(7);
    cases.push_back(std::move(c));
  }
  {
    Case c{"a name repeated in one column: the first entry's value", {}, {}};
    c.columns.push_back(
        {"c", {entry("k", object::Int{1}), entry("k", object::Int{2})}, ValueType::Int});
    Expected& e = c.expected;
    e.i32(0).i32(1).i32(3);
    fixed_descriptors(e).text("k").u8(0x02).u8(0);
    fixed_values(e, "c", ValueType::Int).u8(1).i32(1);
    cases.push_back(std::move(c));
  }
  {
    Case c{"names differing only in case are two descriptors", {}, {}};
    c.columns.push_back({"c", {entry("name", object::String{"low"})}, ValueType::String});
    Expected& e = c.expected;
    e.i32(0).i32(1).i32(3);
    fixed_descriptors(e).text("name").u8(0x0A).u8(0);
    fixed_values(e, "c", ValueType::String).u8(1).text("low");
    cases.push_back(std::move(c));
  }

  for (const Case& c : cases) {
    TableMetadata table{{}, c.columns};
    EXPECT_EQ(hex(metadata_bytes(table)), hex(c.expected.bytes())) << c.name;
  }
}

// Columns held as compact names and types give the bytes of the same columns
// as ColumnMetadata, for any names (empty, repeated, long, not text at all)
// and any count, none included.
TEST(TableMetadataTest, CompactColumnsWriteTheBytesOfTheModel) {
  const std::vector<std::string> pool = {"",         "a",
                                         "a",        "Name",
                                         "DataType", std::string("x\0y\xff", 4),
                                         "\xc3\xa9", std::string(300, 'n')};
  const ValueType types[] = {ValueType::Bool, ValueType::Int, ValueType::Long, ValueType::Double,
                             ValueType::String};
  for (std::size_t count : {0, 1, 2, 7, 130}) {
    TableMetadata table;
    table.metadata.push_back(entry("TableColumns", object::Int{static_cast<std::int32_t>(count)}));
    TextArray names;
    std::vector<ValueType> column_types;
    for (std::size_t column = 0; column < count; ++column) {
      const std::string& name = pool[(column * 5 + count) % pool.size()];
      const ValueType type = types[(column * 3 + count) % std::size(types)];
      table.columns.push_back({name, {}, type});
      names.push_back(name);
      column_types.push_back(type);
    }
    ASSERT_EQ(names.size(), count);
    const Bytes compact = written(
        [&](VrexWriter& w) { return w.write_table_metadata(table.metadata, names, column_types); });
    EXPECT_EQ(hex(compact), hex(metadata_bytes(table))) << count << " columns";
  }
}

TEST(ColumnMetadataTest, FixedNamesComeFromTheColumnOthersAreBorrowed) {
  ColumnMetadata column{
      "col", {entry("DataType", object::Int{9}), entry("p", object::Int{1})}, ValueType::Date};
  auto data_type = column.get("DataType");
  ASSERT_TRUE(data_type);
  EXPECT_EQ(**data_type, Object(object::Binary{"\x07"}));
  auto name = column.get("Name");
  ASSERT_TRUE(name);
  EXPECT_EQ(**name, Object(object::String{"col"}));
  auto p = column.get("p");
  ASSERT_TRUE(p);
  EXPECT_EQ(&**p, &column.properties[1].value);
  EXPECT_FALSE(column.get("P"));
  EXPECT_FALSE(column.get("Nam"));
}

}  // namespace
}  // namespace vrex
