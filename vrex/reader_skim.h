// A quick walk over the table slices that decodes nothing, so that the
// joined columns can be sized once instead of growing slice by slice.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "vrex/reader_cursor.h"

namespace vrex {

struct ColumnExtent {
  std::uint64_t rows = 0;
  std::uint64_t text_bytes = 0;  // an upper bound for text columns
};

// Totals from the first table slice section at `cursor` to the end marker.
// Returns nothing for a file the walk does not understand; the decoding pass
// then reports what is wrong with it.
std::optional<std::vector<ColumnExtent>> skim_table_slices(ReadCursor cursor,
                                                           std::uint64_t column_count);

}  // namespace vrex
