// Columns decoded side by side give what the in-order read gives: the same
// file, or the same first error, for intact and damaged files alike.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "reader_files.h"
#include "vrex/reader.h"

namespace vrex {
namespace {

using testing::bits;
using testing::Bytes;
using testing::column;
using testing::plain;
using testing::write_file;

Result<VrexFile, VrexError> read_on(const Bytes& bytes, unsigned threads) {
  // Small as they are, these files are read apart.
  return read_vrex(std::span<const std::uint8_t>(bytes.data(), bytes.size()),
                   ReadOptions{threads, 0});
}

void expect_same_columns(const ColumnData& expected, const ColumnData& got) {
  EXPECT_EQ(expected.values, got.values);
  EXPECT_EQ(expected.is_invalid, got.is_invalid);
  ASSERT_EQ(expected.properties.size(), got.properties.size());
  for (std::size_t index = 0; index < expected.properties.size(); ++index) {
    EXPECT_EQ(expected.properties[index].name, got.properties[index].name);
    EXPECT_EQ(expected.properties[index].values, got.properties[index].values);
    EXPECT_EQ(expected.properties[index].present, got.properties[index].present);
  }
}

// The in-order read is the reference for every thread count.
void expect_same_on_all_threads(const Bytes& bytes) {
  const auto in_order = read_on(bytes, 1);
  for (unsigned threads : {2u, 3u, 16u}) {
    SCOPED_TRACE(threads);
    const auto apart = read_on(bytes, threads);
    ASSERT_EQ(static_cast<bool>(in_order), static_cast<bool>(apart));
    if (!in_order) {
      EXPECT_EQ(in_order.error(), apart.error());
      continue;
    }
    EXPECT_EQ(in_order->slice_rows, apart->slice_rows);
    EXPECT_EQ(in_order->num_rows, apart->num_rows);
    ASSERT_EQ(in_order->data.size(), apart->data.size());
    for (std::size_t index = 0; index < in_order->data.size(); ++index) {
      SCOPED_TRACE(index);
      expect_same_columns(in_order->data[index], apart->data[index]);
    }
  }
}

TableMetadata four_columns() {
  TableMetadata table;
  table.columns = {column("n", ValueType::Int), column("s", ValueType::String),
                   column("b", ValueType::Bool), column("d", ValueType::DateTime)};
  return table;
}

// Every encoding, invalid flags as bytes and as bits, and a first slice whose
// dates arrive as texts.
TableSlice rich_slice(bool dates_as_texts) {
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

Bytes rich_file(bool dates_as_texts) {
  return write_file(four_columns(), {rich_slice(dates_as_texts), rich_slice(dates_as_texts),
                                     rich_slice(dates_as_texts)});
}

struct Case {
  std::string name;
  Bytes bytes;
};

std::vector<Case> cases() {
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

TEST(ReaderThreadsTest, EveryThreadCountReadsAsInOrder) {
  for (const Case& test_case : cases()) {
    SCOPED_TRACE(test_case.name);
    expect_same_on_all_threads(test_case.bytes);
  }
}

TEST(ReaderThreadsTest, CasesCoverSuccessAndFailure) {
  int read = 0;
  for (const Case& test_case : cases()) read += read_on(test_case.bytes, 2) ? 1 : 0;
  EXPECT_EQ(read, 6);
}

// Damage anywhere: the side-by-side read finds the same first fault.
TEST(ReaderThreadsTest, DamagedFilesGiveTheInOrderError) {
  const Bytes whole = rich_file(true);
  std::mt19937 random(99);
  for (int trial = 0; trial < 3000; ++trial) {
    Bytes damaged = whole;
    const int flips = 1 + trial % 3;
    for (int flip = 0; flip < flips; ++flip) {
      damaged[random() % damaged.size()] = static_cast<std::uint8_t>(random());
    }
    if (trial % 5 == 0) damaged.resize(random() % damaged.size());
    SCOPED_TRACE(trial);
    expect_same_on_all_threads(damaged);
    if (HasFailure()) return;
  }
}

}  // namespace
}  // namespace vrex
