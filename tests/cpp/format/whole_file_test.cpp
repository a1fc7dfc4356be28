#include <gtest/gtest.h>

#include "format/written_bytes.h"
#include "vrex/table.h"
#include "vrex/writer.h"

namespace vrex {
namespace {

using testing::hex;
using testing::parse_hex;
using testing::written;

ValueArray plain(Object values) { return ValueArray{ValueArray::Plain{std::move(values)}}; }

// A two-column table of two chunks, as a file from header to end marker.
constexpr const char* kExpectedFile = R"(
    A7 3C 01  01 00                               # file header, version 1.0

    A7 3C 02                                      # table metadata
    01 00 00 00                                   # one table-level entry
    0C 00 00 00 "TableColumns"  02 01  02 00 00 00  00
    02 00 00 00                                   # two columns
    03 00 00 00                                   # three descriptors
    04 00 00 00 "Name"      0A 00
    08 00 00 00 "DataType"  0C 00
    04 00 00 00 "Unit"      0A 01  01 00 00 00 "g"   # String, default "g"
    01  02 00 00 00 "id"                          # column id: name,
    01  01 00 00 00 02                            #   data type Int,
    01  02 00 00 00 "kg"                          #   unit
    01  02 00 00 00 "ok"                          # column ok: name,
    01  01 00 00 00 01                            #   data type Bool,
    00                                            #   no unit

    A7 3C 03                                      # first chunk
    02 00 00 00
    A7 3C 04  01 02 02 00 00 00  01 00 00 00  02 00 00 00
              00 00 00 00
    A7 3C 04  01 01 02 00 00 00  01 00
              00 00 00 00

    A7 3C 03                                      # second chunk
    02 00 00 00
    A7 3C 04  01 02 02 00 00 00  03 00 00 00  00 00 00 00
              01 00 00 00                         # the second id did not read
              09 00 00 00 "IsInvalid"  03 01 02 00 00 00 40
    A7 3C 04  01 01 02 00 00 00  00 00
              00 00 00 00

    A7 3C 05                                      # end of table
)";

TEST(WholeFileTest, ModelBuiltInMemoryBecomesTheHandWrittenFile) {
  TableMetadata table;
  table.metadata.push_back({"TableColumns", object::Int{2}, std::nullopt});
  table.columns.push_back(
      {"id", {{"Unit", object::String{"kg"}, Object(object::String{"g"})}}, ValueType::Int});
  table.columns.push_back({"ok", {}, ValueType::Bool});

  TableSlice first;
  first.columns.push_back({plain(object::IntArray{{1, 2}}), {}});
  first.columns.push_back({plain(BoolArray{{1, 0}}), {}});

  TableSlice second;
  second.columns.push_back({plain(object::IntArray{{3, 0}}), {}});
  second.columns.back().properties.is_invalid = BoolArray{{0, 1}}.encode_to_bit_array();
  second.columns.push_back({plain(BoolArray{{0, 0}}), {}});

  auto file = written([&](VrexWriter& w) -> WriteStatus {
    VREX_TRY(w.write_section_id(SectionType::FileHeader));
    VREX_TRY(w.write_file_header(1, 0));
    VREX_TRY(w.write_section_id(SectionType::TableMetadata));
    VREX_TRY(w.write_table_metadata(table));
    for (const TableSlice* slice : {&first, &second}) {
      VREX_TRY(w.write_section_id(SectionType::TableSlice));
      VREX_TRY(w.write_table_slice(*slice));
    }
    return w.write_section_id(SectionType::TableEnd);
  });
  EXPECT_EQ(hex(file), hex(parse_hex(kExpectedFile)));
}

}  // namespace
}  // namespace vrex
