#include "vrex/reader_slices.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstring>
#include <exception>
#include <mutex>
#include <numeric>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>

#include "vrex/reader_columnar.h"
#include "vrex/reader_cursor.h"
#include "vrex/reader_sections.h"
#include "vrex/reader_skim.h"
#include "vrex/reader_utf8.h"
#include "vrex/reader_values.h"

namespace vrex {

namespace {

// Byte b with its bits in the opposite order.
constexpr std::array<std::uint8_t, 256> kReversedBits = [] {
  std::array<std::uint8_t, 256> table{};
  for (unsigned byte = 0; byte < 256; ++byte) {
    unsigned reversed = 0;
    for (unsigned bit = 0; bit < 8; ++bit) reversed |= ((byte >> bit) & 1u) << (7 - bit);
    table[byte] = static_cast<std::uint8_t>(reversed);
  }
  return table;
}();

// Bytes per value of a fixed-size type; 0 for texts.
std::size_t fixed_width(ValueType type) noexcept {
  switch (type) {
    case ValueType::Bool:
      return 1;
    case ValueType::Int:
    case ValueType::Float:
      return 4;
    case ValueType::Long:
    case ValueType::Double:
    case ValueType::DateTime:
    case ValueType::Date:
    case ValueType::Time:
    case ValueType::TimeSpan:
      return 8;
    case ValueType::Decimal:
      return 16;
    case ValueType::String:
    case ValueType::Binary:
      return 0;
  }
  return 0;
}

template <class T>
concept ArrayAlternative = requires(const T& array) {
  array.values.size();
};

// One byte per flag, each 0 or 1 (else the file is wrong), as a bitmap.
std::optional<ChunkBuffer> bitmap_of_flags(std::span<const std::uint8_t> flags, bool invert) {
  std::uint8_t stray_bits = 0;
  for (std::uint8_t flag : flags) stray_bits |= flag;
  if (stray_bits > 1) return std::nullopt;
  return ChunkBuffer::adopt(pack_bits_lsb_first(flags, invert));
}

std::uint64_t count_of_set(std::span<const std::uint8_t> flags) noexcept {
  std::uint64_t count = 0;
  for (std::uint8_t flag : flags) count += flag;
  return count;
}

// A packed text array's count and its block of lengths and bytes; none when
// the counts do not fit the section.
struct PackedTexts {
  std::uint32_t count;
  std::span<const std::uint8_t> block;
};

std::optional<PackedTexts> take_packed_texts(ReadCursor& cursor) {
  auto count = cursor.read_count();
  if (!count) return std::nullopt;
  auto total = cursor.read_count();
  if (!total || *count > *total) return std::nullopt;
  auto block = cursor.take(*total);
  if (!block) return std::nullopt;
  return PackedTexts{*count, *block};
}

// Texts in the packed form: each one's packed length and bytes, which must
// cover the block exactly. The texts are copied back to back and checked as
// UTF-8 in one pass over the copy, as the in-order reader does.
bool read_packed_texts(ReadCursor& cursor, bool checks_utf8, ColumnChunk& chunk) {
  const auto packed = take_packed_texts(cursor);
  if (!packed) return false;
  const std::uint32_t count = packed->count;
  const std::span<const std::uint8_t> bytes = packed->block;
  chunk.rows = count;
  chunk.values = ChunkBuffer::allocate(bytes.size());
  chunk.offsets = ChunkBuffer::allocate((std::size_t{count} + 1) * sizeof(std::uint32_t));
  std::uint8_t* const target = chunk.values.mutable_data();
  std::uint8_t* const offsets = chunk.offsets.mutable_data();
  std::size_t at = 0;
  std::uint32_t written = 0;
  bool starts_inside_character = false;
  std::memcpy(offsets, &written, sizeof written);
  for (std::uint32_t index = 0; index < count; ++index) {
    std::uint32_t length = 0;
    if (!read_packed_length(bytes, at, length) || length > bytes.size() - at) return false;
    if (length != 0) {
      const std::uint8_t* text = bytes.data() + at;
      starts_inside_character |= (text[0] & 0xC0u) == 0x80u;
      copy_text_in_block(target + written, bytes, at, length);
    }
    written += length;
    at += length;
    std::memcpy(offsets + (std::size_t{index} + 1) * sizeof written, &written, sizeof written);
  }
  if (at != bytes.size()) return false;
  if (checks_utf8 && (starts_inside_character || !is_valid_utf8(target, written))) return false;
  chunk.values.shrink(written);
  return true;
}

// The same texts as views into the block: 16 bytes a text, the texts left
// where they are. They are still copied back to back into memory the thread
// reuses, to be checked as UTF-8 in one pass as the copies are.
bool read_packed_text_views(ReadCursor& cursor, bool checks_utf8, ColumnChunk& chunk) {
  const auto packed = take_packed_texts(cursor);
  if (!packed) return false;
  const std::uint32_t count = packed->count;
  const std::span<const std::uint8_t> bytes = packed->block;
  chunk.rows = count;
  chunk.values = ChunkBuffer::allocate(std::size_t{count} * 16);
  chunk.text_block = ChunkBuffer::view(bytes);
  chunk.text_block_size = static_cast<std::int64_t>(bytes.size());
  thread_local std::vector<std::uint8_t> checked;
  if (checks_utf8 && checked.size() < bytes.size()) checked.resize(bytes.size());
  std::uint8_t* const views = chunk.values.mutable_data();
  std::size_t at = 0;
  std::size_t written = 0;
  bool starts_inside_character = false;
  for (std::uint32_t index = 0; index < count; ++index) {
    std::uint32_t length = 0;
    if (!read_packed_length(bytes, at, length) || length > bytes.size() - at) return false;
    const std::uint8_t* text = bytes.data() + at;
    const std::size_t left = bytes.size() - at;
    std::uint64_t view[2] = {length, 0};
    if (length <= 12 && left >= 12) {
      // Twelve bytes move at once; those past the text are cleared.
      std::uint8_t inline_bytes[12];
      std::memcpy(inline_bytes, text, 12);
      std::uint64_t low = 0;
      std::uint64_t high = 0;
      std::memcpy(&low, inline_bytes, 4);
      std::memcpy(&high, inline_bytes + 4, 8);
      low &= length >= 4 ? 0xFFFFFFFFu : (std::uint64_t{1} << (8 * length)) - 1;
      high &= length >= 12  ? ~std::uint64_t{0}
              : length <= 4 ? 0
                            : (std::uint64_t{1} << (8 * (length - 4))) - 1;
      view[0] |= low << 32;
      view[1] = high;
    } else if (length <= 12) {
      std::uint8_t padded[12] = {};
      std::memcpy(padded, text, length);
      std::uint64_t low = 0;
      std::memcpy(&low, padded, 4);
      std::memcpy(&view[1], padded + 4, 8);
      view[0] |= low << 32;
    } else {
      std::uint64_t prefix = 0;
      std::memcpy(&prefix, text, 4);
      view[0] |= prefix << 32;
      view[1] = static_cast<std::uint64_t>(at) << 32;  // buffer 0, then the offset
    }
    std::memcpy(views + std::size_t{index} * 16, view, 16);
    if (checks_utf8 && length != 0) {
      starts_inside_character |= (text[0] & 0xC0u) == 0x80u;
      copy_text_in_block(checked.data() + written, bytes, at, length);
    }
    written += length;
    at += length;
  }
  if (at != bytes.size()) return false;
  return !checks_utf8 || (!starts_inside_character && is_valid_utf8(checked.data(), written));
}

// Values in the other encodings, decoded the in-order reader's way and then
// moved into the chunk.
bool read_expanded_values(ReadCursor& cursor, const ValueArrayHeader& header, ColumnChunk& chunk) {
  Object values = empty_array_of(header.type);
  auto count = append_value_array(cursor, header, values);
  if (!count) return false;
  chunk.rows = *count;
  return std::visit(
      [&chunk](auto& array) -> bool {
        using Array = std::decay_t<decltype(array)>;
        if constexpr (!ArrayAlternative<Array>) {
          return false;
        } else if constexpr (std::is_same_v<Array, BoolArray>) {
          chunk.values = ChunkBuffer::adopt(pack_bits_lsb_first(array.values, false));
          return true;
        } else if constexpr (std::is_same_v<Array, object::StringArray> ||
                             std::is_same_v<Array, object::BinaryArray>) {
          const std::vector<std::uint64_t> wide = take_offsets(array.values);
          if (wide.back() > 0x7FFFFFFFu) return false;
          std::vector<std::uint32_t> offsets(wide.begin(), wide.end());
          chunk.offsets = ChunkBuffer::adopt(std::move(offsets));
          chunk.values = ChunkBuffer::adopt(array.values.take_block());
          return true;
        } else {
          chunk.values = ChunkBuffer::adopt(std::move(array.values));
          return true;
        }
      },
      values);
}

bool read_values(ReadCursor& cursor, const ValueArrayHeader& header, TextLayout texts,
                 ColumnChunk& chunk) {
  const std::size_t width = fixed_width(header.type);
  switch (header.encoding) {
    case ArrayEncoding::Plain: {
      const bool utf8 = header.type == ValueType::String;
      if (width == 0 && texts == TextLayout::Views) {
        return read_packed_text_views(cursor, utf8, chunk);
      }
      if (width == 0) return read_packed_texts(cursor, utf8, chunk);
      auto count = cursor.read_count();
      if (!count) return false;
      auto block = cursor.take(std::uint64_t{*count} * width);
      if (!block) return false;
      chunk.rows = *count;
      if (header.type != ValueType::Bool) {
        chunk.values = ChunkBuffer::view(*block);
        return true;
      }
      auto bits = bitmap_of_flags(*block, false);
      if (!bits) return false;
      chunk.values = std::move(*bits);
      return true;
    }
    case ArrayEncoding::BitArray: {
      if (header.type != ValueType::Bool) return false;
      auto count = cursor.read_count();
      if (!count) return false;
      auto bits = cursor.take((std::uint64_t{*count} + 7) / 8);
      if (!bits) return false;
      chunk.rows = *count;
      chunk.values = ChunkBuffer::allocate(bits->size());
      flip_bit_order(bits->data(), *count, false, chunk.values.mutable_data());
      return true;
    }
    case ArrayEncoding::RunLength:
      // Views want every text of a column in one layout.
      if (width == 0 && texts == TextLayout::Views) return false;
      return read_expanded_values(cursor, header, chunk);
  }
  return false;
}

// The one value property this path reads: the invalid flags, as a validity
// bitmap with its count of nulls.
bool read_invalid_flags(ReadCursor& cursor, ColumnChunk& chunk) {
  auto name = read_text(cursor);
  if (!name || *name != "IsInvalid") return false;
  auto header = read_value_array_header(cursor);
  if (!header || header->type != ValueType::Bool) return false;
  std::uint64_t count = 0;
  if (header->encoding == ArrayEncoding::BitArray) {
    auto flags = cursor.read_count();
    if (!flags) return false;
    count = *flags;
    auto bits = cursor.take((count + 7) / 8);
    if (!bits) return false;
    chunk.validity = ChunkBuffer::allocate(bits->size());
    const std::uint64_t valid =
        flip_bit_order(bits->data(), count, true, chunk.validity.mutable_data());
    chunk.null_count = count - valid;
  } else {
    Object flags(BoolArray{});
    auto read = append_value_array(cursor, *header, flags);
    if (!read) return false;
    const std::vector<std::uint8_t>& bytes = std::get<BoolArray>(flags).values;
    count = bytes.size();
    auto bits = bitmap_of_flags(bytes, true);
    if (!bits) return false;
    chunk.validity = std::move(*bits);
    chunk.null_count = count_of_set(bytes);
  }
  if (count != chunk.rows) return false;
  if (chunk.null_count == 0) chunk.validity = ChunkBuffer{};
  return true;
}

// One column slice, which must fill exactly the bytes the walk found for it.
// `type` is the column's type so far; the first slice may set another.
bool read_column_slice(std::span<const std::uint8_t> bytes, bool first_slice, ValueType& type,
                       TextLayout texts, ColumnChunk& chunk) {
  ReadCursor cursor(bytes);
  if (!expect_section(cursor, SectionType::ColumnSlice)) return false;
  auto header = read_value_array_header(cursor);
  if (!header) return false;
  if (first_slice) type = header->type;
  if (header->type != type) return false;
  if (!read_values(cursor, *header, texts, chunk)) return false;
  auto property_count = cursor.read_count();
  if (!property_count || *property_count > 1) return false;
  if (*property_count == 1 && !read_invalid_flags(cursor, chunk)) return false;
  return cursor.remaining() == 0;
}

bool read_column(const SliceLayout& layout, std::size_t column, TextLayout texts,
                 SlicedColumn& out) {
  out.chunks.resize(layout.slice_count());
  for (std::size_t slice = 0; slice < layout.slice_count(); ++slice) {
    if (!read_column_slice(layout.column_slice(slice, column), slice == 0, out.type, texts,
                           out.chunks[slice])) {
      return false;
    }
  }
  out.text_views = texts == TextLayout::Views && fixed_width(out.type) == 0;
  return true;
}

// Decodes the columns on up to `threads` threads, each taking the next column
// not yet taken, the largest first. False when any column fails.
bool read_columns(const SliceLayout& layout, const std::vector<ColumnExtent>& extents,
                  unsigned threads, TextLayout texts, std::vector<SlicedColumn>& columns) {
  return read_columns_largest_first(extents, threads, [&](std::size_t column) {
    return read_column(layout, column, texts, columns[column]);
  });
}

}  // namespace

ChunkBuffer ChunkBuffer::allocate(std::size_t size) {
  std::shared_ptr<std::uint8_t[]> owned = std::make_unique_for_overwrite<std::uint8_t[]>(size);
  ChunkBuffer buffer;
  buffer.data_ = owned.get();
  buffer.size_ = size;
  buffer.owner_ = std::move(owned);
  return buffer;
}

std::uint64_t flip_bit_order(const std::uint8_t* bits, std::uint64_t count, bool invert,
                             std::uint8_t* out) noexcept {
  const std::uint8_t mask = invert ? 0xFF : 0x00;
  const std::uint64_t byte_count = (count + 7) / 8;
  std::uint64_t set = 0;
  for (std::uint64_t index = 0; index < byte_count; ++index) {
    out[index] = static_cast<std::uint8_t>(kReversedBits[bits[index]] ^ mask);
  }
  if (count % 8 != 0) out[byte_count - 1] &= static_cast<std::uint8_t>((1u << (count % 8)) - 1);
  // Eight bytes at a time, without relying on a popcount instruction the
  // build may not target.
  std::uint64_t index = 0;
  for (; index + 8 <= byte_count; index += 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, out + index, 8);
    word -= (word >> 1) & 0x5555555555555555u;
    word = (word & 0x3333333333333333u) + ((word >> 2) & 0x3333333333333333u);
    word = (word + (word >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
    set += (word * 0x0101010101010101u) >> 56;
  }
  for (; index < byte_count; ++index) set += static_cast<std::uint64_t>(std::popcount(out[index]));
  return set;
}

std::optional<SlicedFile> read_vrex_slices(std::span<const std::uint8_t> bytes, ReadOptions options,
                                           TextLayout texts) {
  ReadCursor cursor(bytes);
  SlicedFile file;
  if (!read_file_start(cursor, file.header)) return std::nullopt;
  const std::size_t column_count = file.header.columns.size();
  if (column_count == 0) return std::nullopt;
  SliceLayout layout;
  // As in the in-order reader's walk: a file of tiny slices is not worth a
  // chunk per slice, and its layout would cost more memory than it is worth.
  constexpr std::size_t kSmallestAverageColumnSlice = 256;
  constexpr std::size_t kColumnSlicesAlwaysRecorded = 4096;
  layout.most_column_slices =
      std::max(bytes.size() / kSmallestAverageColumnSlice, kColumnSlicesAlwaysRecorded);
  const auto extents = skim_table_slices(cursor, column_count, &layout);
  if (!extents || !layout.complete || !layout.flags_only ||
      layout.table_end != bytes.data() + bytes.size()) {
    return std::nullopt;
  }
  file.columns.resize(column_count);
  for (std::size_t column = 0; column < column_count; ++column) {
    file.columns[column].type = file.header.columns[column].data_type;
  }
  const unsigned threads = bytes.size() >= options.smallest_read_apart ? options.threads : 1u;
  if (!read_columns(layout, *extents, std::max(threads, 1u), texts, file.columns)) {
    return std::nullopt;
  }
  // Every column must agree on each slice's rows.
  VrexFile& header = file.header;
  header.slice_rows.resize(layout.slice_count());
  for (std::size_t slice = 0; slice < layout.slice_count(); ++slice) {
    const std::uint64_t rows = file.columns[0].chunks[slice].rows;
    for (const SlicedColumn& column : file.columns) {
      if (column.chunks[slice].rows != rows) return std::nullopt;
    }
    header.slice_rows[slice] = rows;
    header.num_rows += rows;
  }
  return file;
}

}  // namespace vrex
