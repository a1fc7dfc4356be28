#include "vrex/table.h"

#include <cstring>

namespace vrex {

namespace {

// Alternatives come in scalar/array pairs, in type-id order with no 0x0B.
constexpr ValueType kTypeOfPair[12] = {
    ValueType::Bool,     ValueType::Int,      ValueType::Long,   ValueType::Float,
    ValueType::Double,   ValueType::DateTime, ValueType::Date,   ValueType::Time,
    ValueType::TimeSpan, ValueType::String,   ValueType::Binary, ValueType::Decimal,
};

template <class T>
concept HasValues = requires(const T& array) {
  array.values.size();
};

}  // namespace

ValueType type_of(const Object& value) noexcept { return kTypeOfPair[value.index() / 2]; }

std::uint64_t value_count(const Object& value) noexcept {
  return std::visit(
      [](const auto& alternative) -> std::uint64_t {
        if constexpr (HasValues<std::decay_t<decltype(alternative)>>) {
          return alternative.values.size();
        } else {
          return 1;
        }
      },
      value);
}

EncodedBitArray BoolArray::encode_to_bit_array() const {
  EncodedBitArray encoded;
  const std::size_t count = values.size();
  encoded.count = count;
  if (count == 0) return encoded;
  encoded.bytes.resize((count + 7) / 8);
  const std::uint8_t* source = values.data();
  std::size_t full_groups = count / 8;
  for (std::size_t group = 0; group < full_groups; ++group) {
    // Eight booleans read as one little-endian word: boolean k sits in bit 8k.
    // Multiplying gathers bit 8k into bit 63-k of the product's top byte.
    std::uint64_t word;
    std::memcpy(&word, source + group * 8, 8);
    word &= 0x0101010101010101ULL;
    encoded.bytes[group] = static_cast<std::uint8_t>((word * 0x8040201008040201ULL) >> 56);
  }
  std::uint8_t last = 0;
  for (std::size_t index = full_groups * 8; index < count; ++index) {
    if (source[index] & 1) last |= static_cast<std::uint8_t>(0x80u >> (index % 8));
  }
  if (count % 8 != 0) encoded.bytes[full_groups] = last;
  return encoded;
}

std::optional<ColumnValue> ColumnMetadata::get(std::string_view property_name) const {
  if (property_name == "DataType") {
    return ColumnValue(Object(object::Binary{std::string(1, static_cast<char>(data_type))}));
  }
  if (property_name == "Name") return ColumnValue(Object(object::String{name}));
  for (const Metadata& entry : properties) {
    if (entry.name == property_name) return ColumnValue(&entry.value);
  }
  return std::nullopt;
}

}  // namespace vrex
