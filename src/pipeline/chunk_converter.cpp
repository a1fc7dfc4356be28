#include "pipeline/chunk_converter.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace vrex::ext {

namespace {

// About 16K views (256 KiB) per tile: the tile's views and input bytes stay
// in the core's cache while every column of the tile is converted.
std::size_t rows_per_tile(std::size_t column_count) {
  return std::clamp<std::size_t>(16384 / std::max<std::size_t>(column_count, 1), 64, 2048);
}

// Builders reserve room for a chunk of up to this many rows; larger chunks
// grow past it by doubling.
constexpr std::uint64_t kMaxReservedRows = std::uint64_t{1} << 16;

}  // namespace

ChunkConverter::ChunkConverter(RowQueue&& rows, std::span<const ValueType> types,
                               std::uint64_t chunk_size, std::size_t tile_rows)
    : rows_(std::move(rows)),
      types_(types),
      chunk_size_(chunk_size),
      tiled_(types.size() <= kMaxTiledColumns),
      tile_rows_(tile_rows != 0 ? tile_rows : rows_per_tile(types.size())) {
  texts_.resize(tile_rows_);
  if (!tiled_) return;
  // Sized for what is queued (or a tile) at first, with room for a chunk: the
  // builders grow into it with the first full chunk and keep that size from
  // then on. Room not grown into is never touched. Text columns borrow
  // their texts (views into the input, or the queue's own copies, all
  // padded): each chunk is written before the queue lets its copies go.
  const auto chunk_rows =
      static_cast<std::size_t>(std::min<std::uint64_t>(chunk_size, kMaxReservedRows));
  const std::size_t first_rows = std::min(chunk_rows, std::max(rows_.size(), tile_rows_));
  builders_.reserve(types.size());
  for (ValueType type : types) builders_.emplace_back(type, first_rows).reserve(chunk_rows);
}

Result<std::size_t, CsvError> ChunkConverter::fill_chunk(CsvReader& reader, RowLimit* limit) {
  if (limit != nullptr && !tiled_) throw std::logic_error("a limit for a converter of columns");
  auto end = static_cast<std::size_t>(chunk_size_);
  while (true) {
    if (limit != nullptr) end = std::min(end, limit->rows_to_read(chunk_rows(), reader.cursor()));
    if (chunk_rows() >= end) break;
    // Queued rows wanted: the rest of the chunk, or of the tile being read.
    const std::size_t chunk_end = end - released_;
    const std::size_t target = tiled_ ? std::min(chunk_end, tile_rows_) : chunk_end;
    auto more = rows_.read_until(reader, target);
    if (!more) return Unexpected{more.error()};
    convert_whole_tiles(end);
    if (!*more) break;
  }
  return std::min(chunk_rows(), end);
}

void ChunkConverter::convert_whole_tiles(std::size_t end) {
  while (tiled_ && rows_.size() >= tile_rows_ && released_ + tile_rows_ <= end) {
    convert_rows(0, tile_rows_);
    // A converted tile's views are needed no more; text columns borrow the
    // texts themselves (in the input, or copies the queue keeps until the
    // chunk is written), so the queue holds about a tile of rows, not a chunk.
    rows_.drop_front(tile_rows_);
    released_ += tile_rows_;
  }
}

void ChunkConverter::convert_rows(std::size_t first, std::size_t end) {
  for (; first < end; first += tile_rows_) {
    const std::size_t count = std::min(tile_rows_, end - first);
    for (std::size_t column = 0; column < types_.size(); ++column) {
      rows_.gather_column(first, count, column, texts_.data());
      builders_[column].append(std::span<const PaddedText>(texts_.data(), count));
    }
  }
}

void ChunkConverter::rebind(std::span<const std::uint8_t> input, std::span<const ValueType> types) {
  if (!between_chunks() || types.size() != types_.size()) {
    throw std::logic_error("a converter rebound in the middle of a chunk or to other columns");
  }
  rows_.rebind(input);
  types_ = types;
}

void ChunkConverter::rebind(RowQueue&& rows, std::span<const ValueType> types) {
  rebind(std::span<const std::uint8_t>(), types);
  rows_ = std::move(rows);
}

WriteStatus ChunkConverter::write_chunk(VrexWriter& writer, std::size_t rows) {
  if (tiled_) {
    finish_chunk(rows);
    VREX_TRY(write_finished_chunk(writer));
    release_chunk(rows);
    return {};
  }
  // One column slice at a time, each written as soon as it is built; its
  // texts are the queue's own, alive until the chunk leaves the queue.
  VREX_TRY(writer.write_table_slice_column_count(types_.size()));
  texts_.resize(std::max(rows, texts_.size()));
  for (std::size_t column = 0; column < types_.size(); ++column) {
    rows_.gather_column(0, rows, column, texts_.data());
    ColumnSliceBuilder builder(types_[column], rows);
    builder.append(std::span<const PaddedText>(texts_.data(), rows));
    VREX_TRY(writer.write_column_slice(builder.finish()));
  }
  rows_.pop_front(rows - std::exchange(released_, 0));
  return {};
}

void ChunkConverter::finish_chunk(std::size_t rows) {
  convert_rest(rows);
  finish_columns();
}

void ChunkConverter::convert_rest(std::size_t rows) {
  if (!tiled_) throw std::logic_error("a chunk finished by a converter that cannot hold it");
  convert_rows(0, rows - released_);
}

void ChunkConverter::append_rows_of(const ChunkConverter& following) {
  if (following.builders_.size() != builders_.size()) {
    throw std::logic_error("a chunk's parts converted for other columns");
  }
  for (std::size_t column = 0; column < builders_.size(); ++column) {
    builders_[column].append_built(following.builders_[column]);
  }
}

void ChunkConverter::finish_columns() {
  for (ColumnSliceBuilder& builder : builders_) builder.finish();
}

WriteStatus ChunkConverter::write_finished_chunk(VrexWriter& writer) const {
  VREX_TRY(writer.write_table_slice_column_count(types_.size()));
  return write_finished_columns(writer, 0, builders_.size());
}

WriteStatus ChunkConverter::write_finished_columns(VrexWriter& writer, std::size_t first,
                                                   std::size_t last) const {
  for (std::size_t column = first; column < last; ++column) {
    VREX_TRY(writer.write_column_slice(builders_[column].finished()));
  }
  return {};
}

std::optional<std::uint64_t> ChunkConverter::finished_column_size(
    std::size_t column) const noexcept {
  return column_slice_size(builders_[column].finished());
}

void ChunkConverter::release_chunk(std::size_t rows) {
  for (ColumnSliceBuilder& builder : builders_) builder.restart(rows);
  rows_.pop_front(rows - std::exchange(released_, 0));
}

}  // namespace vrex::ext
