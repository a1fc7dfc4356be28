#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "format/written_bytes.h"
#include "support/padded_texts.h"
#include "vrex/table.h"
#include "vrex/writer.h"
#include "vrex/writer_internal.h"

namespace vrex {
namespace {

using Kind = VrexError::Kind;
using testing::Bytes;
using testing::Expected;
using testing::failure_of;
using testing::hex;
using testing::parse_hex;
using testing::written;

Bytes object_bytes(const Object& value, bool packed) {
  return written([&](VrexWriter& w) { return w.write_object(value, packed); });
}

Bytes value_array_bytes(const ValueArray& values) {
  return written([&](VrexWriter& w) { return w.write_value_array(values); });
}

ValueArray plain(Object values) { return ValueArray{ValueArray::Plain{std::move(values)}}; }

DecimalBytes counting_decimal(std::uint8_t first) {
  DecimalBytes bytes;
  for (std::size_t index = 0; index < bytes.size(); ++index) {
    bytes[index] = static_cast<std::uint8_t>(first + index);
  }
  return bytes;
}

struct ObjectCase {
  Object value;
  std::uint8_t type_id;
  std::uint32_t count;
  std::string packed;
  std::string unpacked;  // empty: same as packed
};

std::vector<ObjectCase> every_alternative() {
  std::vector<ObjectCase> cases;
  auto add = [&](Object value, std::uint8_t type_id, std::uint32_t count, std::string packed,
                 std::string unpacked = "") {
    cases.push_back({std::move(value), type_id, count, std::move(packed), std::move(unpacked)});
  };
  add(object::Bool{true}, 0x01, 1, "01");
  add(BoolArray{{1, 0, 1}}, 0x01, 3, "01 00 01");
  add(object::Int{-2}, 0x02, 1, "FE FF FF FF");
  add(object::IntArray{{1, -2}}, 0x02, 2, "01 00 00 00 FE FF FF FF");
  add(object::Long{0x0102030405060708}, 0x03, 1, "08 07 06 05 04 03 02 01");
  add(object::LongArray{{-1, 1}}, 0x03, 2, "FF FF FF FF FF FF FF FF 01 00 00 00 00 00 00 00");
  add(object::Float{1.5f}, 0x04, 1, "00 00 C0 3F");
  add(object::FloatArray{{-2.0f, 0.0f}}, 0x04, 2, "00 00 00 C0 00 00 00 00");
  add(object::Double{1.5}, 0x05, 1, "00 00 00 00 00 00 F8 3F");
  add(object::DoubleArray{{-0.0}}, 0x05, 1, "00 00 00 00 00 00 00 80");
  add(object::DateTime{1}, 0x06, 1, "01 00 00 00 00 00 00 00");
  add(object::DateTimeArray{{2, 3}}, 0x06, 2, "02 00 00 00 00 00 00 00 03 00 00 00 00 00 00 00");
  add(object::Date{-4}, 0x07, 1, "FC FF FF FF FF FF FF FF");
  add(object::DateArray{{}}, 0x07, 0, "");
  add(object::Time{0x100}, 0x08, 1, "00 01 00 00 00 00 00 00");
  add(object::TimeArray{{5}}, 0x08, 1, "05 00 00 00 00 00 00 00");
  add(object::TimeSpan{6}, 0x09, 1, "06 00 00 00 00 00 00 00");
  add(object::TimeSpanArray{{7, 8}}, 0x09, 2, "07 00 00 00 00 00 00 00 08 00 00 00 00 00 00 00");
  add(object::String{"ab"}, 0x0A, 1, "03 00 00 00 02 61 62", "02 00 00 00 61 62");
  add(object::StringArray{{"ab", ""}}, 0x0A, 2, "04 00 00 00 02 61 62 00",
      "02 00 00 00 61 62 00 00 00 00");
  add(object::Binary{std::string("\0\xFF", 2)}, 0x0C, 1, "03 00 00 00 02 00 FF",
      "02 00 00 00 00 FF");
  add(object::BinaryArray{{"\x01", "\x02\x03"}}, 0x0C, 2, "05 00 00 00 01 01 02 02 03",
      "01 00 00 00 01 02 00 00 00 02 03");
  add(object::Decimal{counting_decimal(0)}, 0x0D, 1,
      "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F");
  add(object::DecimalArray{{counting_decimal(0x10), counting_decimal(0x20)}}, 0x0D, 2,
      "10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F "
      "20 21 22 23 24 25 26 27 28 29 2A 2B 2C 2D 2E 2F");
  return cases;
}

TEST(ObjectTest, EveryAlternativeInBothFormsAndAsPlainArray) {
  const std::vector<ObjectCase> cases = every_alternative();
  ASSERT_EQ(cases.size(), 24u);
  for (std::size_t index = 0; index < cases.size(); ++index) {
    const ObjectCase& c = cases[index];
    ASSERT_EQ(c.value.index(), index) << "one case per alternative, in order";
    const Bytes packed = parse_hex(c.packed);
    const Bytes unpacked = parse_hex(c.unpacked.empty() ? c.packed : c.unpacked);
    EXPECT_EQ(hex(object_bytes(c.value, true)), hex(packed)) << "alternative " << index;
    EXPECT_EQ(hex(object_bytes(c.value, false)), hex(unpacked)) << "alternative " << index;

    // A scalar inside a Plain value array stands for exactly one value.
    Expected array;
    array.u8(0x01).u8(c.type_id).i32(static_cast<std::int32_t>(c.count));
    array.hex(c.packed);
    EXPECT_EQ(hex(value_array_bytes(plain(c.value))), hex(array.bytes()))
        << "alternative " << index;
  }
}

TEST(ValueArrayTest, HandWrittenLayouts) {
  struct Case {
    const char* name;
    ValueArray values;
    std::string expected;
  };

  std::vector<Case> cases;
  cases.push_back({"int array", plain(object::IntArray{{1, -2}}),
                   "01 02  02 00 00 00  01 00 00 00 FE FF FF FF"});
  cases.push_back({"double array", plain(object::DoubleArray{{1.5}}),
                   "01 05  01 00 00 00  00 00 00 00 00 00 F8 3F"});
  cases.push_back(
      {"bool array, one byte each", plain(BoolArray{{1, 0, 1}}), "01 01  03 00 00 00  01 00 01"});
  cases.push_back({"string array", plain(object::StringArray{{"ab", ""}}),
                   "01 0A  02 00 00 00  04 00 00 00  02 61 62  00"});
  cases.push_back(
      {"scalar string", plain(object::String{"ab"}), "01 0A  01 00 00 00  03 00 00 00  02 61 62"});
  cases.push_back(
      {"empty string array", plain(object::StringArray{}), "01 0A  00 00 00 00  00 00 00 00"});
  cases.push_back({"empty int array", plain(object::IntArray{}), "01 02  00 00 00 00"});
  cases.push_back({"run length",
                   ValueArray{ValueArray::RunLength{object::IntArray{{7, 9}}, {2, 0}}},
                   "02 02  04 00 00 00  02 00 00 00  02 00  02 00 00 00"
                   "  07 00 00 00 09 00 00 00"});
  cases.push_back({"run length of texts",
                   ValueArray{ValueArray::RunLength{object::StringArray{{"x"}}, {255}}},
                   "02 0A  00 01 00 00  01 00 00 00  FF  01 00 00 00  02 00 00 00 01 \"x\""});
  cases.push_back({"empty run length", ValueArray{ValueArray::RunLength{object::LongArray{}, {}}},
                   "02 03  00 00 00 00  00 00 00 00  00 00 00 00"});
  cases.push_back(
      {"bit array", ValueArray{ValueArray::BitArray{{{0xA0}, 3}}}, "03 01  03 00 00 00  A0"});
  for (const Case& c : cases) {
    EXPECT_EQ(hex(value_array_bytes(c.values)), hex(parse_hex(c.expected))) << c.name;
  }
}

TEST(ValueArrayTest, PackedLengthGrowsAtEachThreshold) {
  // Lengths just below and at each threshold of the packed size.
  for (std::size_t length : {127u, 128u, 16'383u, 16'384u}) {
    const std::string text(length, 'q');
    const std::size_t packed_size = packed_int_size(length);
    Bytes bytes = object_bytes(object::String{text}, true);
    ASSERT_EQ(bytes.size(), 4 + packed_size + length);
    Expected head;
    head.i32(static_cast<std::int32_t>(packed_size + length));
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 4), head.bytes()) << length;
    Bytes written_length;
    written_length.assign(bytes.begin() + 4, bytes.begin() + 4 + static_cast<long>(packed_size));
    EXPECT_EQ(written_length, written([&](VrexWriter& w) {
                return w.write_7bit_packed_int(static_cast<std::uint32_t>(length));
              }))
        << length;
  }
  // The example of a 128-byte text: two-byte packed length and a total of 130.
  Bytes bytes = object_bytes(object::String{std::string(128, 'z')}, true);
  EXPECT_EQ(hex(Bytes(bytes.begin(), bytes.begin() + 6)), "82 00 00 00 80 01");
}

