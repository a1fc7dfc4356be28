#include "typing/column.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "typing/infer.h"
#include "typing/number_parse.h"
#include "typing/short_number.h"

namespace vrex::ext {

namespace {

// Loops write through local pointers: a byte store may alias anything, so a
// pointer kept in a vector would be reloaded after every flag.

// Numbers: a value per text, the zero of the type where the text does not read.
template <class Value, class Read>
inline std::uint8_t read_each(std::span<const std::string_view> texts, Value* value_out,
                              std::uint8_t* flag_out, Read read) {
  const std::size_t count = texts.size();
  std::uint8_t any = 0;
  for (std::size_t i = 0; i < count; ++i) {
    Value value{};
    const auto flag = static_cast<std::uint8_t>(!read(texts[i], value));
    value_out[i] = value;
    flag_out[i] = flag;
    any |= flag;
  }
  return any;
}

template <class Value, bool (*kRead)(std::string_view, Value&) noexcept>
std::uint8_t read_numbers(std::span<const std::string_view> texts, Value* value_out,
                          std::uint8_t* flag_out) {
  return read_each(texts, value_out, flag_out, kRead);
}

// Numbers of padded texts: the short forms from one block each, the rest by
// the general readers.
struct ReadPadded {
  VREX_SHORT_NUMBER_TARGET bool operator()(std::string_view text, double& value) const noexcept {
    return read_short_double(text, value) || read_double(text, value);
  }

  template <class Int>
  VREX_SHORT_NUMBER_TARGET bool operator()(std::string_view text, Int& value) const noexcept {
    return read_short_integer(text, value) || read_integer(text, value);
  }
};

// Flattened: the block readers inline only into code built for SSE4.1, which
// the shared loop is once it is inlined here.
template <class Value>
VREX_SHORT_NUMBER_TARGET __attribute__((flatten)) std::uint8_t read_padded_numbers(
    std::span<const std::string_view> texts, Value* value_out, std::uint8_t* flag_out) {
  return read_each(texts, value_out, flag_out, ReadPadded{});
}

static_assert(std::endian::native == std::endian::little);

constexpr std::uint32_t little_endian_word(const char (&text)[5]) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(text[0])) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(text[1])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(text[2])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(text[3])) << 24;
}

constexpr std::uint32_t kTrueWord = little_endian_word("true");
constexpr std::uint32_t kFalsWord = little_endian_word("fals");
constexpr std::uint32_t kFoldAscii = 0x20202020;
constexpr char kNoWord[4] = {};

std::uint8_t read_bools(std::span<const std::string_view> texts, std::uint8_t* value_out,
                        std::uint8_t* flag_out) {
  const std::size_t count = texts.size();
  std::uint8_t any = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::string_view text = texts[i];
    const std::size_t length = text.size();
    // The bare words, in any case, are nearly every cell of a boolean column:
    // they are told apart without a branch on their length or letters. Texts
    // too short to load four bytes from read a word of zeros instead.
    const bool loadable = length >= 4;
    const char* const source = loadable ? text.data() : kNoWord;
    std::uint32_t head;
    std::memcpy(&head, source, 4);
    head |= kFoldAscii;
    const unsigned last = static_cast<unsigned char>(source[loadable ? length - 1 : 0]) | 0x20u;
    const bool is_true = (length == 4) & (head == kTrueWord);
    const bool is_false = (length == 5) & (head == kFalsWord) & (last == 'e');
    value_out[i] = static_cast<std::uint8_t>(is_true);
    flag_out[i] = 0;
    if (is_true | is_false) continue;
    const ParsedBool parsed = parse_bool(text);
    const auto flag = static_cast<std::uint8_t>(parsed == ParsedBool::None);
    value_out[i] = static_cast<std::uint8_t>(parsed == ParsedBool::True);
    flag_out[i] = flag;
    any |= flag;
  }
  return any;
}

std::uint8_t read_texts(std::span<const std::string_view> texts, TextArray& values,
                        std::uint8_t* flag_out) {
  const std::size_t count = texts.size();
  std::uint8_t any = 0;
  for (std::size_t i = 0; i < count; ++i) {
    values.push_back(texts[i]);
    const auto flag = static_cast<std::uint8_t>(texts[i].empty());
    flag_out[i] = flag;
    any |= flag;
  }
  return any;
}

template <class Array>
auto* values_at(Object& values, std::size_t offset) {
  return std::get<Array>(values).values.data() + offset;
}

}  // namespace

