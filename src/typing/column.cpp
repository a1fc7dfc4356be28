#include "typing/column.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "typing/infer.h"
#include "typing/number_parse.h"

namespace vrex::ext {

namespace {

// The invalid flags of one slice, one byte per text, sized once; `any` saves a
// second scan to decide whether "IsInvalid" is written at all. Loops write
// through a local pointer: a byte store may alias anything, so a pointer kept in
// the vector would be reloaded after every flag.
struct InvalidFlags {
  explicit InvalidFlags(std::size_t count) : flags(count) {}

  std::vector<std::uint8_t> flags;
  std::uint8_t any = 0;
};

ColumnSlice make_slice(Object values, InvalidFlags&& invalid) {
  ColumnSlice slice;
  slice.values.encoding = ValueArray::Plain{std::move(values)};
  if (invalid.any != 0) {
    slice.properties.is_invalid = BoolArray{std::move(invalid.flags)}.encode_to_bit_array();
  }
  return slice;
}

// Numbers: a value per text, the zero of the type where the text does not read.
template <class Value, class ArrayObject, bool (*kRead)(std::string_view, Value&) noexcept>
ColumnSlice build_numbers(std::span<const std::string_view> texts) {
  const std::size_t count = texts.size();
  std::vector<Value> values(count);
  InvalidFlags invalid(count);
  Value* const value_out = values.data();
  std::uint8_t* const flag_out = invalid.flags.data();
  std::uint8_t any = 0;
  for (std::size_t i = 0; i < count; ++i) {
    Value value{};
    const auto flag = static_cast<std::uint8_t>(!kRead(texts[i], value));
    value_out[i] = value;
    flag_out[i] = flag;
    any |= flag;
  }
  invalid.any = any;
  return make_slice(ArrayObject{std::move(values)}, std::move(invalid));
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

ColumnSlice build_bools(std::span<const std::string_view> texts) {
  const std::size_t count = texts.size();
  BoolArray values;
  values.values.resize(count);
  InvalidFlags invalid(count);
  std::uint8_t* const value_out = values.values.data();
  std::uint8_t* const flag_out = invalid.flags.data();
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
  invalid.any = any;
  return make_slice(std::move(values), std::move(invalid));
}

ColumnSlice build_strings(std::span<const std::string_view> texts) {
  const std::size_t count = texts.size();
  std::size_t total_bytes = 0;
  for (std::string_view text : texts) total_bytes += text.size();
  TextArray values;
  values.reserve(count, total_bytes);
  InvalidFlags invalid(count);
  std::uint8_t* const flag_out = invalid.flags.data();
  std::uint8_t any = 0;
  for (std::size_t i = 0; i < count; ++i) {
    values.push_back(texts[i]);
    const auto flag = static_cast<std::uint8_t>(texts[i].empty());
    flag_out[i] = flag;
    any |= flag;
  }
  invalid.any = any;
  return make_slice(object::StringArray{std::move(values)}, std::move(invalid));
}

}  // namespace

ColumnSlice build_column_slice(std::span<const std::string_view> texts, ValueType type) {
  switch (type) {
    case ValueType::Bool:
      return build_bools(texts);
    case ValueType::Int:
      return build_numbers<std::int32_t, object::IntArray, read_int32>(texts);
    case ValueType::Long:
      return build_numbers<std::int64_t, object::LongArray, read_int64>(texts);
    case ValueType::Float:
      return build_numbers<float, object::FloatArray, read_float>(texts);
    case ValueType::Double:
      return build_numbers<double, object::DoubleArray, read_double>(texts);
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
  return build_strings(texts);
}

}  // namespace vrex::ext
