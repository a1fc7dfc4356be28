// The conversion: CSV bytes in, a complete VREX file (or one message) out.
//
// The steps every way of converting shares, in the order they run: the table
// is planned (header, sample, column types), its start is written, then each
// chunk, then its end. The one-thread conversion below runs them one after
// another; the parallel engine runs the chunks on several threads between
// the same first and last steps.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "csv/csv_reader.h"
#include "pipeline/chunk_converter.h"
#include "pipeline/row_queue.h"
#include "vrex/byte_buffer.h"
#include "vrex/result.h"
#include "vrex/table.h"

namespace vrex::ext {

inline constexpr std::uint64_t kDefaultChunkSize = 10000;
inline constexpr std::uint64_t kDefaultSampleRows = 1000;

// Messages of failures carry a stage prefix and the cause.
std::string header_failure(const CsvError& error);
std::string parse_failure(const CsvError& error);
std::string write_failure(const VrexError& error);

// What the table looks like, known before any chunk: its column names and
// types, and the sampled rows, which open the first chunk.
struct TablePlan {
  TextArray names;
  std::vector<ValueType> types;
  RowQueue sample;
};

// Reads the header and the first `sample_rows` data records of `csv` through
// `reader` (fresh, over `csv`) and infers each column's type.
Result<TablePlan, std::string> plan_table(std::span<const std::uint8_t> csv, CsvReader& reader,
                                          std::uint64_t sample_rows);

// plan_table() in two steps, for callers that infer the types themselves:
// the names and the sample (the types left empty), then the types.
Result<TablePlan, std::string> read_table_sample(std::span<const std::uint8_t> csv,
                                                 CsvReader& reader, std::uint64_t sample_rows);
std::vector<ValueType> infer_column_types(const RowQueue& sample, std::size_t column_count);

// Types are inferred a group of neighbouring columns at a time, and each
// group by itself: groups can be shared among threads. Writes the types of
// group `group` (of `column_count` columns) into `types`.
inline constexpr std::size_t kInferredColumnsAtOnce = 8;

constexpr std::size_t column_groups(std::size_t column_count) noexcept {
  return (column_count + kInferredColumnsAtOnce - 1) / kInferredColumnsAtOnce;
}

void infer_column_group(const RowQueue& sample, std::size_t group, std::size_t column_count,
                        std::span<ValueType> types);

// The file header and the table metadata.
Status<std::string> write_table_start(ByteBuffer& output, const TablePlan& plan);

// One table slice holding the chunk's first `rows` rows.
Status<std::string> write_chunk_section(ByteBuffer& output, ChunkConverter& chunks,
                                        std::size_t rows);

// The same slice from a converter holding the finished chunk, which it keeps.
Status<std::string> write_finished_section(ByteBuffer& output, const ChunkConverter& chunks);

// Where the bytes of that slice lie, counted before they are written: the
// head (section id and column count) first, then each column, so that
// columns can be written apart, each at its place.
struct SectionLayout {
  std::vector<std::uint64_t> column_ends;  // from the section's first byte
  std::uint64_t head = 0;

  std::uint64_t column_begin(std::size_t column) const noexcept {
    return column == 0 ? head : column_ends[column - 1];
  }

  std::uint64_t size() const noexcept { return column_ends.empty() ? head : column_ends.back(); }

  // Where write_finished_columns() from `first` on begins writing.
  std::uint64_t written_from(std::size_t first) const noexcept {
    return first == 0 ? 0 : column_begin(first);
  }
};

// None when the slice cannot be written.
std::optional<SectionLayout> finished_section_layout(const ChunkConverter& chunks);

// Columns [first, last) of that slice, preceded by its head when `first` is
// 0: the slice's bytes from written_from(first) to column_begin(last).
Status<std::string> write_finished_columns(ByteBuffer& output, const ChunkConverter& chunks,
                                           std::size_t first, std::size_t last);

Status<std::string> write_table_end(ByteBuffer& output);

// Writes the complete file into `output` (empty on entry), or returns the
// message of the first failure: a stage prefix ("CSV header error: ", "CSV
// parse error: ", "VREX write error: ") and the cause. After a failure the
// output holds whole sections only, and the caller discards it.
Status<std::string> convert_csv(std::span<const std::uint8_t> csv, std::uint64_t chunk_size,
                                std::uint64_t sample_rows, ByteBuffer& output);

// The same, into a buffer of its own on the heap.
Result<ByteBuffer, std::string> convert_csv(std::span<const std::uint8_t> csv,
                                            std::uint64_t chunk_size, std::uint64_t sample_rows);

}  // namespace vrex::ext
