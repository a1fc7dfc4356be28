// Any bytes: the reader returns a file or an error, never reads out of
// bounds, and a file it returns is consistent: every column, flag set and
// value property has one entry per row.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <numeric>
#include <span>

#include "vrex/reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto file = vrex::read_vrex(std::span<const std::uint8_t>(data, size));
  if (!file) {
    (void)file.error().display_text();
    return 0;
  }
  const std::uint64_t rows =
      std::accumulate(file->slice_rows.begin(), file->slice_rows.end(), std::uint64_t{0});
  if (rows != file->num_rows || file->data.size() != file->columns.size()) std::abort();
  for (const vrex::ColumnData& column : file->data) {
    if (vrex::value_count(column.values) != rows || column.is_invalid.size() != rows) std::abort();
    for (const vrex::JoinedProperty& property : column.properties) {
      if (vrex::value_count(property.values) != rows || property.present.size() != rows) {
        std::abort();
      }
    }
  }
  return 0;
}
