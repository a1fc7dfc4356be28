#include "typing/column.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "support/padded_texts.h"
#include "typing/infer.h"
#include "vrex/writer.h"

namespace vrex::ext {
namespace {

const Object& plain_values(const ColumnSlice& slice) {
  return std::get<ValueArray::Plain>(slice.values.encoding).values;
}

// The packed "IsInvalid" flags of a slice, or nullopt when it has none; the
// other properties are always absent.
std::optional<std::vector<std::uint8_t>> invalid_bytes(const ColumnSlice& slice,
                                                       std::size_t count) {
  EXPECT_FALSE(slice.properties.error_code.has_value());
  EXPECT_FALSE(slice.properties.has_replaced_value.has_value());
  EXPECT_TRUE(slice.properties.properties.empty());
  if (!slice.properties.is_invalid) return std::nullopt;
  EXPECT_EQ(slice.properties.is_invalid->count, count);
  return slice.properties.is_invalid->bytes;
}

using Bytes = std::optional<std::vector<std::uint8_t>>;

TEST(BuildColumnSlice, FlagsInvalidTextsHighBitFirst) {
  struct Case {
    std::vector<std::string_view> texts;
    ValueType type;
    Bytes invalid;
  };

  const Case cases[] = {
      {{"1", "", "x", "2"}, ValueType::Int, std::vector<std::uint8_t>{0x60}},
      {{"1", "2", "3", "4", "5", "6", "7", "8", "x"},
       ValueType::Long,
       std::vector<std::uint8_t>{0x00, 0x80}},
      {{"x", "1", "1", "1", "1", "1", "1", "y"},
       ValueType::Double,
       std::vector<std::uint8_t>{0x81}},
      {{"1", "2"}, ValueType::Int, std::nullopt},
      {{"true", "FALSE"}, ValueType::Bool, std::nullopt},
      {{"a", " "}, ValueType::String, std::nullopt},
      {{"nan", "-inf", "1e999"}, ValueType::Double, std::nullopt},
      {{"1.5", "-0"}, ValueType::Float, std::nullopt},
      {{}, ValueType::Int, std::nullopt},
      {{}, ValueType::String, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "type " << int(to_byte(c.type)) << ", " << c.texts.size() << " texts");
    const ColumnSlice slice = build_column_slice(c.texts, c.type);
    EXPECT_EQ(invalid_bytes(slice, c.texts.size()), c.invalid);
    EXPECT_EQ(value_count(plain_values(slice)), c.texts.size());
  }
}

TEST(BuildColumnSlice, ConvertsIntegersWithinTheColumnWidthOnly) {
  const std::vector<std::string_view> texts = {"2147483647", "-2147483648",
                                               "2147483648", "-2147483649",
                                               "007",        "+0",
                                               "-0000",      " 12",
                                               "12 ",        "",
                                               "1.0",        "1e3",
                                               "+-1",        "00000000000000000000042"};
  const ColumnSlice ints = build_column_slice(texts, ValueType::Int);
  EXPECT_EQ(
      std::get<object::IntArray>(plain_values(ints)).values,
      (std::vector<std::int32_t>{2147483647, -2147483648, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0, 0, 42}));
  EXPECT_EQ(invalid_bytes(ints, texts.size()), (std::vector<std::uint8_t>{0x31, 0xF8}));

  const ColumnSlice longs = build_column_slice(texts, ValueType::Long);
  EXPECT_EQ(std::get<object::LongArray>(plain_values(longs)).values,
            (std::vector<std::int64_t>{2147483647, -2147483648, 2147483648, -2147483649, 7, 0, 0, 0,
                                       0, 0, 0, 0, 0, 42}));
  EXPECT_EQ(invalid_bytes(longs, texts.size()), (std::vector<std::uint8_t>{0x01, 0xF8}));

  const std::vector<std::string_view> edges = {"9223372036854775807", "-9223372036854775808",
                                               "9223372036854775808", "-9223372036854775809"};
  const ColumnSlice long_edges = build_column_slice(edges, ValueType::Long);
  EXPECT_EQ(std::get<object::LongArray>(plain_values(long_edges)).values,
            (std::vector<std::int64_t>{INT64_MAX, INT64_MIN, 0, 0}));
  EXPECT_EQ(invalid_bytes(long_edges, edges.size()), (std::vector<std::uint8_t>{0x30}));
}

TEST(BuildColumnSlice, ConvertsDoublesToTheirExactBits) {
  struct Case {
    std::string_view text;
    std::uint64_t bits;
    bool invalid;
  };

  const Case cases[] = {
      {"0", 0x0000000000000000, false},
      {"-0", 0x8000000000000000, false},
      {"-0.0e-5", 0x8000000000000000, false},
      {"1", 0x3FF0000000000000, false},
      {"1e999", 0x7FF0000000000000, false},
      {"-1e999", 0xFFF0000000000000, false},
      {"1e-999", 0x0000000000000000, false},
      {"inf", 0x7FF0000000000000, false},
      {"-Infinity", 0xFFF0000000000000, false},
      {"nan", 0x7FF8000000000000, false},
      {"+nan", 0x7FF8000000000000, false},
      {"-nan", 0xFFF8000000000000, false},
      {"1,5", 0, true},
      {"", 0, true},
      {" 1", 0, true},
      {"1 ", 0, true},
      {"nan(1)", 0, true},
      {"-", 0, true},
      {"1e", 0, true},
  };
  std::vector<std::string_view> texts;
  for (const Case& c : cases) texts.push_back(c.text);
  const ColumnSlice slice = build_column_slice(texts, ValueType::Double);
  const auto& values = std::get<object::DoubleArray>(plain_values(slice)).values;
  ASSERT_EQ(values.size(), texts.size());
  ASSERT_TRUE(slice.properties.is_invalid.has_value());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    SCOPED_TRACE(std::string(texts[i]));
    EXPECT_EQ(std::bit_cast<std::uint64_t>(values[i]), cases[i].bits);
    const bool flagged = (slice.properties.is_invalid->bytes[i / 8] >> (7 - i % 8)) & 1;
    EXPECT_EQ(flagged, cases[i].invalid);
  }
}

TEST(BuildColumnSlice, ConvertsFloatsRoundingOnceToBinary32) {
  struct Case {
    std::string_view text;
    std::uint32_t bits;
    bool invalid;
  };

  const Case cases[] = {
      {"1.5", 0x3FC00000, false},
      {"-0", 0x80000000, false},
      {"nan", 0x7FC00000, false},
      {"-NAN", 0xFFC00000, false},
      {"-inf", 0xFF800000, false},
      {"3.4028236e38", 0x7F800000, false},
      {"1e-46", 0x00000000, false},
      // Halfway between two floats, but just above it as a decimal: rounding
      // through double first would land on the even neighbour below.
      {"1.00000005960464477550", 0x3F800001, false},
      {"16777217", 0x4B800000, false},
      {"x", 0, true},
  };
  std::vector<std::string_view> texts;
  for (const Case& c : cases) texts.push_back(c.text);
  const ColumnSlice slice = build_column_slice(texts, ValueType::Float);
  const auto& values = std::get<object::FloatArray>(plain_values(slice)).values;
  ASSERT_EQ(values.size(), texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    SCOPED_TRACE(std::string(texts[i]));
    EXPECT_EQ(std::bit_cast<std::uint32_t>(values[i]), cases[i].bits);
  }
  EXPECT_EQ(invalid_bytes(slice, texts.size()), (std::vector<std::uint8_t>{0x00, 0x40}));
}

TEST(BuildColumnSlice, ConvertsBoolsAfterTrimming) {
  const std::vector<std::string_view> texts = {"TRUE",  " false ", "1",     "",     "true\xc2\xa0",
                                               "fAlSe", "truE",    "falsE", "trux", "false!"};
  const ColumnSlice slice = build_column_slice(texts, ValueType::Bool);
  EXPECT_EQ(std::get<BoolArray>(plain_values(slice)).values,
            (std::vector<std::uint8_t>{1, 0, 0, 0, 1, 0, 1, 0, 0, 0}));
  EXPECT_EQ(invalid_bytes(slice, texts.size()), (std::vector<std::uint8_t>{0x30, 0xC0}));
}

// The bool column reads the bare words on a fast path of its own; it must
// agree with parse_bool on any text.
TEST(BuildColumnSlice, BoolFastPathAgreesWithParseBool) {
  std::mt19937_64 random(1234);
  const std::string_view alphabet[] = {"t", "r", "u", "e", "f",  "a",        "l", "s",
                                       "T", "E", "S", " ", "\t", "\xc2\xa0", "x", "5"};
  std::vector<std::string> owned;
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    if (i % 3 == 0) text = (i % 2 == 0) ? "true" : "false";
    const std::size_t edits = random() % 4;
    for (std::size_t e = 0; e < edits; ++e) {
      const std::string_view piece = alphabet[random() % std::size(alphabet)];
      const std::size_t at = text.empty() ? 0 : random() % (text.size() + 1);
      if (random() % 2 == 0 || text.empty()) {
        text.insert(at, piece);
      } else {
        text.erase(at % text.size(), 1);
      }
    }
    owned.push_back(std::move(text));
  }
  std::vector<std::string_view> texts(owned.begin(), owned.end());
  const ColumnSlice slice = build_column_slice(texts, ValueType::Bool);
  const auto& values = std::get<BoolArray>(plain_values(slice)).values;
  ASSERT_TRUE(slice.properties.is_invalid.has_value());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    const ParsedBool expected = parse_bool(texts[i]);
    const bool flagged = (slice.properties.is_invalid->bytes[i / 8] >> (7 - i % 8)) & 1;
    ASSERT_EQ(values[i], expected == ParsedBool::True ? 1 : 0) << texts[i];
    ASSERT_EQ(flagged, expected == ParsedBool::None) << texts[i];
  }
}

