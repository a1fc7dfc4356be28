// Turns the rows of one chunk into its column slices and writes them.
//
// Up to kMaxTiledColumns columns, a chunk is converted tile by tile across all
// its columns, each tile as soon as its rows are queued, while their input
// and views are still in cache; the column slices are written once the chunk
// is complete. When no column keeps texts, a converted tile's rows leave the
// queue at once: the queue then never holds more than a tile beyond the
// sample. Wider tables convert one column slice at a time, so a chunk of
// mostly padded rows is never held whole; either way text columns borrow the
// queue's texts and numbers are read a block at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "pipeline/row_queue.h"
#include "typing/column.h"
#include "vrex/writer.h"

namespace vrex::ext {

// Where a converter stops reading a chunk's rows: asked before each step,
// given the rows read so far and where the reader stands (a record
// boundary, counted from the start of the bytes it was given), for the rows
// to read in all.
class RowLimit {
 public:
  virtual ~RowLimit() = default;
  virtual std::size_t rows_to_read(std::size_t rows_read, std::uint64_t cursor) = 0;
};

// A part of a chunk of known length.
class FixedRows final : public RowLimit {
 public:
  explicit FixedRows(std::size_t rows) : rows_(rows) {}

  std::size_t rows_to_read(std::size_t /*rows_read*/, std::uint64_t /*cursor*/) override {
    return rows_;
  }

 private:
  std::size_t rows_;
};

class ChunkConverter {
 public:
  // Up to this many columns a chunk is converted in tiles of rows; the typed
  // values of every column of the chunk are alive together then (for 10,000
  // rows of padded texts, about 23 MB at this width).
  static constexpr std::size_t kMaxTiledColumns = 256;

  // Takes over the queue of pending rows (the sample, at first). Tiles hold
  // `tile_rows` rows, or as many as suit the table's width when 0.
  ChunkConverter(RowQueue&& rows, std::span<const ValueType> types, std::uint64_t chunk_size,
                 std::size_t tile_rows = 0);

  // Reads rows from `reader` until the current chunk is complete or the
  // input ends, converting each tile as soon as it is queued. Returns the
  // chunk's row count: chunk_size, or fewer (none included) at the end.
  // With a limit, stops once it has read as many rows as that asks (for a
  // converter that holds whole chunks, the part of a chunk it converts).
  Result<std::size_t, CsvError> fill_chunk(CsvReader& reader, RowLimit* limit = nullptr);

  // Rows read at most past those a limit was last asked about: a tile, as
  // without a limit (reading fewer at a time made calls on numbers 8% slower).
  std::size_t rows_per_ask() const noexcept { return tile_rows_; }

  // Converts what is left of the chunk's first `rows` rows, writes the column
  // count and every column slice, and takes the chunk's rows off the queue.
  WriteStatus write_chunk(VrexWriter& writer, std::size_t rows);

  // Whether a chunk can be finished before it is written, and then written
  // more than once (to a place that turned out too small, then elsewhere):
  // true unless the columns are too many to hold a chunk's slices at once.
  bool holds_whole_chunks() const noexcept { return tiled_; }

  // The same write in three steps, for a converter that holds whole chunks:
  // converts what is left of the first `rows` rows and finishes every column
  // slice; writes the column count and the slices, as often as asked; takes
  // the chunk's rows off the queue and starts the next chunk.
  void finish_chunk(std::size_t rows);

  // finish_chunk() in three steps, for a chunk converted in two parts, each
  // filled by a converter of its own: converts what is left of this part's
  // `rows` rows; appends the other part's values (converted the same way,
  // its rows following these, and kept until this chunk is written);
  // finishes every column slice.
  void convert_rest(std::size_t rows);
  void append_rows_of(const ChunkConverter& following);
  void finish_columns();
  WriteStatus write_finished_chunk(VrexWriter& writer) const;
  // What write_finished_chunk() writes after the column count, a range of
  // columns at a time, and what each column takes (none when its write
  // fails).
  WriteStatus write_finished_columns(VrexWriter& writer, std::size_t first, std::size_t last) const;
  std::optional<std::uint64_t> finished_column_size(std::size_t column) const noexcept;

  std::size_t column_count() const noexcept { return types_.size(); }

  void release_chunk(std::size_t rows);

  // No row queued or converted since the last chunk was written.
  bool between_chunks() const noexcept { return rows_.empty() && released_ == 0; }

  // Reads from `input` from now on, with the same column types now found in
  // `types`: a converter between chunks goes on to another input, and keeps
  // the memory its chunks grew into. Throws if a chunk is under way.
  void rebind(std::span<const std::uint8_t> input, std::span<const ValueType> types);

  // The same, taking over `rows` (a sample, say) as its queue.
  void rebind(RowQueue&& rows, std::span<const ValueType> types);

 private:
  // Rows of the current chunk so far: converted and released ones, and the
  // ones queued.
  std::size_t chunk_rows() const noexcept { return released_ + rows_.size(); }

  // Converts the queued rows not converted yet while they make a whole tile.
  void convert_whole_tiles(std::size_t end);
  void convert_rows(std::size_t first, std::size_t end);

  RowQueue rows_;
  std::span<const ValueType> types_;
  std::uint64_t chunk_size_;
  bool tiled_;
  std::size_t tile_rows_;
  std::size_t released_ = 0;  // rows of the current chunk converted and dropped from the queue
  std::vector<ColumnSliceBuilder> builders_;  // one per column, kept from chunk to chunk
  std::vector<PaddedText> texts_;             // one column's texts of a tile or chunk
};

}  // namespace vrex::ext
