// A file read slice by slice into the layouts columnar consumers take as they
// are: one chunk per column and table slice, fixed-size values left where the
// file holds them, texts with 32-bit offsets, booleans and invalid flags as
// bitmaps (first row in bit 0x01).
//
// This path serves the common shape of a file: columns whose slices hold no
// value property but one set of invalid flags. For any other file, and for a
// file with anything wrong in it, it gives nothing and read_vrex() is the
// answer: it gives the joined table or the error, so what a caller sees never
// depends on which path ran.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "vrex/reader.h"

namespace vrex {

// Bytes of one buffer: a view into the file being read, or memory of its own.
class ChunkBuffer {
 public:
  ChunkBuffer() = default;

  static ChunkBuffer view(std::span<const std::uint8_t> bytes) noexcept {
    ChunkBuffer buffer;
    buffer.data_ = bytes.data();
    buffer.size_ = bytes.size();
    return buffer;
  }

  // `size` bytes of uninitialised memory, which the caller fills in.
  static ChunkBuffer allocate(std::size_t size);

  // Takes over a contiguous container (a vector, a string) and shows its
  // elements' bytes.
  template <class Container>
  static ChunkBuffer adopt(Container values) {
    auto owned = std::make_shared<Container>(std::move(values));
    ChunkBuffer buffer;
    buffer.data_ = reinterpret_cast<const std::uint8_t*>(owned->data());
    buffer.size_ = owned->size() * sizeof(typename Container::value_type);
    buffer.owner_ = std::move(owned);
    return buffer;
  }

  const std::uint8_t* data() const noexcept { return data_; }

  std::uint8_t* mutable_data() noexcept { return const_cast<std::uint8_t*>(data_); }

  std::size_t size() const noexcept { return size_; }

  bool empty() const noexcept { return size_ == 0; }

  // Whether the bytes are memory of this buffer's own, not the file's.
  bool owns() const noexcept { return owner_ != nullptr; }

  // Forgets bytes past `size` (never more than it has).
  void shrink(std::size_t size) noexcept {
    if (size < size_) size_ = size;
  }

 private:
  std::shared_ptr<const void> owner_;
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

// One column's rows of one table slice.
struct ColumnChunk {
  std::uint64_t rows = 0;
  // Fixed-size values back to back; a bitmap for booleans; the texts of a
  // text column back to back.
  ChunkBuffer values;
  // Texts only: rows + 1 int32 offsets into `values`, the first 0.
  ChunkBuffer offsets;
  // Texts read as views: `values` holds a 16-byte view per row (the length,
  // then the text itself up to 12 bytes, else its first 4 bytes, 0 and its
  // offset in `text_block`), `text_block` the file's bytes they point into.
  ChunkBuffer text_block;
  std::int64_t text_block_size = 0;
  // Bit i set where row i is valid; empty when every row is.
  ChunkBuffer validity;
  std::uint64_t null_count = 0;
};

struct SlicedColumn {
  // The type the values are stored in: the first slice's, else the declared.
  ValueType type = ValueType::Int;
  // Whether the texts are views into the file rather than copies.
  bool text_views = false;
  std::vector<ColumnChunk> chunks;  // one per table slice
};

struct SlicedFile {
  // Version, metadata, descriptors, columns, slice_rows and num_rows; no data.
  VrexFile header;
  std::vector<SlicedColumn> columns;  // parallel to header.columns
};

// How texts are laid out: copied back to back with offsets, or as views
// into the file, each plain-encoded text slice.
enum class TextLayout { Copies, Views };

// Reads `bytes` slice by slice on up to `options.threads` threads. Values of
// fixed size point into `bytes`, which must outlive the result.
std::optional<SlicedFile> read_vrex_slices(std::span<const std::uint8_t> bytes,
                                           ReadOptions options = {},
                                           TextLayout texts = TextLayout::Copies);

// Arrow's bit order from the file's: reverses the bits of every byte, and
// inverts them when `invert` (a validity bitmap from invalid flags). Returns
// how many of the first `count` bits of the result are set; bits past
// `count` are cleared.
std::uint64_t flip_bit_order(const std::uint8_t* bits, std::uint64_t count, bool invert,
                             std::uint8_t* out) noexcept;

}  // namespace vrex
