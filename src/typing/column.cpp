#include "typing/column.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

#include "typing/infer.h"
#include "typing/number_parse.h"
#include "typing/product_double.h"
#include "typing/short_number.h"

namespace vrex::ext {

namespace {

// Loops write through local pointers: a byte store may alias anything, so a
// pointer kept in a vector would be reloaded after every flag.

// Which bytes can begin a number text: an integer starts with a digit or a
// sign, a floating-point text also with a point or the first letter of inf,
// infinity or nan.
constexpr std::uint8_t kStartsInteger = 1;
constexpr std::uint8_t kStartsFloating = 2;

constexpr std::array<std::uint8_t, 256> number_start_table() {
  std::array<std::uint8_t, 256> table{};
  for (char c = '0'; c <= '9'; ++c)
    table[static_cast<unsigned char>(c)] = kStartsInteger | kStartsFloating;
  for (char c : {'+', '-'}) table[static_cast<unsigned char>(c)] = kStartsInteger | kStartsFloating;
  for (char c : {'.', 'i', 'I', 'n', 'N'}) table[static_cast<unsigned char>(c)] = kStartsFloating;
  return table;
}

constexpr std::array<std::uint8_t, 256> kNumberStarts = number_start_table();

// Whether a text can be a number of type `Value` by its first byte. Empty
// cells and words in a numeric column (missing values) are common: this one
// branch turns them away before a general reader scans them again. The
// general readers alone need no such guard: they leave an empty text at once
// and a word within its first eight bytes, and a test in front of them would
// cost every number.
template <class Value>
inline bool may_start_number(std::string_view text) noexcept {
  constexpr std::uint8_t kStarts =
      std::is_floating_point_v<Value> ? kStartsFloating : kStartsInteger;
  return !text.empty() && (kNumberStarts[static_cast<unsigned char>(text[0])] & kStarts) != 0;
}

// Numbers: a value per text, the zero of the type where the text does not read.
template <class Value, class Read, class Text>
inline std::uint8_t read_each(std::span<const Text> texts, Value* value_out, std::uint8_t* flag_out,
                              Read read) {
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

// Flattened, so that the reader inlines into the loop whatever its size.
template <class Value, bool (*kRead)(std::string_view, Value&) noexcept, class Text>
__attribute__((flatten)) std::uint8_t read_numbers(std::span<const Text> texts, Value* value_out,
                                                   std::uint8_t* flag_out) {
  return read_each(texts, value_out, flag_out, kRead);
}

// Integers of padded texts: the short forms from one block each, the rest by
// the general reader, which the first-byte test spares the empty cells and
// words the block reader turned away.
struct ReadPaddedInteger {
  template <class Int>
  VREX_SHORT_NUMBER_TARGET bool operator()(PaddedText text, Int& value) const noexcept {
    return read_short_integer(text.view(), value) ||
           (may_start_number<Int>(text) && read_integer(text, value));
  }
};

struct ReadShortDouble {
  VREX_SHORT_NUMBER_TARGET bool operator()(PaddedText text, double& value) const noexcept {
    return read_short_double(text.view(), value);
  }
};

// The doubles the block reader left flagged, by the general reader: a loop of
// its own, since inlined into the block loop the long-number code takes the
// registers that loop needs.
__attribute__((noinline, flatten)) std::uint8_t read_flagged_doubles(
    std::span<const PaddedText> texts, double* value_out, std::uint8_t* flag_out) {
  const std::size_t count = texts.size();
  std::uint8_t any = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (flag_out[i] == 0) continue;
    const std::string_view text = texts[i];
    double value = 0;
    const auto flag = static_cast<std::uint8_t>(
        !(may_start_number<double>(text) && read_double_cell(text, value)));
    value_out[i] = value;
    flag_out[i] = flag;
    any |= flag;
  }
  return any;
}

// Flattened: the block readers inline only into code built for SSE4.1, which
// the shared loop is once it is inlined here. Only padded texts may be read a
// block at a time.
template <class Value>
VREX_SHORT_NUMBER_TARGET __attribute__((flatten)) std::uint8_t read_padded_numbers(
    std::span<const PaddedText> texts, Value* value_out, std::uint8_t* flag_out) {
  if constexpr (std::is_same_v<Value, double>) {
    if (read_each(texts, value_out, flag_out, ReadShortDouble{}) == 0) return 0;
    return read_flagged_doubles(texts, value_out, flag_out);
  } else {
    return read_each(texts, value_out, flag_out, ReadPaddedInteger{});
  }
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

template <class Text>
std::uint8_t read_bools(std::span<const Text> texts, std::uint8_t* value_out,
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

// Copies of the texts, or padded views that the array borrows.
template <class Text>
std::uint8_t read_texts(std::span<const Text> texts, TextArray& values, std::uint8_t* flag_out) {
  const std::size_t count = texts.size();
  std::uint8_t any = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if constexpr (std::is_same_v<Text, PaddedText>) {
      if (values.borrows()) {
        values.push_back_borrowed(texts[i]);
      } else {
        values.push_back(texts[i].view());
      }
    } else {
      values.push_back(texts[i]);
    }
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

ColumnSliceBuilder::ColumnSliceBuilder(ValueType type, std::size_t row_count)
    : read_blocks_(cpu_reads_short_numbers()), flags_(row_count) {
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
  values_ = object::StringArray{};
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

void ColumnSliceBuilder::reserve(std::size_t rows) {
  std::visit(
      [rows](auto& array) {
        if constexpr (requires { array.values.resize(rows); }) array.values.reserve(rows);
      },
      values_);
  flags_.reserve(rows);
}

void ColumnSliceBuilder::append(std::span<const std::string_view> texts) { append_texts(texts); }

void ColumnSliceBuilder::append(std::span<const PaddedText> texts) { append_texts(texts); }

void ColumnSliceBuilder::grow_for(std::size_t count) {
  if (filled_ + count <= flags_.size()) return;
  // Doubling stops at the room reserved, which is what the rows need.
  std::size_t doubled = 2 * flags_.size();
  if (flags_.capacity() > flags_.size()) doubled = std::min(doubled, flags_.capacity());
  const std::size_t rows = std::max(filled_ + count, doubled);
  resize_values(values_, rows);
  flags_.resize(rows);
}

void ColumnSliceBuilder::append_built(const ColumnSliceBuilder& other) {
  if (other.reading_ != reading_ || holds_finished_ || other.holds_finished_) {
    throw std::logic_error("values appended from a builder of another kind");
  }
  const std::size_t count = other.filled_;
  grow_for(count);
  std::copy_n(other.flags_.data(), count, flags_.data() + filled_);
  std::visit(
      [&](auto& mine) {
        using Array = std::decay_t<decltype(mine)>;
        const Array& theirs = std::get<Array>(other.values_);
        if constexpr (std::is_same_v<Array, object::StringArray>) {
          TextArray& texts = mine.values;
          const TextArray& from = theirs.values;
          if (from.borrows()) texts.borrow_padded_texts();
          if (texts.borrows() != from.borrows()) {
            throw std::logic_error("borrowed and owned texts in one slice");
          }
          if (from.borrows()) {
            for (std::size_t row = 0; row < count; ++row) {
              texts.push_back_borrowed(from.padded(row));
            }
          } else {
            for (std::size_t row = 0; row < count; ++row) texts.push_back(from[row]);
          }
        } else if constexpr (std::is_same_v<Array, BoolArray> ||
                             std::is_same_v<Array, object::IntArray> ||
                             std::is_same_v<Array, object::LongArray> ||
                             std::is_same_v<Array, object::FloatArray> ||
                             std::is_same_v<Array, object::DoubleArray>) {
          std::copy_n(theirs.values.data(), count, mine.values.data() + filled_);
        } else {
          throw std::logic_error("values of a kind no builder makes");
        }
      },
      values_);
  filled_ += count;
  any_invalid_ |= other.any_invalid_;
}

template <class Text>
void ColumnSliceBuilder::append_texts(std::span<const Text> texts) {
  constexpr bool kPadded = std::is_same_v<Text, PaddedText>;
  // The growth is written out here rather than called: the texts' appends
  // ran 2-3% slower on one thread calling grow_for().
  if (filled_ + texts.size() > flags_.size()) {
    // Doubling stops at the room reserved, which is what the rows need.
    std::size_t doubled = 2 * flags_.size();
    if (flags_.capacity() > flags_.size()) doubled = std::min(doubled, flags_.capacity());
    const std::size_t rows = std::max(filled_ + texts.size(), doubled);
    resize_values(values_, rows);
    flags_.resize(rows);
  }
  std::uint8_t* const flag_out = flags_.data() + filled_;
  std::uint8_t any = 0;
  // Numbers of padded texts are read a block at a time where the CPU can.
  auto read = [&]<class Value, bool (*kRead)(std::string_view, Value&) noexcept>(Value* out) {
    if constexpr (kPadded) {
      if (read_blocks_) return read_padded_numbers(texts, out, flag_out);
    }
    return read_numbers<Value, kRead>(texts, out, flag_out);
  };
  switch (reading_) {
    case Reading::Bool:
      any = read_bools(texts, std::get<BoolArray>(values_).values.data() + filled_, flag_out);
      break;
    case Reading::Int:
      any = read.template operator()<std::int32_t, read_int32>(
          values_at<object::IntArray>(values_, filled_));
      break;
    case Reading::Long:
      any = read.template operator()<std::int64_t, read_int64>(
          values_at<object::LongArray>(values_, filled_));
      break;
    case Reading::Float:
      any = read_numbers<float, read_float>(texts, values_at<object::FloatArray>(values_, filled_),
                                            flag_out);
      break;
    case Reading::Double:
      any = read.template operator()<double, read_double_cell>(
          values_at<object::DoubleArray>(values_, filled_));
      break;
    case Reading::Text: {
      TextArray& values = std::get<object::StringArray>(values_).values;
      if constexpr (kPadded) {
        values.borrow_padded_texts();  // unless it already holds copies
      }
      if (!values.borrows()) {
        std::size_t bytes = 0;
        for (std::string_view text : texts) bytes += text.size();
        values.reserve_more(bytes);
      }
      any = read_texts(texts, values, flag_out);
      break;
    }
  }
  filled_ += texts.size();
  any_invalid_ |= any;
}

const ColumnSlice& ColumnSliceBuilder::finish() & {
  resize_values(values_, filled_);
  flags_.resize(filled_);
  finished_.values.encoding = ValueArray::Plain{std::move(values_)};
  finished_.properties.is_invalid.reset();
  if (any_invalid_ != 0) {
    BoolArray flags{std::move(flags_)};
    finished_.properties.is_invalid = flags.encode_to_bit_array();
    flags_ = std::move(flags.values);
  }
  holds_finished_ = true;
  return finished_;
}

ColumnSlice ColumnSliceBuilder::finish() && {
  finish();
  holds_finished_ = false;
  return std::move(finished_);
}

void ColumnSliceBuilder::restart(std::size_t row_count) {
  if (holds_finished_) {
    values_ = std::move(std::get<ValueArray::Plain>(finished_.values.encoding).values);
    holds_finished_ = false;
  }
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
  return std::move(builder).finish();
}

}  // namespace vrex::ext
