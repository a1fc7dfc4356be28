// How many bytes a column slice takes, without writing it: the writer's own
// layout, counted. Every write that can fail is nullopt here.
#include <optional>
#include <string_view>
#include <type_traits>
#include <variant>

#include "vrex/writer.h"
#include "vrex/writer_internal.h"

namespace vrex {

using namespace writer_internal;

namespace {

using Size = std::optional<std::uint64_t>;

constexpr std::uint64_t kSectionIdBytes = 3;
constexpr std::uint64_t kCountBytes = 4;
constexpr std::uint64_t kArrayHeadBytes = 2;  // encoding and type id

// A property's name: a count field and its bytes.
constexpr std::uint64_t name_size(std::string_view name) noexcept {
  return kCountBytes + name.size();
}

Size bit_array_size(const EncodedBitArray& bits) noexcept {
  if (bits.count > kMaxCount) return std::nullopt;
  return kArrayHeadBytes + kCountBytes + (bits.count + 7) / 8;
}

// One text or byte string in packed form: a count field with the total, the
// packed length and the bytes.
Size packed_text_size(std::string_view text) noexcept {
  if (text.size() > kMaxCount) return std::nullopt;
  const std::uint64_t total = packed_int_size(text.size()) + text.size();
  if (total > kMaxCount) return std::nullopt;
  return kCountBytes + total;
}

// A run of them: a count field with the run's total, then each one's packed
// length and bytes.
Size packed_texts_size(const TextArray& texts) noexcept {
  if (texts.longest() > kMaxCount || texts.packed_run_bytes() > kMaxCount) return std::nullopt;
  return kCountBytes + texts.packed_run_bytes();
}

struct PackedSize {
  Size operator()(const object::Bool& /*value*/) const noexcept { return 1; }

  Size operator()(const BoolArray& array) const noexcept { return array.values.size(); }

  Size operator()(const object::String& value) const noexcept {
    return packed_text_size(value.value);
  }

  Size operator()(const object::StringArray& array) const noexcept {
    return packed_texts_size(array.values);
  }

  Size operator()(const object::Binary& value) const noexcept {
    return packed_text_size(value.value);
  }

  Size operator()(const object::BinaryArray& array) const noexcept {
    return packed_texts_size(array.values);
  }

  Size operator()(const object::Decimal& value) const noexcept { return value.value.size(); }

  Size operator()(const object::DecimalArray& array) const noexcept {
    return array.values.size() * sizeof(DecimalBytes);
  }

  template <class Scalar>

  requires std::is_arithmetic_v<decltype(Scalar::value)> Size
  operator()(const Scalar& scalar) const noexcept {
    return sizeof(scalar.value);
  }

  template <class Array>

  requires std::is_arithmetic_v<typename decltype(Array::values)::value_type> Size
  operator()(const Array& array) const noexcept {
    return array.values.size() * sizeof(typename decltype(Array::values)::value_type);
  }
};

Size packed_size(const Object& value) noexcept { return std::visit(PackedSize{}, value); }

Size value_array_size(const ValueArray& values) noexcept {
  if (const auto* plain = std::get_if<ValueArray::Plain>(&values.encoding)) {
    if (value_count(plain->values) > kMaxCount) return std::nullopt;
    const Size packed = packed_size(plain->values);
    if (!packed) return std::nullopt;
    return kArrayHeadBytes + kCountBytes + *packed;
  }
  if (const auto* run_length = std::get_if<ValueArray::RunLength>(&values.encoding)) {
    std::uint64_t total = 0;
    for (std::uint8_t run : run_length->runs) total += std::uint64_t{run} + 1;
    if (total > kMaxCount) return std::nullopt;
    const std::uint64_t run_count = run_length->runs.size();
    if (run_count > kMaxCount) return std::nullopt;
    if (value_count(run_length->values) > kMaxCount) return std::nullopt;
    const Size packed = packed_size(run_length->values);
    if (!packed) return std::nullopt;
    return kArrayHeadBytes + 3 * kCountBytes + run_count + *packed;
  }
  return bit_array_size(std::get<ValueArray::BitArray>(values.encoding).bits);
}

// Adds `size` to `total`; false when there is none.
bool add(std::uint64_t& total, Size size) noexcept {
  if (!size) return false;
  total += *size;
  return true;
}

}  // namespace

std::optional<std::uint64_t> column_slice_size(const ColumnSlice& column) noexcept {
  std::uint64_t total = kSectionIdBytes;
  if (!add(total, value_array_size(column.values))) return std::nullopt;
  const ColumnProperties& properties = column.properties;
  const std::uint64_t property_count = std::uint64_t{properties.is_invalid.has_value()} +
                                       std::uint64_t{properties.error_code.has_value()} +
                                       std::uint64_t{properties.has_replaced_value.has_value()} +
                                       properties.properties.size();
  if (property_count > kMaxCount) return std::nullopt;
  total += kCountBytes;
  if (properties.is_invalid) {
    total += name_size(kIsInvalidName);
    if (!add(total, bit_array_size(*properties.is_invalid))) return std::nullopt;
  }
  if (properties.error_code) {
    total += name_size(kErrorCodeName);
    if (!add(total, value_array_size(*properties.error_code))) return std::nullopt;
  }
  if (properties.has_replaced_value) {
    total += name_size(kHasReplacedValueName);
    if (!add(total, bit_array_size(*properties.has_replaced_value))) return std::nullopt;
  }
  for (const Property& property : properties.properties) {
    if (property.name.size() > kMaxCount) return std::nullopt;
    total += name_size(property.name);
    if (!add(total, value_array_size(property.value))) return std::nullopt;
  }
  return total;
}

std::optional<std::uint64_t> table_slice_head_size(std::uint64_t column_count) noexcept {
  if (column_count > kMaxCount) return std::nullopt;
  return kSectionIdBytes + kCountBytes;
}

}  // namespace vrex
