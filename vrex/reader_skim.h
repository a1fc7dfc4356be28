// A quick walk over the table slices that decodes nothing, so that the
// joined columns can be sized once instead of growing slice by slice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "vrex/reader_cursor.h"

namespace vrex {

struct ColumnExtent {
  std::uint64_t rows = 0;
  std::uint64_t text_bytes = 0;  // an upper bound for text columns
};

// Where every column slice lies, so that columns can be decoded apart.
struct SliceLayout {
  std::size_t column_count = 0;
  // Column slice c of table slice s spans [starts[s * column_count + c],
  // the next start), the last of a slice up to slice_ends[s].
  std::vector<const std::uint8_t*> starts;
  std::vector<const std::uint8_t*> slice_ends;
  // The byte after the end marker.
  const std::uint8_t* table_end = nullptr;
  // No column slice holds a value property other than one set of invalid
  // flags, so no column needs another one's rows to fill in placeholders.
  bool flags_only = true;
  // The walk stops recording past this many column slices and leaves the
  // layout incomplete, so that a file of tiny slices cannot make it large.
  std::size_t most_column_slices = 0;
  bool complete = false;

  std::size_t slice_count() const noexcept { return slice_ends.size(); }

  std::span<const std::uint8_t> column_slice(std::size_t slice, std::size_t column) const noexcept {
    const std::size_t at = slice * column_count + column;
    const std::uint8_t* end = column + 1 < column_count ? starts[at + 1] : slice_ends[slice];
    return {starts[at], end};
  }
};

// Totals from the first table slice section at `cursor` to the end marker,
// and the layout of the slices when `layout` is given. Returns nothing for a
// file the walk does not understand; the decoding pass then reports what is
// wrong with it.
std::optional<std::vector<ColumnExtent>> skim_table_slices(ReadCursor cursor,
                                                           std::uint64_t column_count,
                                                           SliceLayout* layout = nullptr);

// Calls `read_column(column)` for every column on up to `threads` threads,
// each taking the next column not yet taken, the largest (by `extents`) first
// so that no thread is left with a big one at the end. False when any call
// returns false (the rest are then skipped); a fault thrown on a helper
// thread is thrown again here.
bool read_columns_largest_first(const std::vector<ColumnExtent>& extents, unsigned threads,
                                const std::function<bool(std::size_t column)>& read_column);

}  // namespace vrex
