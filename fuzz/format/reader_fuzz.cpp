// Any bytes: the reader returns a file or an error, never reads out of
// bounds, and a file it returns is consistent: every column, flag set and
// value property has one entry per row, every text it accepted is UTF-8 by
// the one-character-at-a-time check, and the columnar hand-over (offsets,
// block, bitmaps) describes the same values. Columns decoded on several
// threads give the same file or the same error as the read in order, and a
// read slice by slice takes only files the read in order takes, with the same
// values chunk by chunk.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <span>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "vrex/reader.h"
#include "vrex/reader_columnar.h"
#include "vrex/reader_slices.h"
#include "vrex/reader_utf8.h"

namespace {

// Checks the texts one by one, then hands them over as offsets and a block.
void check_texts(vrex::TextArray& texts, bool utf8) {
  std::vector<std::string> copies;
  for (std::size_t index = 0; index < texts.size(); ++index) {
    const std::string_view text = texts[index];
    if (utf8 && !vrex::is_valid_utf8_scalar(reinterpret_cast<const std::uint8_t*>(text.data()),
                                            text.size())) {
      std::abort();
    }
    copies.emplace_back(text);
  }
  const std::vector<std::uint64_t> offsets = vrex::take_offsets(texts);
  const std::string block = texts.take_block();
  if (offsets.size() != copies.size() + 1 || offsets.front() != 0 ||
      offsets.back() != block.size()) {
    std::abort();
  }
  for (std::size_t index = 0; index < copies.size(); ++index) {
    if (offsets[index] > offsets[index + 1] ||
        block.compare(offsets[index], offsets[index + 1] - offsets[index], copies[index]) != 0) {
      std::abort();
    }
  }
}

void check_hand_over(vrex::Object& values, const std::vector<std::uint8_t>& flags) {
  if (auto* texts = std::get_if<vrex::object::StringArray>(&values))
    check_texts(texts->values, true);
  if (auto* bytes = std::get_if<vrex::object::BinaryArray>(&values))
    check_texts(bytes->values, false);
  if (vrex::pack_bits_lsb_first(flags, true) != vrex::pack_bits_lsb_first_scalar(flags, true)) {
    std::abort();
  }
}

// Equal values, floating-point ones bit for bit (a NaN equals itself).
bool same_values(const vrex::Object& a, const vrex::Object& b) {
  if (a.index() != b.index()) return false;
  return std::visit(
      [&b](const auto& left) {
        using Alternative = std::decay_t<decltype(left)>;
        const auto& right = std::get<Alternative>(b);
        if constexpr (std::is_same_v<Alternative, vrex::object::FloatArray> ||
                      std::is_same_v<Alternative, vrex::object::DoubleArray>) {
          return left.values.size() == right.values.size() &&
                 (left.values.empty() ||
                  std::memcmp(left.values.data(), right.values.data(),
                              left.values.size() * sizeof(left.values[0])) == 0);
        } else {
          return left == right;
        }
      },
      a);
}

bool same_columns(const vrex::ColumnData& a, const vrex::ColumnData& b) {
  if (!same_values(a.values, b.values) || a.is_invalid != b.is_invalid ||
      a.properties.size() != b.properties.size()) {
    return false;
  }
  for (std::size_t index = 0; index < a.properties.size(); ++index) {
    const vrex::JoinedProperty& left = a.properties[index];
    const vrex::JoinedProperty& right = b.properties[index];
    if (left.name != right.name || !same_values(left.values, right.values) ||
        left.present != right.present) {
      return false;
    }
  }
  return true;
}

void check_threads_agree(const vrex::Result<vrex::VrexFile, vrex::VrexError>& in_order,
                         std::span<const std::uint8_t> bytes) {
  const auto apart = vrex::read_vrex(bytes, vrex::ReadOptions{3, 0});
  if (static_cast<bool>(in_order) != static_cast<bool>(apart)) std::abort();
  if (!in_order) {
    if (!(in_order.error() == apart.error())) std::abort();
    return;
  }
  if (in_order->slice_rows != apart->slice_rows || in_order->num_rows != apart->num_rows ||
      in_order->data.size() != apart->data.size()) {
    std::abort();
  }
  for (std::size_t index = 0; index < in_order->data.size(); ++index) {
    if (!same_columns(in_order->data[index], apart->data[index])) std::abort();
  }
}

bool bit_at(const vrex::ChunkBuffer& bitmap, std::uint64_t index) {
  return ((bitmap.data()[index / 8] >> (index % 8)) & 1u) != 0;
}

// Text `row` of a chunk, copied or viewed; false when it lies outside the chunk.
bool text_at(const vrex::ColumnChunk& chunk, bool views, std::uint64_t row,
             std::string_view& text) {
  std::uint32_t length = 0;
  std::uint32_t offset = 0;
  if (views) {
    const std::uint8_t* view = chunk.values.data() + 16 * row;
    std::memcpy(&length, view, 4);
    std::memcpy(&offset, view + 12, 4);
    if (length <= 12) {
      text = {reinterpret_cast<const char*>(view + 4), length};
      return true;
    }
    if (offset > chunk.text_block.size() || length > chunk.text_block.size() - offset) return false;
    const std::uint8_t* bytes = chunk.text_block.data() + offset;
    text = {reinterpret_cast<const char*>(bytes), length};
    return std::memcmp(view + 4, bytes, 4) == 0;
  }
  std::memcpy(&offset, chunk.offsets.data() + 4 * row, 4);
  std::memcpy(&length, chunk.offsets.data() + 4 * (row + 1), 4);  // the end
  if (offset > length || length > chunk.values.size()) return false;
  text = {reinterpret_cast<const char*>(chunk.values.data()) + offset, length - offset};
  return true;
}

// Rows [first, first + chunk.rows) of the joined values hold what the chunk does.
bool chunk_matches(const vrex::Object& joined, std::uint64_t first, const vrex::ColumnChunk& chunk,
                   bool views) {
  return std::visit(
      [&](const auto& array) {
        using Array = std::decay_t<decltype(array)>;
        if constexpr (!requires { array.values.size(); }) {
          return false;
        } else {
          if (first + chunk.rows > array.values.size()) return false;
          for (std::uint64_t row = 0; row < chunk.rows; ++row) {
            if constexpr (std::is_same_v<Array, vrex::BoolArray>) {
              if ((array.values[first + row] != 0) != bit_at(chunk.values, row)) return false;
            } else if constexpr (std::is_same_v<Array, vrex::object::StringArray> ||
                                 std::is_same_v<Array, vrex::object::BinaryArray>) {
              std::string_view text;
              if (!text_at(chunk, views, row, text) || array.values[first + row] != text) {
                return false;
              }
            } else {
              const auto& value = array.values[first + row];
              if (std::memcmp(&value, chunk.values.data() + row * sizeof(value), sizeof(value)) !=
                  0) {
                return false;
              }
            }
          }
          return true;
        }
      },
      joined);
}

void check_slices_agree(const vrex::Result<vrex::VrexFile, vrex::VrexError>& in_order,
                        std::span<const std::uint8_t> bytes, vrex::TextLayout texts) {
  const auto sliced = vrex::read_vrex_slices(bytes, vrex::ReadOptions{2, 0}, texts);
  if (!sliced) return;
  if (!in_order || in_order->slice_rows != sliced->header.slice_rows ||
      in_order->data.size() != sliced->columns.size()) {
    std::abort();
  }
  for (std::size_t index = 0; index < sliced->columns.size(); ++index) {
    const vrex::ColumnData& joined = in_order->data[index];
    const vrex::SlicedColumn& column = sliced->columns[index];
    if (vrex::type_of(joined.values) != column.type || !joined.properties.empty()) std::abort();
    std::uint64_t first = 0;
    for (const vrex::ColumnChunk& chunk : column.chunks) {
      if (!chunk_matches(joined.values, first, chunk, column.text_views)) std::abort();
      std::uint64_t invalid = 0;
      for (std::uint64_t row = 0; row < chunk.rows; ++row) {
        const bool is_invalid = joined.is_invalid[first + row] != 0;
        invalid += is_invalid ? 1 : 0;
        if (!chunk.validity.empty() && bit_at(chunk.validity, row) == is_invalid) std::abort();
      }
      if (invalid != chunk.null_count || (invalid == 0) != chunk.validity.empty()) std::abort();
      first += chunk.rows;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  auto file = vrex::read_vrex(bytes);
  check_threads_agree(file, bytes);
  check_slices_agree(file, bytes, vrex::TextLayout::Copies);
  check_slices_agree(file, bytes, vrex::TextLayout::Views);
  if (!file) {
    (void)file.error().display_text();
    return 0;
  }
  const std::uint64_t rows =
      std::accumulate(file->slice_rows.begin(), file->slice_rows.end(), std::uint64_t{0});
  if (rows != file->num_rows || file->data.size() != file->columns.size()) std::abort();
  for (vrex::ColumnData& column : file->data) {
    if (vrex::value_count(column.values) != rows || column.is_invalid.size() != rows) std::abort();
    for (vrex::JoinedProperty& property : column.properties) {
      if (vrex::value_count(property.values) != rows || property.present.size() != rows) {
        std::abort();
      }
      check_hand_over(property.values, property.present);
    }
    check_hand_over(column.values, column.is_invalid);
  }
  return 0;
}
