// Turns one chunk of a column's texts into a typed column slice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "vrex/enums.h"
#include "vrex/padded_text.h"
#include "vrex/table.h"

namespace vrex::ext {

using vrex::PaddedText;

// One value per text, in order; texts that do not read under `type` become
// placeholders flagged in "IsInvalid". Never fails.
ColumnSlice build_column_slice(std::span<const std::string_view> texts, ValueType type);

// Whether a column of this type keeps its texts (String, and every type
// without a reading of its own) rather than values read from them.
bool keeps_texts(ValueType type) noexcept;

// Builds the same slice from its texts handed over a piece at a time, so a
// chunk can be converted in tiles of rows across all its columns while the
// tile's input is still in cache. The value array and the flags are sized
// once, for the whole chunk.
class ColumnSliceBuilder {
 public:
  ColumnSliceBuilder(ValueType type, std::size_t row_count);

  // Converts the next texts of the column, in row order; more rows than the
  // builder was sized for make it grow.
  void append(std::span<const std::string_view> texts);

  // The same for padded texts that outlive the writing of the slice: numbers
  // are read a block at a time, and a text column borrows the texts instead
  // of copying them.
  void append(std::span<const PaddedText> texts);

  // Appends the values `other` (a builder of the same type, not finished)
  // read from the rows that follow: a chunk's rows converted in two parts.
  // Borrowed texts stay borrowed, from wherever `other` borrowed them.
  void append_built(const ColumnSliceBuilder& other);

  // The slice of every text appended; call once, after the last append. The
  // builder keeps it until restart(); an expiring builder hands it over.
  const ColumnSlice& finish() &;
  ColumnSlice finish() &&;

  // The slice finish() returned, held until restart().
  const ColumnSlice& finished() const noexcept { return finished_; }

  // Makes room for `rows` rows of fixed-width values without touching it:
  // a builder that knows its chunk's size grows within that room instead of
  // moving its values at each doubling.
  void reserve(std::size_t rows);

  // Starts over for `row_count` rows with the storage of the slice it
  // finished: chunk after chunk reuses the same memory instead of asking the
  // allocator (and the kernel) for fresh pages.
  void restart(std::size_t row_count);

 private:
  template <class Text>
  void append_texts(std::span<const Text> texts);

  // Room for `count` more rows.
  void grow_for(std::size_t count);

  enum class Reading : std::uint8_t { Bool, Int, Long, Float, Double, Text };

  Reading reading_;
  bool read_blocks_ = false;
  Object values_;
  std::vector<std::uint8_t> flags_;
  std::size_t filled_ = 0;
  std::uint8_t any_invalid_ = 0;
  ColumnSlice finished_;  // holds values_ and the flags' bits between finish() and restart()
  bool holds_finished_ = false;
};

}  // namespace vrex::ext
