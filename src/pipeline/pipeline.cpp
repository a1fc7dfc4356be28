#include "pipeline/pipeline.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "csv/csv_reader.h"
#include "pipeline/row_queue.h"
#include "typing/column.h"
#include "typing/infer.h"
#include "vrex/writer.h"

namespace vrex::ext {

namespace {

constexpr std::string_view kHeaderErrorPrefix = "CSV header error: ";
constexpr std::string_view kParseErrorPrefix = "CSV parse error: ";
constexpr std::string_view kWriteErrorPrefix = "VREX write error: ";

using Failure = Unexpected<std::string>;

// Up to this many columns a chunk is converted in tiles of rows; the typed
// values of every column of the chunk are alive together then (for 10,000
// rows of padded texts, about 23 MB at this width).
constexpr std::size_t kMaxTiledColumns = 256;

// About 16K views (256 KiB) per tile: the tile's views and input bytes stay
// in the core's cache while every column of the tile is converted.
std::size_t rows_per_tile(std::size_t column_count) {
  return std::clamp<std::size_t>(16384 / std::max<std::size_t>(column_count, 1), 64, 2048);
}

Failure fail(std::string_view prefix, const std::string& cause) {
  std::string message(prefix);
  message += cause;
  return Failure{std::move(message)};
}

Failure fail_write(const VrexError& error) { return fail(kWriteErrorPrefix, error.display_text()); }

// Reads records into the queue until it holds `target` rows or the input ends.
Status<std::string> fill_queue(CsvReader& reader, RowQueue& queue, std::uint64_t target) {
  while (queue.size() < target) {
    auto more = reader.read_record();
    if (!more) return fail(kParseErrorPrefix, more.error().text());
    if (!*more) break;
    queue.push_back(reader.fields(), reader.fields_are_input_views());
  }
  return {};
}

TableMetadata build_table_metadata(std::vector<std::string> names,
                                   const std::vector<ValueType>& types) {
  TableMetadata table;
  table.metadata.push_back(Metadata{
      "TableColumns", Object(object::Int{static_cast<std::int32_t>(names.size())}), std::nullopt});
  table.columns.reserve(names.size());
  for (std::size_t column = 0; column < names.size(); ++column) {
    table.columns.push_back(ColumnMetadata{std::move(names[column]), {}, types[column]});
  }
  return table;
}

// One write step goes straight into the output; if it fails, its bytes are
// cut off again, so the output only ever holds whole sections (and a failed
// call discards the output anyway).
template <class Step>
Status<std::string> write_step(ByteBuffer& output, Step&& step) {
  std::size_t step_start = output.size();
  VrexWriter writer(output);
  if (auto written = step(writer); !written) {
    output.truncate(step_start);
    return fail_write(written.error());
  }
  return {};
}

}  // namespace

Result<ByteBuffer, std::string> convert_csv(std::span<const std::uint8_t> csv,
                                            std::uint64_t chunk_size, std::uint64_t sample_rows) {
  if (chunk_size == 0) return Failure{"chunk_size must be at least 1"};

  CsvReader reader(csv);
  if (auto header = reader.read_header(); !header) {
    return fail(kHeaderErrorPrefix, header.error().text());
  }
  std::vector<std::string> names(reader.fields().begin(), reader.fields().end());
  const std::size_t column_count = names.size();
  // "TableColumns" is a signed 32-bit value; a wider header cannot be described.
  if (column_count > kMaxCount) return fail_write(VrexError::Kind::TooManyColumns);

  RowQueue pending_rows(csv, column_count);
  VREX_TRY(fill_queue(reader, pending_rows, sample_rows));

  std::vector<std::string_view> column_texts;
  std::vector<ColumnSliceBuilder> builders;  // one per column, kept from chunk to chunk
  std::vector<ValueType> types;
  types.reserve(column_count);
  column_texts.resize(pending_rows.size());
  for (std::size_t column = 0; column < column_count; ++column) {
    pending_rows.gather_column(0, column_texts.size(), column, column_texts.data());
    types.push_back(infer_type(column_texts));
  }

  ByteBuffer output;
  // Address space for about the input's size: untouched pages cost no memory,
  // and a buffer that is not moved or regrown gets huge pages from the start.
  output.reserve(std::max<std::size_t>(csv.size(), 4096));
  {
    TableMetadata table = build_table_metadata(std::move(names), types);
    VREX_TRY(write_step(output, [&](VrexWriter& writer) -> WriteStatus {
      VREX_TRY(writer.write_section_id(SectionType::FileHeader));
      VREX_TRY(writer.write_file_header(1, 0));
      VREX_TRY(writer.write_section_id(SectionType::TableMetadata));
      return writer.write_table_metadata(table);
    }));
  }

  // Up to kMaxTiledColumns columns, a chunk is converted tile by tile across
  // all its columns, each tile as soon as its rows are queued, while their
  // input and views are still in cache; the column slices are written once
  // the chunk is complete. Wider tables convert one column slice at a time,
  // so a chunk of mostly padded rows is never held whole.
  const bool tiled = column_count <= kMaxTiledColumns;
  const std::size_t tile_rows = rows_per_tile(column_count);
  if (tiled) {
    // Sized for what is queued (or a tile) at first; they grow with the
    // first full chunk and keep that size from then on.
    const std::size_t first_rows = static_cast<std::size_t>(
        std::min<std::uint64_t>(chunk_size, std::max(pending_rows.size(), tile_rows)));
    builders.reserve(column_count);
    // Text columns borrow their texts from the queue (views into the input,
    // or the queue's own copies): each chunk is written before its rows leave.
    for (ValueType type : types) builders.emplace_back(type, first_rows, /*borrow_texts=*/true);
  }
  column_texts.resize(std::max(tile_rows, column_texts.size()));
  auto convert_rows = [&](std::size_t first, std::size_t end) {
    for (; first < end; first += tile_rows) {
      const std::size_t count = std::min(tile_rows, end - first);
      for (std::size_t column = 0; column < column_count; ++column) {
        pending_rows.gather_column(first, count, column, column_texts.data());
        builders[column].append({column_texts.data(), count});
      }
    }
  };

  while (true) {
    std::size_t converted = 0;  // rows of this chunk already in the builders
    while (pending_rows.size() < chunk_size) {
      auto more = reader.read_record();
      if (!more) return fail(kParseErrorPrefix, more.error().text());
      if (!*more) break;
      pending_rows.push_back(reader.fields(), reader.fields_are_input_views());
      if (tiled && pending_rows.size() - converted >= tile_rows) {
        convert_rows(converted, converted + tile_rows);
        converted += tile_rows;
      }
    }
    if (pending_rows.empty()) break;
    std::size_t rows = static_cast<std::size_t>(
        pending_rows.size() < chunk_size ? pending_rows.size() : chunk_size);
    VREX_TRY(write_step(output, [&](VrexWriter& writer) -> WriteStatus {
      VREX_TRY(writer.write_section_id(SectionType::TableSlice));
      VREX_TRY(writer.write_table_slice_column_count(column_count));
      if (tiled) {
        convert_rows(converted, rows);
        for (ColumnSliceBuilder& builder : builders) {
          ColumnSlice slice = builder.finish();
          VREX_TRY(writer.write_column_slice(slice));
          builder.recycle(std::move(slice));
          builder.restart(rows);
        }
        return {};
      }
      column_texts.resize(std::max(rows, column_texts.size()));
      for (std::size_t column = 0; column < column_count; ++column) {
        pending_rows.gather_column(0, rows, column, column_texts.data());
        VREX_TRY(writer.write_column_slice(
            build_column_slice({column_texts.data(), rows}, types[column])));
      }
      return {};
    }));
    pending_rows.pop_front(rows);
    if (rows < chunk_size) break;
  }

  VREX_TRY(write_step(
      output, [](VrexWriter& writer) { return writer.write_section_id(SectionType::TableEnd); }));
  return output;
}

}  // namespace vrex::ext