// Inference and conversion read text the same way: a column converted under
// its inferred type flags exactly its empty texts.
TEST(BuildColumnSlice, FlagsOnlyEmptyTextsUnderTheInferredType) {
  std::mt19937_64 random(99);
  const std::string_view pieces[] = {"0",   "7", "9",    "-",          "+",          ".",
                                     "e",   "E", "true", "FALSE",      " ",          "inf",
                                     "NaN", "x", "",     "2147483648", "99999999999"};
  for (int column = 0; column < 3000; ++column) {
    std::vector<std::string> owned(1 + random() % 4);
    for (std::string& text : owned) {
      for (std::size_t n = random() % 4; n > 0; --n)
        text.append(pieces[random() % std::size(pieces)]);
    }
    const std::vector<std::string_view> texts(owned.begin(), owned.end());
    const ValueType type = infer_type(texts);
    const ColumnSlice slice = build_column_slice(texts, type);
    for (std::size_t i = 0; i < texts.size(); ++i) {
      const bool flagged = slice.properties.is_invalid &&
                           ((slice.properties.is_invalid->bytes[i / 8] >> (7 - i % 8)) & 1);
      ASSERT_EQ(flagged, texts[i].empty()) << "'" << texts[i] << "' as type " << int(to_byte(type));
    }
  }
}

