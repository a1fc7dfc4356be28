// Section ids, the file header, packed integers, bit arrays, value arrays and
// table slices. Objects and table metadata have files of their own.
#include "vrex/writer.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "vrex/writer_internal.h"

namespace vrex {

using namespace writer_internal;

namespace {

constexpr std::uint8_t kSectionMagic[2] = {0xA7, 0x3C};

// A name whose length is known to fit a count field.
void append_short_text(ByteBuffer& output, std::string_view text) {
  std::uint8_t* place = output.append_uninitialized(4 + text.size());
  place = store_le(place, static_cast<std::int32_t>(text.size()));
  std::memcpy(place, text.data(), text.size());
}

}  // namespace

WriteStatus VrexWriter::write_section_id(SectionType type) {
  std::uint8_t* place = output_->append_uninitialized(3);
  place[0] = kSectionMagic[0];
  place[1] = kSectionMagic[1];
  place[2] = to_byte(type);
  return {};
}

WriteStatus VrexWriter::write_file_header(std::uint8_t major, std::uint8_t minor) {
  std::uint8_t* place = output_->append_uninitialized(2);
  place[0] = major;
  place[1] = minor;
  return {};
}

WriteStatus VrexWriter::write_7bit_packed_int(std::uint32_t value) {
  std::uint8_t* place = output_->append_uninitialized(packed_int_size(value));
  store_7bit_packed(place, value);
  return {};
}

WriteStatus VrexWriter::write_encoded_bit_array(const EncodedBitArray& bits) {
  output_->push_back(to_byte(ArrayEncoding::BitArray));
  output_->push_back(to_byte(ValueType::Bool));
  if (bits.count > kMaxCount) return fail(VrexError::Kind::BytesTooLong);
  // A reader takes the byte count from `count`, so exactly that many bytes go
  // out even when the model's byte sequence disagrees with it: surplus bytes
  // are dropped and missing ones are written as zero, keeping the file readable.
  const std::size_t byte_count = static_cast<std::size_t>((bits.count + 7) / 8);
  const std::size_t present = std::min(byte_count, bits.bytes.size());
  std::uint8_t* place = output_->append_uninitialized(4 + byte_count);
  place = store_le(place, static_cast<std::int32_t>(bits.count));
  if (present != 0) std::memcpy(place, bits.bytes.data(), present);
  if (present != byte_count) std::memset(place + present, 0, byte_count - present);
  return {};
}

WriteStatus VrexWriter::write_value_array(const ValueArray& values) {
  if (const auto* plain = std::get_if<ValueArray::Plain>(&values.encoding)) {
    output_->push_back(to_byte(ArrayEncoding::Plain));
    output_->push_back(to_byte(type_of(plain->values)));
    const std::uint64_t count = value_count(plain->values);
    if (count > kMaxCount) return fail(VrexError::Kind::TooManyValuesInArray);
    append_count(*output_, count);
    return write_object(plain->values, /*packed=*/true);
  }
  if (const auto* run_length = std::get_if<ValueArray::RunLength>(&values.encoding)) {
    output_->push_back(to_byte(ArrayEncoding::RunLength));
    output_->push_back(to_byte(type_of(run_length->values)));
    // Each run is at most 256 values, so a 64-bit total cannot overflow for
    // any run sequence that fits in memory; the limit check is what matters.
    std::uint64_t total = 0;
    for (std::uint8_t run : run_length->runs) total += std::uint64_t{run} + 1;
    if (total > kMaxCount) return fail(VrexError::Kind::TooManyValuesInArray);
    append_count(*output_, total);
    const std::size_t run_count = run_length->runs.size();
    if (run_count > kMaxCount) return fail(VrexError::Kind::BytesTooLong);
    append_count(*output_, run_count);
    output_->append(run_length->runs.data(), run_count);
    const std::uint64_t distinct = value_count(run_length->values);
    if (distinct > kMaxCount) return fail(VrexError::Kind::TooManyValuesInArray);
    append_count(*output_, distinct);
    return write_object(run_length->values, /*packed=*/true);
  }
  return write_encoded_bit_array(std::get<ValueArray::BitArray>(values.encoding).bits);
}

WriteStatus VrexWriter::write_table_slice(const TableSlice& slice) {
  VREX_TRY(write_table_slice_column_count(slice.columns.size()));
  for (const ColumnSlice& column : slice.columns) VREX_TRY(write_column_slice(column));
  return {};
}

WriteStatus VrexWriter::write_table_slice_column_count(std::uint64_t column_count) {
  if (column_count > kMaxCount) return fail(VrexError::Kind::TooManyColumns);
  append_count(*output_, column_count);
  return {};
}

WriteStatus VrexWriter::write_column_slice(const ColumnSlice& column) {
  VREX_TRY(write_section_id(SectionType::ColumnSlice));
  VREX_TRY(write_value_array(column.values));

  const ColumnProperties& properties = column.properties;
  const std::uint64_t property_count = std::uint64_t{properties.is_invalid.has_value()} +
                                       std::uint64_t{properties.error_code.has_value()} +
                                       std::uint64_t{properties.has_replaced_value.has_value()} +
                                       properties.properties.size();
  if (property_count > kMaxCount) return fail(VrexError::Kind::TooManyProperties);
  append_count(*output_, property_count);

  if (properties.is_invalid) {
    append_short_text(*output_, kIsInvalidName);
    VREX_TRY(write_encoded_bit_array(*properties.is_invalid));
  }
  if (properties.error_code) {
    append_short_text(*output_, kErrorCodeName);
    VREX_TRY(write_value_array(*properties.error_code));
  }
  if (properties.has_replaced_value) {
    append_short_text(*output_, kHasReplacedValueName);
    VREX_TRY(write_encoded_bit_array(*properties.has_replaced_value));
  }
  for (const Property& property : properties.properties) {
    if (property.name.size() > kMaxCount) return fail(VrexError::Kind::StringTooLong);
    append_short_text(*output_, property.name);
    VREX_TRY(write_value_array(property.value));
  }
  return {};
}

}  // namespace vrex
