// VrexWriter appends the sections of a file to a caller-owned byte buffer.
// Every count is computed before the bytes it counts; nothing is patched.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "vrex/byte_buffer.h"
#include "vrex/error.h"
#include "vrex/packed_int.h"
#include "vrex/result.h"
#include "vrex/table.h"

namespace vrex {

using WriteStatus = Status<VrexError>;

// Largest count or length a 32-bit count field may hold.
inline constexpr std::uint64_t kMaxCount = 0x7FFFFFFF;

class VrexWriter {
 public:
  explicit VrexWriter(ByteBuffer& output) noexcept : output_(&output) {}

  ByteBuffer& output() noexcept { return *output_; }

  // 0xA7 0x3C and the section type byte.
  WriteStatus write_section_id(SectionType type);

  // Major, then minor.
  WriteStatus write_file_header(std::uint8_t major, std::uint8_t minor);

  // One to five bytes, low-order group first.
  WriteStatus write_7bit_packed_int(std::uint32_t value);

  // A complete value array of encoding BitArray.
  WriteStatus write_encoded_bit_array(const EncodedBitArray& bits);

  // Packed form (inside value arrays) or unpacked form (metadata values).
  WriteStatus write_object(const Object& value, bool packed);

  WriteStatus write_value_array(const ValueArray& values);

  // The body of the TableMetadata section.
  WriteStatus write_table_metadata(const TableMetadata& table);

  // The same body for columns with only a name and a type (names[c] and
  // types[c]): the bytes that a TableMetadata of such columns gives.
  WriteStatus write_table_metadata(std::span<const Metadata> entries, const TextArray& names,
                                   std::span<const ValueType> types);

  // The body of a TableSlice section: the column count, then every column slice.
  WriteStatus write_table_slice(const TableSlice& slice);

  // The two halves of write_table_slice, for callers that build one column
  // slice at a time: the column count, then each column slice section.
  WriteStatus write_table_slice_column_count(std::uint64_t column_count);
  WriteStatus write_column_slice(const ColumnSlice& column);

 private:
  ByteBuffer* output_;
};

// The bytes write_column_slice() appends for `column`, or nullopt when that
// write fails: a column's place in a file can be taken before it is written.
std::optional<std::uint64_t> column_slice_size(const ColumnSlice& column) noexcept;

// The bytes a TableSlice section takes before its first column slice: its
// section id and column count. Nullopt when the count cannot be written.
std::optional<std::uint64_t> table_slice_head_size(std::uint64_t column_count) noexcept;

}  // namespace vrex
