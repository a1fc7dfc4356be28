// Decoding of single values and of value arrays, the inverse of the writer's
// packed and unpacked forms.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "vrex/enums.h"
#include "vrex/reader_cursor.h"
#include "vrex/table.h"

namespace vrex {

// A 7-bit packed text length inside `bytes` from `at`; advances `at`. False
// when the bytes end first or the length would pass 0x7FFFFFFF.
inline bool read_packed_length(std::span<const std::uint8_t> bytes, std::size_t& at,
                               std::uint32_t& length) noexcept {
  std::uint32_t value = 0;
  for (unsigned shift = 0; shift < 35; shift += 7) {
    if (at == bytes.size()) return false;
    const std::uint8_t byte = bytes[at++];
    if (shift == 28 && byte > 0x07) return false;
    value |= static_cast<std::uint32_t>(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) {
      length = value;
      return true;
    }
  }
  return false;
}

// Copies the text of `length` bytes at `at` in `block` to `target`. A short
// text moves as one fixed-size copy while that many bytes remain in the
// block; `target` must have that room, which it has when it is never ahead of
// the text's place in a copy of the block.
inline void copy_text_in_block(void* target, std::span<const std::uint8_t> block, std::size_t at,
                               std::uint32_t length) noexcept {
  const std::uint8_t* text = block.data() + at;
  const std::size_t left = block.size() - at;
  if (length <= 16 && left >= 16) {
    std::memcpy(target, text, 16);
  } else if (length <= 32 && left >= 32) {
    std::memcpy(target, text, 32);
  } else {
    std::memcpy(target, text, length);
  }
}

// A type id byte that names a value type; anything else is UnknownTypeId.
ReadResult<ValueType> read_type_id(ReadCursor& cursor);

// A section-level text: a count field, then that many bytes of UTF-8.
ReadResult<std::string> read_text(ReadCursor& cursor);

// One scalar in the unpacked form of metadata values.
ReadResult<Object> read_unpacked_value(ReadCursor& cursor, ValueType type);

struct ValueArrayHeader {
  ArrayEncoding encoding = ArrayEncoding::Plain;
  ValueType type = ValueType::Bool;
};

// The encoding byte and the type id that open every value array.
ReadResult<ValueArrayHeader> read_value_array_header(ReadCursor& cursor);

// Reads the rest of a value array whose header was just read and appends its
// values to `out`, an array alternative of `header.type`. Returns how many
// values were appended.
ReadResult<std::uint64_t> append_value_array(ReadCursor& cursor, const ValueArrayHeader& header,
                                             Object& out);

// Makes room for `count` more values holding `text_bytes` bytes of texts.
void reserve_values(Object& out, std::uint64_t count, std::uint64_t text_bytes);

// Appends `count` placeholder values (zero, false, the empty text).
void append_placeholders(Object& out, std::uint64_t count);

// Expands a bit array (first boolean in 0x80 of the first byte) into one byte
// per boolean appended to `out`.
void unpack_bits(const std::uint8_t* bits, std::uint64_t count, std::vector<std::uint8_t>& out);

// The same by testing one bit at a time; the reference for unpack_bits.
void unpack_bits_scalar(const std::uint8_t* bits, std::uint64_t count,
                        std::vector<std::uint8_t>& out);

}  // namespace vrex
