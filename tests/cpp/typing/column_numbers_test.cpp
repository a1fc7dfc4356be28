// The numeric column conversion, plain and from padded texts, against the
// general readers applied one text at a time: the early exits for empty and
// non-numeric texts and the fast readers must not change a single value or
// flag.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "support/padded_texts.h"
#include "typing/column.h"
#include "typing/number_parse.h"
#include "vrex/table.h"

namespace vrex::ext {
namespace {

std::vector<std::string> sample_texts() {
  std::vector<std::string> texts = {"",
                                    "0",
                                    "-0",
                                    "+7",
                                    "12",
                                    "-2147483648",
                                    "2147483648",
                                    "9223372036854775807",
                                    "-9223372036854775809",
                                    "1.5",
                                    ".5",
                                    "5.",
                                    "-.5e1",
                                    "1e308",
                                    "1e309",
                                    "4.9e-324",
                                    "0.30000000000000004",
                                    "0.1234567890123456789",
                                    "123456789012345678901234567890",
                                    "1.7976931348623157e308",
                                    "2.2250738585072011e-308",
                                    "inf",
                                    "-Infinity",
                                    "NaN",
                                    "nan(1)",
                                    "NA",
                                    "null",
                                    "N/A",
                                    "-",
                                    "+",
                                    ".",
                                    "e5",
                                    " 1",
                                    "1 ",
                                    "1,5",
                                    "Inf",
                                    "i",
                                    "n",
                                    "x1"};
  // Every single byte, and every byte before a digit and after one.
  for (int byte = 0; byte < 256; ++byte) {
    const char c = static_cast<char>(byte);
    texts.emplace_back(1, c);
    texts.push_back(std::string(1, c) + "1");
    texts.push_back("1" + std::string(1, c));
  }
  return texts;
}

template <class Value>
bool read_reference(std::string_view text, Value& value) {
  if constexpr (std::is_same_v<Value, std::int32_t>) return read_int32(text, value);
  if constexpr (std::is_same_v<Value, std::int64_t>) return read_int64(text, value);
  if constexpr (std::is_same_v<Value, float>) return read_float(text, value);
  if constexpr (std::is_same_v<Value, double>) return read_double(text, value);
}

template <class Value>
auto bits_of(Value value) {
  if constexpr (std::is_floating_point_v<Value>) {
    return std::bit_cast<std::conditional_t<sizeof(Value) == 4, std::uint32_t, std::uint64_t>>(
        value);
  } else {
    return value;
  }
}

template <class Array>
void expect_agreement(ValueType type, bool padded) {
  using Value = typename decltype(Array::values)::value_type;
  const std::vector<std::string> texts = sample_texts();
  // Digits after the end: a reader that looked past a text would see them.
  vrex::testing::PaddedTexts input(texts, '7');
  ColumnSliceBuilder builder(type, texts.size());
  // In two pieces, so that the second starts mid-column.
  const std::span<const PaddedText> all = input.texts();
  const std::vector<std::string_view> views(all.begin(), all.end());
  const std::size_t cut = texts.size() / 3;
  if (padded) {
    builder.append(all.first(cut));
    builder.append(all.subspan(cut));
  } else {
    builder.append(std::span(views).first(cut));
    builder.append(std::span(views).subspan(cut));
  }
  const ColumnSlice slice = std::move(builder).finish();
  const auto& values = std::get<Array>(std::get<ValueArray::Plain>(slice.values.encoding).values);
  ASSERT_EQ(values.values.size(), texts.size());
  ASSERT_TRUE(slice.properties.is_invalid.has_value());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    SCOPED_TRACE("text '" + texts[i] + "'");
    Value expected{};
    const bool reads = read_reference(texts[i], expected);
    const bool flagged = (slice.properties.is_invalid->bytes[i / 8] >> (7 - i % 8)) & 1;
    EXPECT_EQ(flagged, !reads);
    EXPECT_EQ(bits_of(values.values[i]), bits_of(reads ? expected : Value{}));
  }
}

TEST(NumericColumns, AgreeWithTheGeneralReadersTextByText) {
  for (const bool padded : {false, true}) {
    SCOPED_TRACE(padded ? "padded" : "plain");
    expect_agreement<object::IntArray>(ValueType::Int, padded);
    expect_agreement<object::LongArray>(ValueType::Long, padded);
    expect_agreement<object::FloatArray>(ValueType::Float, padded);
    expect_agreement<object::DoubleArray>(ValueType::Double, padded);
  }
}

}  // namespace
}  // namespace vrex::ext
