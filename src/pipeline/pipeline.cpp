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

Failure fail_parse(const CsvError& error) { return fail(kParseErrorPrefix, error.text()); }

// Each column's type from its sampled texts, gathered a tile at a time so
// that a sample of millions of rows needs no list of all its texts.
std::vector<ValueType> infer_column_types(const RowQueue& sample, std::size_t column_count) {
  constexpr std::size_t kTileRows = 4096;
  std::vector<PaddedText> texts(std::min(sample.size(), kTileRows));
  std::vector<ValueType> types;
  types.reserve(column_count);
  for (std::size_t column = 0; column < column_count; ++column) {
    TypeInference inference;
    for (std::size_t first = 0; first < sample.size(); first += kTileRows) {
      const std::size_t count = std::min(kTileRows, sample.size() - first);
      sample.gather_column(first, count, column, texts.data());
      inference.add(std::span<const PaddedText>(texts.data(), count));
    }
    types.push_back(inference.type());
  }
  return types;
}

// Copies the header's fields, verbatim, into the column names.
TextArray copy_column_names(std::span<const std::string_view> fields) {
  std::size_t bytes = 0;
  for (std::string_view field : fields) bytes += field.size();
  TextArray names;
  names.reserve(fields.size(), bytes);
  for (std::string_view field : fields) names.push_back(field);
  return names;
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
  TextArray names = copy_column_names(reader.fields());
  const std::size_t column_count = names.size();
  // "TableColumns" is a signed 32-bit value; a wider header cannot be described.
  if (column_count > kMaxCount) return fail_write(VrexError::Kind::TooManyColumns);
  // The header's views are copied; data records go straight into the queue,
  // which keeps the fields that make columns (the rest cost nothing).
  reader.release_fields();

  RowQueue pending_rows(csv, column_count);
  if (auto sampled = pending_rows.read_until(reader, static_cast<std::size_t>(sample_rows));
      !sampled) {
    return fail_parse(sampled.error());
  }

  const std::vector<ValueType> types = infer_column_types(pending_rows, column_count);

  // Address space for about the input's size (up to 256 MiB, so an input that
  // yields little output does not hold a large reservation; beyond, it grows by
  // remapping): untouched pages cost no memory.
  output.reserve(std::clamp<std::size_t>(csv.size(), 4096, std::size_t{256} << 20));
  {
    const Metadata table_columns{
        "TableColumns", Object(object::Int{static_cast<std::int32_t>(column_count)}), std::nullopt};
    VREX_TRY(write_step(output, [&](VrexWriter& writer) -> WriteStatus {
      VREX_TRY(writer.write_section_id(SectionType::FileHeader));
      VREX_TRY(writer.write_file_header(1, 0));
      VREX_TRY(writer.write_section_id(SectionType::TableMetadata));
      return writer.write_table_metadata({&table_columns, 1}, names, types);
    }));
  }
  names = TextArray();

  ChunkConverter chunks(std::move(pending_rows), types, chunk_size);
  while (true) {
    auto rows = chunks.fill_chunk(reader);
    if (!rows) return fail_parse(rows.error());
    if (*rows == 0) break;
    VREX_TRY(write_step(output, [&](VrexWriter& writer) -> WriteStatus {
      VREX_TRY(writer.write_section_id(SectionType::TableSlice));
      return chunks.write_chunk(writer, *rows);
    }));
    if (*rows < chunk_size) break;
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
