// Files for the reader's differential tests: every encoding, invalid flags,
// a first slice in another type, and the shapes and faults that send a read
// back to the in-order path.
#pragma once

#include <string>
#include <vector>

#include "reader_files.h"

namespace vrex::testing {

inline TableMetadata four_columns() {
  TableMetadata table;
  table.columns = {column("n", ValueType::Int), column("s", ValueType::String),
                   column("b", ValueType::Bool), column("d", ValueType::DateTime)};
  return table;
}

// Every encoding, invalid flags as bytes and as bits, and a first slice whose
// dates arrive as texts.
inline TableSlice rich_slice(bool dates_as_texts) {
  TableSlice slice;
  slice.columns.resize(4);
  slice.columns[0].values.encoding =
      ValueArray::RunLength{object::IntArray{{7, 9}}, std::vector<std::uint8_t>{2, 0}};
  slice.columns[0].properties.is_invalid = bits({0, 1, 0, 0});
  slice.columns[1] = plain(object::StringArray{{"é", "", "xyz", std::string(40, 'q')}});
  slice.columns[1].properties.is_invalid = bits({0, 0, 1, 0});
  slice.columns[2].values.encoding = ValueArray::BitArray{bits({1, 0, 1, 1})};
  slice.columns[3] = dates_as_texts ? plain(object::StringArray{{"a", "b", "c", "d"}})
                                    : plain(object::DateTimeArray{{1, 2, 3, 4}});
  return slice;
}

inline Bytes rich_file(bool dates_as_texts) {
  return write_file(four_columns(), {rich_slice(dates_as_texts), rich_slice(dates_as_texts),
                                     rich_slice(dates_as_texts)});
}

struct Case {
  std::string name;
  Bytes bytes;
};

inline std::vector<Case> cases() {
  std::vector<Case> all;
  all.push_back({"rich", rich_file(false)});
  all.push_back({"texts for another type", rich_file(true)});
  {
    // A later slice in another type than the first is an error.
    TableSlice odd = rich_slice(false);
    odd.columns[3] = plain(object::StringArray{{"a", "b", "c", "d"}});
    all.push_back({"type changes later", write_file(four_columns(), {rich_slice(false), odd})});
  }
  {
    // The columns of one slice disagree on its rows.
    TableSlice short_column = rich_slice(false);
    short_column.columns[3] = plain(object::DateTimeArray{{1, 2, 3}});
    all.push_back({"rows disagree", write_file(four_columns(), {rich_slice(false), short_column})});
  }
  {
    // A further property makes the read go in order.
    TableSlice noted = rich_slice(false);
    noted.columns[1].properties.properties.push_back(
        {"Note", ValueArray{ValueArray::Plain{object::LongArray{{1, 2, 3, 4}}}}});
    all.push_back({"further property", write_file(four_columns(), {rich_slice(false), noted})});
  }
  {
    // Invalid text: the first bad column in file order is reported.
    TableSlice bad = rich_slice(false);
    bad.columns[1] = plain(object::StringArray{{"a", "b", "\xC3(", "d"}});
    bad.columns[2] = plain(BoolArray{{1, 0, 2, 0}});
    all.push_back({"two faults", write_file(four_columns(), {rich_slice(false), bad})});
  }
  all.push_back({"no slices", write_file(four_columns(), {})});
  {
    TableMetadata one;
    one.columns = {column("n", ValueType::Long)};
    TableSlice slice;
    slice.columns.push_back(plain(object::LongArray{{1, 2}}));
    all.push_back({"one column", write_file(one, {slice, slice})});
  }
  {
    // Too many small slices to be worth recording where each one lies.
    TableMetadata two;
    two.columns = {column("n", ValueType::Int), column("s", ValueType::String)};
    TableSlice slice;
    slice.columns = {plain(object::IntArray{{1}}), plain(object::StringArray{{"x"}})};
    all.push_back({"many tiny slices", write_file(two, std::vector<TableSlice>(3000, slice))});
  }
  Bytes trailing = rich_file(false);
  trailing.push_back(0);
  all.push_back({"trailing byte", trailing});
  return all;
}

}  // namespace vrex::testing
