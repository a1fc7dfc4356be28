// The columnar hand-over layouts: packed bitmaps agree with their one-flag
// reference, text offsets with the elements, and a mapped file with its bytes.
#include "vrex/reader_columnar.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "vrex/reader_mapped_file.h"

namespace vrex {
namespace {

TEST(ReaderColumnarTest, BitmapPackingMatchesReferenceOnEveryLengthAndPattern) {
  std::mt19937 random(77);
  for (std::size_t size = 0; size < 70; ++size) {
    for (int density : {0, 1, 50, 99, 100}) {
      std::vector<std::uint8_t> flags(size);
      for (auto& flag : flags) flag = static_cast<int>(random() % 100) < density ? 1 : 0;
      for (bool invert : {false, true}) {
        const auto fast = pack_bits_lsb_first(flags, invert);
        EXPECT_EQ(fast, pack_bits_lsb_first_scalar(flags, invert))
            << "size " << size << " density " << density << " invert " << invert;
        ASSERT_EQ(fast.size(), (size + 7) / 8);
        for (std::size_t index = 0; index < size; ++index) {
          const bool bit = (fast[index / 8] >> (index % 8)) & 1u;
          ASSERT_EQ(bit, (flags[index] != 0) != invert) << index;
        }
        // Bits past the last flag stay clear, even for an inverted bitmap.
        if (size % 8 != 0) {
          EXPECT_EQ(fast.back() >> (size % 8), 0) << size;
        }
      }
    }
  }
}

TEST(ReaderColumnarTest, OffsetsStartAtZeroAndEndEachElement) {
  const std::vector<std::vector<std::string_view>> cases{
      {}, {""}, {"", ""}, {"a", "", "bcd", "\xC3\xA9"}, {"only one element"}};
  for (const auto& elements : cases) {
    for (bool sized_for_offsets : {false, true}) {
      TextArray texts;
      if (sized_for_offsets) texts.reserve(elements.size() + 1, 64);
      for (std::string_view element : elements) texts.push_back(element);
      const std::vector<std::uint64_t> offsets = take_offsets(texts);
      ASSERT_EQ(offsets.size(), elements.size() + 1);
      EXPECT_EQ(offsets.front(), 0u);
      const std::string block = texts.take_block();
      EXPECT_EQ(offsets.back(), block.size());
      for (std::size_t index = 0; index < elements.size(); ++index) {
        EXPECT_EQ(
            std::string_view(block).substr(offsets[index], offsets[index + 1] - offsets[index]),
            elements[index]);
      }
      EXPECT_TRUE(texts.empty());
    }
  }
}

class MappedFileTest : public ::testing::Test {
 protected:
  std::filesystem::path scratch_ =
      std::filesystem::temp_directory_path() / ("vrex-map-" + std::to_string(::getpid()));

  void SetUp() override { std::filesystem::create_directories(scratch_); }

  void TearDown() override { std::filesystem::remove_all(scratch_); }

  std::string write(const std::string& name, const std::string& contents) {
    const auto path = scratch_ / name;
    std::ofstream(path, std::ios::binary) << contents;
    return path.string();
  }
};

TEST_F(MappedFileTest, MapsTheWholeFile) {
  const std::string contents = std::string("\xA7\x3C\x01", 3) + std::string(10000, 'x');
  auto mapped = MappedFile::open(write("whole", contents));
  ASSERT_TRUE(mapped);
  const auto bytes = mapped->bytes();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()), contents);
  // Moving hands the map over; the moved-from file maps nothing.
  MappedFile moved = std::move(*mapped);
  EXPECT_EQ(moved.bytes().size(), contents.size());
  EXPECT_TRUE(mapped->bytes().empty());
}

TEST_F(MappedFileTest, EmptyFileMapsToNoBytes) {
  auto mapped = MappedFile::open(write("empty", ""));
  ASSERT_TRUE(mapped);
  EXPECT_TRUE(mapped->bytes().empty());
}

TEST_F(MappedFileTest, FailuresCarryTheirErrno) {
  struct Case {
    std::string path;
    int error;
  };

  const std::vector<Case> cases{
      {(scratch_ / "missing").string(), ENOENT},
      {scratch_.string(), EISDIR},
      {"/dev/null", ENODEV},
  };
  for (const Case& failing : cases) {
    auto mapped = MappedFile::open(failing.path);
    ASSERT_FALSE(mapped) << failing.path;
    EXPECT_EQ(mapped.error(), failing.error) << failing.path;
  }
}

}  // namespace
}  // namespace vrex
