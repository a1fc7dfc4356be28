#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "format/written_bytes.h"
#include "vrex/table.h"
#include "vrex/writer.h"

namespace vrex {
namespace {

using testing::Bytes;
using testing::failure_of;
using testing::hex;
using testing::parse_hex;
using testing::written;

TEST(SectionIdTest, MagicThenSectionType) {
  const std::vector<std::pair<SectionType, std::string>> cases = {
      {SectionType::FileHeader, "A7 3C 01"}, {SectionType::TableMetadata, "A7 3C 02"},
      {SectionType::TableSlice, "A7 3C 03"}, {SectionType::ColumnSlice, "A7 3C 04"},
      {SectionType::TableEnd, "A7 3C 05"},
  };
  for (const auto& [type, expected] : cases) {
    EXPECT_EQ(hex(written([&](VrexWriter& w) { return w.write_section_id(type); })), expected);
  }
}

TEST(FileHeaderTest, SectionIdAndVersionMakeFiveBytes) {
  Bytes header = written([](VrexWriter& w) -> WriteStatus {
    VREX_TRY(w.write_section_id(SectionType::FileHeader));
    return w.write_file_header(1, 0);
  });
  EXPECT_EQ(hex(header), "A7 3C 01 01 00");
  EXPECT_EQ(hex(written([](VrexWriter& w) { return w.write_file_header(2, 7); })), "02 07");
}

TEST(PackedIntTest, LowGroupFirstAndSizesByThreshold) {
  const std::vector<std::pair<std::uint32_t, std::string>> cases = {
      {0, "00"},
      {1, "01"},
      {127, "7F"},
      {128, "80 01"},
      {300, "AC 02"},
      {16'383, "FF 7F"},
      {16'384, "80 80 01"},
      {2'097'151, "FF FF 7F"},
      {2'097'152, "80 80 80 01"},
      {268'435'455, "FF FF FF 7F"},
      {268'435'456, "80 80 80 80 01"},
      {0x7FFFFFFF, "FF FF FF FF 07"},
      {0xFFFFFFFF, "FF FF FF FF 0F"},
  };
  for (const auto& [value, expected] : cases) {
    Bytes bytes = written([&](VrexWriter& w) { return w.write_7bit_packed_int(value); });
    EXPECT_EQ(hex(bytes), expected) << value;
    EXPECT_EQ(bytes.size(), packed_int_size(value)) << value;
  }
}

// The reference packing: one boolean at a time.
EncodedBitArray pack_one_by_one(const std::vector<std::uint8_t>& booleans) {
  EncodedBitArray packed;
  packed.count = booleans.size();
  packed.bytes.assign((booleans.size() + 7) / 8, 0);
  for (std::size_t index = 0; index < booleans.size(); ++index) {
    if (booleans[index] != 0) {
      packed.bytes[index / 8] |= static_cast<std::uint8_t>(0x80 >> (index % 8));
    }
  }
  return packed;
}

TEST(BitPackingTest, FirstBooleanInHighBit) {
  struct Case {
    std::vector<std::uint8_t> booleans;
    std::string bytes;
  };

  const std::vector<Case> cases = {
      {{}, ""},
      {{1, 0, 1}, "A0"},
      {{1, 1, 1, 1, 1, 1, 1, 1, 1}, "FF 80"},
      {{0, 0, 0, 0, 0, 0, 0, 0}, "00"},
      {{0, 0, 0, 0, 0, 0, 0, 1}, "01"},
      {{1, 0, 0, 0, 0, 0, 0, 0, 0, 1}, "80 40"},
      {{0, 1, 0, 1, 0, 1, 0, 1, 1, 0, 1, 0, 1, 0, 1, 0, 1}, "55 AA 80"},
  };
  for (const Case& c : cases) {
    BoolArray input{c.booleans};
    EncodedBitArray packed = input.encode_to_bit_array();
    EXPECT_EQ(hex(packed.bytes), c.bytes);
    EXPECT_EQ(packed.count, c.booleans.size());
    EXPECT_EQ(input.values, c.booleans) << "the input stays as it is";
  }
}

TEST(BitPackingTest, WordAtATimeMatchesOneByOneOnRandomInput) {
  std::mt19937_64 random(1234);
  for (int trial = 0; trial < 500; ++trial) {
    std::size_t count = trial < 100 ? static_cast<std::size_t>(trial) : random() % 5000;
    std::vector<std::uint8_t> booleans(count);
    // Vary the density so long runs of either value occur too.
    const std::uint64_t threshold = random() % 101;
    for (auto& boolean : booleans) boolean = random() % 100 < threshold ? 1 : 0;
    EncodedBitArray expected = pack_one_by_one(booleans);
    EXPECT_EQ(BoolArray{booleans}.encode_to_bit_array(), expected) << "count " << count;
  }
}

TEST(EncodedBitArrayTest, WrittenAsBitArrayValueArray) {
  struct Case {
    std::string bytes;
    std::uint64_t count;
    std::string expected;
  };

  const std::vector<Case> cases = {
      {"", 0, "03 01 00 00 00 00"},
      {"A0", 3, "03 01 03 00 00 00 A0"},
      {"FF 80", 9, "03 01 09 00 00 00 FF 80"},
      {"12 34 56 78", 32, "03 01 20 00 00 00 12 34 56 78"},
      // The byte count follows `count` even when the model's bytes disagree.
      {"FF", 9, "03 01 09 00 00 00 FF 00"},
      {"A0 FF", 3, "03 01 03 00 00 00 A0"},
  };
  for (const Case& c : cases) {
    EncodedBitArray bits{parse_hex(c.bytes), c.count};
    EXPECT_EQ(hex(written([&](VrexWriter& w) { return w.write_encoded_bit_array(bits); })),
              c.expected);
  }
}

TEST(EncodedBitArrayTest, CountOverLimitIsBytesTooLongAfterTheTwoHeaderBytes) {
  EncodedBitArray too_many{{}, kMaxCount + 1};
  auto failure = failure_of([&](VrexWriter& w) { return w.write_encoded_bit_array(too_many); });
  EXPECT_EQ(failure.error, VrexError(VrexError::Kind::BytesTooLong));
  EXPECT_EQ(hex(failure.left), "03 01");

  EncodedBitArray far_too_many{{}, ~std::uint64_t{0}};
  failure = failure_of([&](VrexWriter& w) { return w.write_encoded_bit_array(far_too_many); });
  EXPECT_EQ(failure.error, VrexError(VrexError::Kind::BytesTooLong));
}

TEST(EncodedBitArrayTest, PackedThenWrittenMatchesHandLayout) {
  BoolArray flags{{0, 1, 0, 0, 1, 1, 0, 0, 0, 0, 1}};
  Bytes bytes = written(
      [&](VrexWriter& w) { return w.write_encoded_bit_array(flags.encode_to_bit_array()); });
  EXPECT_EQ(bytes, parse_hex("03 01  0B 00 00 00  4C 20"));
}

}  // namespace
}  // namespace vrex