ColumnSliceBuilder::ColumnSliceBuilder(ValueType type, std::size_t row_count, bool padded_texts)
    : read_blocks_(padded_texts && cpu_reads_short_numbers()), flags_(row_count) {
  switch (type) {
    case ValueType::Bool:
      reading_ = Reading::Bool;
      values_ = BoolArray{std::vector<std::uint8_t>(row_count)};
      return;
    case ValueType::Int:
      reading_ = Reading::Int;
      values_ = object::IntArray{std::vector<std::int32_t>(row_count)};
      return;
    case ValueType::Long:
      reading_ = Reading::Long;
      values_ = object::LongArray{std::vector<std::int64_t>(row_count)};
      return;
    case ValueType::Float:
      reading_ = Reading::Float;
      values_ = object::FloatArray{std::vector<float>(row_count)};
      return;
    case ValueType::Double:
      reading_ = Reading::Double;
      values_ = object::DoubleArray{std::vector<double>(row_count)};
      return;
    case ValueType::DateTime:
    case ValueType::Date:
    case ValueType::Time:
    case ValueType::TimeSpan:
    case ValueType::String:
    case ValueType::Binary:
    case ValueType::Decimal:
      break;
  }
  // Every type without a reading of its own keeps the text.
  reading_ = Reading::Text;
  object::StringArray texts;
  if (padded_texts) texts.values.borrow_texts(/*padded=*/true);
  texts.values.reserve(row_count, 0);
  values_ = std::move(texts);
}

bool keeps_texts(ValueType type) noexcept {
  switch (type) {
    case ValueType::Bool:
    case ValueType::Int:
    case ValueType::Long:
    case ValueType::Float:
    case ValueType::Double:
      return false;
    default:
      return true;
  }
}

namespace {

// Sets the element count of a fixed-width value array; text arrays grow by themselves.
void resize_values(Object& values, std::size_t row_count) {
  std::visit(
      [row_count](auto& array) {
        if constexpr (requires { array.values.resize(row_count); }) {
          array.values.resize(row_count);
        }
      },
      values);
}

}  // namespace

void ColumnSliceBuilder::append(std::span<const std::string_view> texts) {
  if (filled_ + texts.size() > flags_.size()) {
    std::size_t rows = std::max(filled_ + texts.size(), 2 * flags_.size());
    resize_values(values_, rows);
    flags_.resize(rows);
  }
  std::uint8_t* const flag_out = flags_.data() + filled_;
  std::uint8_t any = 0;
  switch (reading_) {
    case Reading::Bool:
      any = read_bools(texts, std::get<BoolArray>(values_).values.data() + filled_, flag_out);
      break;
    case Reading::Int:
      any = read_blocks_ ? read_padded_numbers(texts, values_at<object::IntArray>(values_, filled_),
                                               flag_out)
                         : read_numbers<std::int32_t, read_int32>(
                               texts, values_at<object::IntArray>(values_, filled_), flag_out);
      break;
    case Reading::Long:
      any = read_blocks_ ? read_padded_numbers(
                               texts, values_at<object::LongArray>(values_, filled_), flag_out)
                         : read_numbers<std::int64_t, read_int64>(
                               texts, values_at<object::LongArray>(values_, filled_), flag_out);
      break;
    case Reading::Float:
      any = read_numbers<float, read_float>(texts, values_at<object::FloatArray>(values_, filled_),
                                            flag_out);
      break;
    case Reading::Double:
      any = read_blocks_ ? read_padded_numbers(
                               texts, values_at<object::DoubleArray>(values_, filled_), flag_out)
                         : read_numbers<double, read_double>(
                               texts, values_at<object::DoubleArray>(values_, filled_), flag_out);
      break;
    case Reading::Text: {
      TextArray& values = std::get<object::StringArray>(values_).values;
      std::size_t bytes = 0;
      for (std::string_view text : texts) bytes += text.size();
      values.reserve_more(bytes);
      any = read_texts(texts, values, flag_out);
      break;
    }
  }
  filled_ += texts.size();
  any_invalid_ |= any;
}

ColumnSlice ColumnSliceBuilder::finish() {
  resize_values(values_, filled_);
  flags_.resize(filled_);
  ColumnSlice slice;
  slice.values.encoding = ValueArray::Plain{std::move(values_)};
  if (any_invalid_ != 0) {
    BoolArray flags{std::move(flags_)};
    slice.properties.is_invalid = flags.encode_to_bit_array();
    flags_ = std::move(flags.values);
  }
  return slice;
}

void ColumnSliceBuilder::recycle(ColumnSlice&& finished) {
  if (auto* plain = std::get_if<ValueArray::Plain>(&finished.values.encoding)) {
    values_ = std::move(plain->values);
  }
}

void ColumnSliceBuilder::restart(std::size_t row_count) {
  // Every slot below the rows appended is written by the appends, so the
  // stale values a resize leaves behind are never read.
  resize_values(values_, row_count);
  if (auto* texts = std::get_if<object::StringArray>(&values_)) texts->values.clear();
  flags_.resize(row_count);
  filled_ = 0;
  any_invalid_ = 0;
}

ColumnSlice build_column_slice(std::span<const std::string_view> texts, ValueType type) {
  ColumnSliceBuilder builder(type, texts.size());
  builder.append(texts);
  return builder.finish();
}

}  // namespace vrex::ext