std::vector<std::uint8_t> slice_bytes(const ColumnSlice& slice) {
  ByteBuffer output;
  VrexWriter writer(output);
  EXPECT_TRUE(writer.write_column_slice(slice));
  return {output.data(), output.data() + output.size()};
}

// Padded texts take the block readers and are borrowed, appended a tile at a
// time, by a builder restarted chunk after chunk: the slices are those of the
// plain path, whatever the texts and whatever lies after them.
TEST(ColumnSliceBuilder, PaddedTextsGiveThePlainSlicesChunkAfterChunk) {
  std::mt19937_64 random(20261208);
  const std::string_view pieces[] = {"0", "7", "9",   "-",  "+",   ".", "e",   "E",         "true",
                                     " ", "x", "inf", "1e", "0.5", "",  "123", "4567890123"};
  for (ValueType type : {ValueType::Bool, ValueType::Int, ValueType::Long, ValueType::Float,
                         ValueType::Double, ValueType::String}) {
    ColumnSliceBuilder builder(type, 4);
    for (int chunk = 0; chunk < 200; ++chunk) {
      std::vector<std::string> owned(random() % 40);
      for (std::string& text : owned) {
        for (std::size_t n = random() % 6; n > 0; --n)
          text.append(pieces[random() % std::size(pieces)]);
      }
      const std::vector<std::string_view> texts(owned.begin(), owned.end());
      vrex::testing::PaddedTexts padded(texts);
      const std::span<const PaddedText> all = padded.texts();
      const std::size_t cut = all.empty() ? 0 : random() % (all.size() + 1);
      builder.restart(all.size());
      builder.append(all.first(cut));
      builder.append(all.subspan(cut));
      ASSERT_EQ(slice_bytes(builder.finish()), slice_bytes(build_column_slice(texts, type)))
          << "type " << int(to_byte(type)) << ", chunk " << chunk;
    }
  }
}

TEST(BuildColumnSlice, KeepsTextsForStringAndEveryTypeWithoutAReading) {
  const std::vector<std::string_view> texts = {"a", "", " ", "2024-01-31", "\xe2\x82\xac"};
  for (ValueType type : {ValueType::String, ValueType::DateTime, ValueType::Date, ValueType::Time,
                         ValueType::TimeSpan, ValueType::Binary, ValueType::Decimal}) {
    SCOPED_TRACE(int(to_byte(type)));
    const ColumnSlice slice = build_column_slice(texts, type);
    const TextArray& values = std::get<object::StringArray>(plain_values(slice)).values;
    ASSERT_EQ(values.size(), texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(values[i], texts[i]);
    EXPECT_EQ(values.total_bytes(), 15u);
    EXPECT_EQ(invalid_bytes(slice, texts.size()), (std::vector<std::uint8_t>{0x40}));
  }
}

TEST(BuildColumnSlice, EmptyChunkGivesAnEmptyArrayOfTheColumnType) {
  for (ValueType type : {ValueType::Bool, ValueType::Int, ValueType::Long, ValueType::Float,
                         ValueType::Double, ValueType::String, ValueType::Date}) {
    const ColumnSlice slice = build_column_slice({}, type);
    const Object& values = plain_values(slice);
    EXPECT_EQ(type_of(values), type == ValueType::Date ? ValueType::String : type);
    EXPECT_EQ(value_count(values), 0u);
    EXPECT_FALSE(slice.properties.is_invalid.has_value());
  }
}

}  // namespace
}  // namespace vrex::ext
