#include "pipeline/pipeline.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "csv/csv_reader.h"
#include "pipeline/chunk_converter.h"
#include "pipeline/row_queue.h"
#include "typing/infer.h"
#include "vrex/writer.h"

namespace vrex::ext {

namespace {

constexpr std::string_view kHeaderErrorPrefix = "CSV header error: ";
constexpr std::string_view kParseErrorPrefix = "CSV parse error: ";
constexpr std::string_view kWriteErrorPrefix = "VREX write error: ";

using Failure = Unexpected<std::string>;

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

Status<std::string> convert_csv(std::span<const std::uint8_t> csv, std::uint64_t chunk_size,
                                std::uint64_t sample_rows, ByteBuffer& output) {
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

  std::vector<ValueType> types;
  {
    std::vector<std::string_view> sampled_texts(pending_rows.size());
    types.reserve(column_count);
    for (std::size_t column = 0; column < column_count; ++column) {
      pending_rows.gather_column(0, sampled_texts.size(), column, sampled_texts.data());
      types.push_back(infer_type(sampled_texts));
    }
  }

  // Address space for about the input's size (up to 1 GiB; beyond, it grows by
  // remapping): untouched pages cost no memory.
  output.reserve(std::clamp<std::size_t>(csv.size(), 4096, std::size_t{1} << 30));
  {
    TableMetadata table = build_table_metadata(std::move(names), types);
    VREX_TRY(write_step(output, [&](VrexWriter& writer) -> WriteStatus {
      VREX_TRY(writer.write_section_id(SectionType::FileHeader));
      VREX_TRY(writer.write_file_header(1, 0));
      VREX_TRY(writer.write_section_id(SectionType::TableMetadata));
      return writer.write_table_metadata(table);
    }));
  }

  ChunkConverter chunks(pending_rows, types, chunk_size);
  while (true) {
    while (chunks.chunk_rows() < chunk_size) {
      auto more = reader.read_record();
      if (!more) return fail(kParseErrorPrefix, more.error().text());
      if (!*more) break;
      pending_rows.push_back(reader.fields(), reader.fields_are_input_views());
      chunks.row_queued();
    }
    if (chunks.chunk_rows() == 0) break;
    const auto rows =
        static_cast<std::size_t>(std::min<std::uint64_t>(chunks.chunk_rows(), chunk_size));
    VREX_TRY(write_step(output, [&](VrexWriter& writer) -> WriteStatus {
      VREX_TRY(writer.write_section_id(SectionType::TableSlice));
      return chunks.write_chunk(writer, rows);
    }));
    if (rows < chunk_size) break;
  }

  return write_step(
      output, [](VrexWriter& writer) { return writer.write_section_id(SectionType::TableEnd); });
}

Result<ByteBuffer, std::string> convert_csv(std::span<const std::uint8_t> csv,
                                            std::uint64_t chunk_size, std::uint64_t sample_rows) {
  ByteBuffer output;
  VREX_TRY(convert_csv(csv, chunk_size, sample_rows, output));
  return output;
}

}  // namespace vrex::ext
