#include "vrex/reader_values.h"

#include <array>
#include <bit>
#include <cstring>
#include <type_traits>
#include <utility>

#include "vrex/reader_utf8.h"

namespace vrex {

static_assert(std::endian::native == std::endian::little,
              "values are copied as stored, which needs a little-endian host");

namespace {

using Kind = VrexError::Kind;

template <class T>
concept ArrayAlternative = requires(const T& array) {
  array.values.size();
};

template <class T>
constexpr bool kIsTextArray =
    std::is_same_v<T, object::StringArray> || std::is_same_v<T, object::BinaryArray>;

ReadStatus fail(Kind kind) { return Unexpected{VrexError(kind)}; }

// Byte k of entry b (little-endian) is bit 0x80 >> k of b.
constexpr std::array<std::uint64_t, 256> kBitsToBytes = [] {
  std::array<std::uint64_t, 256> table{};
  for (unsigned byte = 0; byte < 256; ++byte) {
    std::uint64_t word = 0;
    for (unsigned k = 0; k < 8; ++k) {
      word |= static_cast<std::uint64_t>((byte >> (7 - k)) & 1u) << (8 * k);
    }
    table[byte] = word;
  }
  return table;
}();

// `count` texts in the packed form: the total byte size, then each text's
// packed length and bytes. The total must cover the texts exactly.
//
// The texts are copied into the array's block first and checked as UTF-8 in
// one pass over everything copied: concatenated texts are well-formed exactly
// when the whole is and no text begins inside a character. A size fault
// found part way still reports a malformed text before it, as a text by
// text check would.
template <class Array>
ReadStatus append_packed_texts(ReadCursor& cursor, std::uint64_t count, Array& out) {
  constexpr bool kChecksUtf8 = std::is_same_v<Array, object::StringArray>;
  auto total = cursor.read_count();
  if (!total) return Unexpected{total.error()};
  // Every text takes at least its one-byte length.
  if (count > *total) return fail(Kind::InvalidSize);
  auto block = cursor.take(*total);
  if (!block) return Unexpected{block.error()};
  const std::span<const std::uint8_t> bytes = *block;
  const std::size_t base = out.values.total_bytes();
  out.values.reserve(out.values.size() + count, base + bytes.size());
  // The texts never take more bytes than the block that holds them.
  char* const target = out.values.extend_block(bytes.size());
  std::size_t at = 0;
  std::size_t written = 0;
  bool starts_inside_character = false;
  auto finish = [&](ReadStatus status) -> ReadStatus {
    if constexpr (kChecksUtf8) {
      if (starts_inside_character ||
          !is_valid_utf8(reinterpret_cast<const std::uint8_t*>(target), written)) {
        return fail(Kind::InvalidString);
      }
    }
    out.values.trim_block(base + written);
    return status;
  };
  for (std::uint64_t index = 0; index < count; ++index) {
    std::uint32_t length = 0;
    if (!read_packed_length(bytes, at, length) || length > bytes.size() - at) {
      return finish(fail(Kind::InvalidSize));
    }
    if (length != 0) {
      const std::uint8_t* text = bytes.data() + at;
      starts_inside_character |= (text[0] & 0xC0u) == 0x80u;
      copy_text_in_block(target + written, bytes, at, length);
    }
    written += length;
    at += length;
    out.values.add_end(base + written);
  }
  if (at != bytes.size()) return finish(fail(Kind::InvalidSize));
  return finish({});
}

// `count` values in the packed form, appended to `out`.
template <class Array>
ReadStatus append_packed(ReadCursor& cursor, std::uint64_t count, Array& out) {
  if constexpr (kIsTextArray<Array>) {
    return append_packed_texts(cursor, count, out);
  } else {
    using Element = typename decltype(out.values)::value_type;
    auto block = cursor.take(count * sizeof(Element));
    if (!block) return Unexpected{block.error()};
    if constexpr (std::is_same_v<Array, BoolArray>) {
      std::uint8_t stray_bits = 0;
      for (std::uint8_t byte : *block) stray_bits |= byte;
      if (stray_bits > 1) return fail(Kind::InvalidBool);
    }
    const std::size_t old_size = out.values.size();
    out.values.resize(old_size + count);
    if (count != 0) std::memcpy(out.values.data() + old_size, block->data(), block->size());
    return {};
  }
}

template <class Array>
void append_repeated(Array& out, const Array& distinct, std::size_t index, std::uint64_t times) {
  if constexpr (kIsTextArray<Array>) {
    for (std::uint64_t k = 0; k < times; ++k) out.values.push_back(distinct.values[index]);
  } else {
    out.values.insert(out.values.end(), times, distinct.values[index]);
  }
}

// Run byte r stands for r + 1 copies of the distinct value of the same index.
template <class Array>
ReadStatus append_run_length(ReadCursor& cursor, Array& out) {
  auto total = cursor.read_count();
  if (!total) return Unexpected{total.error()};
  auto run_count = cursor.read_count();
  if (!run_count) return Unexpected{run_count.error()};
  auto runs = cursor.take(*run_count);
  if (!runs) return Unexpected{runs.error()};
  std::uint64_t expanded = 0;
  for (std::uint8_t run : *runs) expanded += run + 1u;
  if (expanded != *total) return fail(Kind::InvalidRunLengthEncodedObject);
  auto distinct_count = cursor.read_count();
  if (!distinct_count) return Unexpected{distinct_count.error()};
  if (*distinct_count != *run_count) return fail(Kind::InvalidRunLengthEncodedObject);
  Array distinct;
  VREX_TRY(append_packed(cursor, *distinct_count, distinct));
  if constexpr (kIsTextArray<Array>) {
    out.values.reserve(out.values.size() + expanded, out.values.total_bytes());
  } else {
    out.values.reserve(out.values.size() + expanded);
  }
  for (std::size_t index = 0; index < runs->size(); ++index) {
    append_repeated(out, distinct, index, (*runs)[index] + 1u);
  }
  return {};
}

ReadResult<std::uint64_t> append_bit_array(ReadCursor& cursor, BoolArray& out) {
  auto count = cursor.read_count();
  if (!count) return Unexpected{count.error()};
  auto bits = cursor.take((static_cast<std::uint64_t>(*count) + 7) / 8);
  if (!bits) return Unexpected{bits.error()};
  unpack_bits(bits->data(), *count, out.values);
  return static_cast<std::uint64_t>(*count);
}

template <class Scalar, std::size_t kSize>
ReadResult<Object> read_fixed(ReadCursor& cursor) {
  auto bytes = cursor.take(kSize);
  if (!bytes) return Unexpected{bytes.error()};
  Scalar scalar;
  std::memcpy(&scalar.value, bytes->data(), kSize);
  return Object(std::move(scalar));
}

}  // namespace

void unpack_bits_scalar(const std::uint8_t* bits, std::uint64_t count,
                        std::vector<std::uint8_t>& out) {
  out.reserve(out.size() + count);
  for (std::uint64_t index = 0; index < count; ++index) {
    out.push_back((bits[index / 8] >> (7 - index % 8)) & 1u);
  }
}

void unpack_bits(const std::uint8_t* bits, std::uint64_t count, std::vector<std::uint8_t>& out) {
  const std::size_t old_size = out.size();
  out.resize(old_size + count);
  std::uint8_t* target = out.data() + old_size;
  const std::uint64_t full_bytes = count / 8;
  for (std::uint64_t index = 0; index < full_bytes; ++index) {
    std::memcpy(target + 8 * index, &kBitsToBytes[bits[index]], 8);
  }
  const std::uint64_t tail = count % 8;
  if (tail != 0) {
    std::uint64_t word = kBitsToBytes[bits[full_bytes]];
    std::memcpy(target + 8 * full_bytes, &word, tail);
  }
}

ReadResult<ValueType> read_type_id(ReadCursor& cursor) {
  auto byte = cursor.read_byte();
  if (!byte) return Unexpected{byte.error()};
  if (!is_value_type_id(*byte)) return Unexpected{VrexError(Kind::UnknownTypeId)};
  return static_cast<ValueType>(*byte);
}

ReadResult<std::string> read_text(ReadCursor& cursor) {
  auto length = cursor.read_count();
  if (!length) return Unexpected{length.error()};
  auto bytes = cursor.take(*length);
  if (!bytes) return Unexpected{bytes.error()};
  if (!is_valid_utf8(bytes->data(), bytes->size())) {
    return Unexpected{VrexError(Kind::InvalidString)};
  }
  return std::string(as_text(*bytes));
}

ReadResult<Object> read_unpacked_value(ReadCursor& cursor, ValueType type) {
  switch (type) {
    case ValueType::Bool: {
      auto byte = cursor.read_byte();
      if (!byte) return Unexpected{byte.error()};
      if (*byte > 1) return Unexpected{VrexError(Kind::InvalidBool)};
      return Object(object::Bool{*byte == 1});
    }
    case ValueType::Int:
      return read_fixed<object::Int, 4>(cursor);
    case ValueType::Long:
      return read_fixed<object::Long, 8>(cursor);
    case ValueType::Float:
      return read_fixed<object::Float, 4>(cursor);
    case ValueType::Double:
      return read_fixed<object::Double, 8>(cursor);
    case ValueType::DateTime:
      return read_fixed<object::DateTime, 8>(cursor);
    case ValueType::Date:
      return read_fixed<object::Date, 8>(cursor);
    case ValueType::Time:
      return read_fixed<object::Time, 8>(cursor);
    case ValueType::TimeSpan:
      return read_fixed<object::TimeSpan, 8>(cursor);
    case ValueType::String: {
      auto text = read_text(cursor);
      if (!text) return Unexpected{text.error()};
      return Object(object::String{std::move(*text)});
    }
    case ValueType::Binary: {
      auto length = cursor.read_count();
      if (!length) return Unexpected{length.error()};
      auto bytes = cursor.take(*length);
      if (!bytes) return Unexpected{bytes.error()};
      return Object(object::Binary{std::string(as_text(*bytes))});
    }
    case ValueType::Decimal: {
      auto bytes = cursor.take(16);
      if (!bytes) return Unexpected{bytes.error()};
      object::Decimal decimal;
      std::memcpy(decimal.value.data(), bytes->data(), 16);
      return Object(decimal);
    }
  }
  return Unexpected{VrexError(Kind::UnknownTypeId)};
}

ReadResult<ValueArrayHeader> read_value_array_header(ReadCursor& cursor) {
  auto encoding = cursor.read_byte();
  if (!encoding) return Unexpected{encoding.error()};
  if (*encoding < 1 || *encoding > 3) return Unexpected{VrexError(Kind::InvalidEncoding)};
  auto type = read_type_id(cursor);
  if (!type) return Unexpected{type.error()};
  ValueArrayHeader header{static_cast<ArrayEncoding>(*encoding), *type};
  if (header.encoding == ArrayEncoding::BitArray && header.type != ValueType::Bool) {
    return Unexpected{VrexError(Kind::InvalidValueType)};
  }
  return header;
}

ReadResult<std::uint64_t> append_value_array(ReadCursor& cursor, const ValueArrayHeader& header,
                                             Object& out) {
  if (type_of(out) != header.type) return Unexpected{VrexError(Kind::InvalidValueType)};
  return std::visit(
      [&](auto& array) -> ReadResult<std::uint64_t> {
        using Array = std::decay_t<decltype(array)>;
        if constexpr (!ArrayAlternative<Array>) {
          return Unexpected{VrexError(Kind::InvalidObject)};
        } else {
          const std::uint64_t before = array.values.size();
          switch (header.encoding) {
            case ArrayEncoding::Plain: {
              auto count = cursor.read_count();
              if (!count) return Unexpected{count.error()};
              VREX_TRY(append_packed(cursor, *count, array));
              break;
            }
            case ArrayEncoding::RunLength:
              VREX_TRY(append_run_length(cursor, array));
              break;
            case ArrayEncoding::BitArray:
              if constexpr (std::is_same_v<Array, BoolArray>) {
                VREX_TRY(append_bit_array(cursor, array));
              } else {
                return Unexpected{VrexError(Kind::InvalidValueType)};
              }
              break;
          }
          return array.values.size() - before;
        }
      },
      out);
}

void reserve_values(Object& out, std::uint64_t count, std::uint64_t text_bytes) {
  std::visit(
      [&](auto& array) {
        using Array = std::decay_t<decltype(array)>;
        if constexpr (kIsTextArray<Array>) {
          // One more end than elements: the ends become offsets in place.
          array.values.reserve(array.values.size() + count + 1,
                               array.values.total_bytes() + text_bytes);
        } else if constexpr (ArrayAlternative<Array>) {
          array.values.reserve(array.values.size() + count);
        }
      },
      out);
}

void append_placeholders(Object& out, std::uint64_t count) {
  std::visit(
      [&](auto& array) {
        using Array = std::decay_t<decltype(array)>;
        if constexpr (kIsTextArray<Array>) {
          for (std::uint64_t k = 0; k < count; ++k) array.values.push_back({});
        } else if constexpr (ArrayAlternative<Array>) {
          array.values.resize(array.values.size() + count);
        }
      },
      out);
}

}  // namespace vrex
