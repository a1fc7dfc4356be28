// Columns decoded side by side give what the in-order read gives: the same
// file, or the same first error, for intact and damaged files alike.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "reader_cases.h"
#include "reader_files.h"
#include "vrex/reader.h"

namespace vrex {
namespace {

using testing::Bytes;
using testing::Case;
using testing::cases;
using testing::rich_file;

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