TEST(ValueArrayTest, TextArrayTotalCountsEveryPackedLength) {
  object::StringArray texts;
  texts.values.push_back(std::string(200, 'a'));
  texts.values.push_back("");
  texts.values.push_back(std::string(20'000, 'b'));
  Bytes bytes = object_bytes(texts, true);
  const std::size_t total = (2 + 200) + 1 + (3 + 20'000);
  ASSERT_EQ(bytes.size(), 4 + total);
  Expected expected;
  expected.i32(static_cast<std::int32_t>(total)).hex("C8 01").raw(std::string(200, 'a'));
  expected.u8(0).hex("A0 9C 01").raw(std::string(20'000, 'b'));
  EXPECT_EQ(bytes, expected.bytes());
}

// Short texts take a fixed-size copy, long ones and those at the very end of
// the run a copy of their own length; both must give the plain layout.
TEST(ValueArrayTest, TextRunsMatchOneByOneLayoutOnRandomInput) {
  std::mt19937_64 random(1234);
  for (int trial = 0; trial < 200; ++trial) {
    object::StringArray texts;
    Expected expected_run;
    const std::size_t count = random() % 64;
    for (std::size_t index = 0; index < count; ++index) {
      std::string text(random() % 40, '\0');
      for (char& c : text) c = static_cast<char>('a' + random() % 26);
      texts.values.push_back(text);
      expected_run.u8(static_cast<std::uint8_t>(text.size())).raw(text);
    }
    Expected expected;
    expected.i32(static_cast<std::int32_t>(expected_run.bytes().size()));
    expected.raw(
        {reinterpret_cast<const char*>(expected_run.bytes().data()), expected_run.bytes().size()});
    EXPECT_EQ(object_bytes(texts, true), expected.bytes()) << "trial " << trial;
  }
}

// The length pass is the one that decides StringTooLong, BytesTooLong and an
// overflowing total; it reads nothing but lengths, so lengths of gigabytes can
// be put to it without the texts themselves.
TEST(PackedTextTotalTest, LimitsOfLengthsAndTotal) {
  struct Case {
    std::vector<std::uint64_t> lengths;
    std::optional<Kind> error;  // none: the total below
    std::uint64_t total;
  };

  const std::vector<Case> cases = {
      {{}, std::nullopt, 0},
      {{0, 0}, std::nullopt, 2},
      {{127, 128}, std::nullopt, 1 + 127 + 2 + 128},
      {{0x7FFFFFFA}, std::nullopt, 0x7FFFFFFF},
      {{0x7FFFFFFB}, Kind::TooManyValuesInArray, 0},
      {{0x7FFFFFFF}, Kind::TooManyValuesInArray, 0},
      {{0x80000000}, Kind::StringTooLong, 0},
      {{~std::uint64_t{0}}, Kind::StringTooLong, 0},
      {{0x40000000, 0x40000000}, Kind::TooManyValuesInArray, 0},
      // The length check comes before the addition that would overflow.
      {{0x7FFFFFF0, 0x80000000}, Kind::StringTooLong, 0},
      // 0x7FFFFFF9 + 5 + (1 + 0) reaches the limit exactly; the next packed
      // length alone overflows.
      {{0x7FFFFFF9, 0}, std::nullopt, 0x7FFFFFFF},
      {{0x7FFFFFF9, 0, 0}, Kind::TooManyValuesInArray, 0},
      // An overflowing total stops the pass before later lengths are seen.
      {{0x7FFFFFFA, 1, 0x80000000}, Kind::TooManyValuesInArray, 0},
  };
  for (const Case& c : cases) {
    for (Kind too_long : {Kind::StringTooLong, Kind::BytesTooLong}) {
      auto total = writer_internal::packed_text_total(
          c.lengths.size(), [&](std::size_t index) { return c.lengths[index]; }, too_long);
      if (!c.error) {
        ASSERT_TRUE(total) << total.error().display_text();
        EXPECT_EQ(*total, c.total);
        continue;
      }
      ASSERT_FALSE(total);
      const Kind expected = *c.error == Kind::StringTooLong ? too_long : *c.error;
      EXPECT_EQ(total.error(), VrexError(expected));
    }
  }
}

// A text array sums its packed run as texts are added, however they are
// added; the writer takes that sum within the limits and the length pass's
// verdict beyond them. Views longer than their bytes are never read: the
// checks fail before any text is copied.
TEST(PackedTextTotalTest, ArraysKeepTheSumTheLengthPassFinds) {
  const std::vector<std::vector<std::uint64_t>> cases = {
      {},
      {0, 0, 5},
      {127, 128, 16383, 16384},
      {0x7FFFFFFA},
      {0x7FFFFFF9, 0},
      {0x7FFFFFF9, 0, 0},
      {0x7FFFFFFB},
      {0x80000000},
      {0x40000000, 0x40000000},
      {0x7FFFFFF0, 0x80000000},
  };
  const std::string source(300, 's');
  for (const auto& lengths : cases) {
    auto expected = writer_internal::packed_text_total(
        lengths.size(), [&](std::size_t index) { return lengths[index]; }, Kind::StringTooLong);
    object::StringArray borrowed;
    borrowed.values.borrow_padded_texts();
    for (std::uint64_t length : lengths) {
      borrowed.values.push_back_borrowed(
          PaddedTextMakerForTests::vouch({source.data(), static_cast<std::size_t>(length)}));
    }
    const bool small = std::all_of(lengths.begin(), lengths.end(),
                                   [](std::uint64_t length) { return length < 300; });
    if (expected) {
      EXPECT_EQ(borrowed.values.packed_run_bytes(), *expected);
    }
    if (!small) {
      if (expected) continue;  // within the limits, but gigabytes to write
      auto failure = failure_of([&](VrexWriter& w) { return w.write_object(borrowed, true); });
      EXPECT_EQ(failure.error, expected.error());
      EXPECT_TRUE(failure.left.empty());
      continue;
    }
    // Small texts: owned, borrowed and bulk-built arrays write the same run.
    object::StringArray owned;
    object::StringArray bulk;
    std::uint64_t end = 0;
    for (std::uint64_t length : lengths) {
      owned.values.push_back({source.data(), static_cast<std::size_t>(length)});
      std::memcpy(bulk.values.extend_block(length), source.data(), length);
      bulk.values.add_end(end += length);
    }
    EXPECT_EQ(owned.values.packed_run_bytes(), *expected);
    EXPECT_EQ(bulk.values.packed_run_bytes(), *expected);
    const Bytes bytes = object_bytes(owned, true);
    EXPECT_EQ(object_bytes(borrowed, true), bytes);
    EXPECT_EQ(object_bytes(bulk, true), bytes);
  }
}

TEST(ValueArrayTest, RunTotalOverLimitStopsAfterEncodingAndType) {
  // 2^23 runs of 256 values each are 2^31 values, one more than a count holds.
  ValueArray too_long{ValueArray::RunLength{object::IntArray{{1}}, {}}};
  auto& runs = std::get<ValueArray::RunLength>(too_long.encoding).runs;
  runs.assign(std::size_t{1} << 23, 255);
  auto failure = failure_of([&](VrexWriter& w) { return w.write_value_array(too_long); });
  EXPECT_EQ(failure.error, VrexError(Kind::TooManyValuesInArray));
  EXPECT_EQ(hex(failure.left), "02 02");

  // One value fewer fits exactly.
  runs.back() = 254;
  Bytes bytes = value_array_bytes(too_long);
  ASSERT_EQ(bytes.size(), 2 + 4 + 4 + runs.size() + 4 + 4);
  EXPECT_EQ(hex(Bytes(bytes.begin(), bytes.begin() + 10)), "02 02 FF FF FF 7F 00 00 80 00");
}

TEST(ValueArrayTest, ErrorsOfTheObjectArePassedOnThroughTheArray) {
  // A bit array value array whose count is over the limit needs no bytes.
  ValueArray bits{ValueArray::BitArray{{{}, kMaxCount + 1}}};
  auto failure = failure_of([&](VrexWriter& w) { return w.write_value_array(bits); });
  EXPECT_EQ(failure.error, VrexError(Kind::BytesTooLong));
  EXPECT_EQ(hex(failure.left), "03 01");
}

// Texts above the limit take gigabytes of memory; run with VREX_HUGE_TESTS=1.
// One 2 GiB text is moved from place to place so that only one exists at once.
TEST(HugeTextTest, TextsOverTheLimitAreRefused) {
  if (std::getenv("VREX_HUGE_TESTS") == nullptr) GTEST_SKIP() << "set VREX_HUGE_TESTS=1";
  auto refused = [](const auto& write, Kind expected) {
    auto failure = failure_of(write);
    EXPECT_EQ(failure.error, VrexError(expected));
    return failure.left;
  };
  Object text = object::String{std::string(std::size_t{kMaxCount} + 1, 'h')};
  for (bool packed : {true, false}) {
    Bytes left =
        refused([&](VrexWriter& w) { return w.write_object(text, packed); }, Kind::StringTooLong);
    EXPECT_TRUE(left.empty());
  }
  Object bytes = object::Binary{std::move(std::get<object::String>(text).value)};
  for (bool packed : {true, false}) {
    Bytes left =
        refused([&](VrexWriter& w) { return w.write_object(bytes, packed); }, Kind::BytesTooLong);
    EXPECT_TRUE(left.empty());
  }
  ColumnSlice column{plain(object::IntArray{}), {}};
  column.properties.properties.push_back(
      {std::move(std::get<object::Binary>(bytes).value), plain(object::IntArray{})});
  Bytes left =
      refused([&](VrexWriter& w) { return w.write_column_slice(column); }, Kind::StringTooLong);
  EXPECT_EQ(hex(left), "A7 3C 04 01 02 00 00 00 00 01 00 00 00");
  TableMetadata table;
  table.metadata.push_back({std::move(column.properties.properties[0].name), object::Int{1}, {}});
  left = refused([&](VrexWriter& w) { return w.write_table_metadata(table); }, Kind::StringTooLong);
  EXPECT_EQ(hex(left), "01 00 00 00");
}

}  // namespace
}  // namespace vrex
