#include "pipeline/pipeline.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <vector>

#include "typing/infer.h"
#include "vrex/writer.h"

namespace vrex::ext {

namespace {

constexpr std::string_view kHeaderErrorPrefix = "CSV header error: ";
constexpr std::string_view kParseErrorPrefix = "CSV parse error: ";
constexpr std::string_view kWriteErrorPrefix = "VREX write error: ";

using Failure = Unexpected<std::string>;

std::string prefixed(std::string_view prefix, const std::string& cause) {
  std::string message(prefix);
  message += cause;
  return message;
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
    return Failure{write_failure(written.error())};
  }
  return {};
}

}  // namespace

std::string header_failure(const CsvError& error) {
  return prefixed(kHeaderErrorPrefix, error.text());
}

std::string parse_failure(const CsvError& error) {
  return prefixed(kParseErrorPrefix, error.text());
}

std::string write_failure(const VrexError& error) {
  return prefixed(kWriteErrorPrefix, error.display_text());
}

// Columns are read a few at a time across a tile of rows: neighbouring
// columns share the cache lines of each row's field views, which are then read
// once for them all. Tiles are gathered on the stack, so that a sample of
// millions of rows needs no list of all its texts.
void infer_column_group(const RowQueue& sample, std::size_t group, std::size_t column_count,
                        std::span<ValueType> types) {
  constexpr std::size_t kTileRows = 256;
  std::array<PaddedText, kTileRows> texts;
  const std::size_t first = group * kInferredColumnsAtOnce;
  const std::size_t columns = std::min(kInferredColumnsAtOnce, column_count - first);
  std::array<TypeInference, kInferredColumnsAtOnce> inferences;
  for (std::size_t row = 0; row < sample.size(); row += kTileRows) {
    const std::size_t count = std::min(kTileRows, sample.size() - row);
    for (std::size_t offset = 0; offset < columns; ++offset) {
      sample.gather_column(row, count, first + offset, texts.data());
      inferences[offset].add(std::span<const PaddedText>(texts.data(), count));
    }
  }
  for (std::size_t offset = 0; offset < columns; ++offset) {
    types[first + offset] = inferences[offset].type();
  }
}

std::vector<ValueType> infer_column_types(const RowQueue& sample, std::size_t column_count) {
  std::vector<ValueType> types(column_count);
  for (std::size_t group = 0; group < column_groups(column_count); ++group) {
    infer_column_group(sample, group, column_count, types);
  }
  return types;
}

Result<TablePlan, std::string> read_table_sample(std::span<const std::uint8_t> csv,
                                                 CsvReader& reader, std::uint64_t sample_rows) {
  if (auto header = reader.read_header(); !header) {
    return Failure{header_failure(header.error())};
  }
  TextArray names = copy_column_names(reader.fields());
  const std::size_t column_count = names.size();
  // "TableColumns" is a signed 32-bit value; a wider header cannot be described.
  if (column_count > kMaxCount) return Failure{write_failure(VrexError::Kind::TooManyColumns)};
  // The header's views are copied; data records go straight into the queue,
  // which keeps the fields that make columns (the rest cost nothing).
  reader.release_fields();

  RowQueue sample(csv, column_count);
  if (auto sampled = sample.read_until(reader, static_cast<std::size_t>(sample_rows)); !sampled) {
    return Failure{parse_failure(sampled.error())};
  }
  return TablePlan{std::move(names), {}, std::move(sample)};
}

Result<TablePlan, std::string> plan_table(std::span<const std::uint8_t> csv, CsvReader& reader,
                                          std::uint64_t sample_rows) {
  auto plan = read_table_sample(csv, reader, sample_rows);
  if (plan) plan->types = infer_column_types(plan->sample, plan->names.size());
  return plan;
}

Status<std::string> write_table_start(ByteBuffer& output, const TablePlan& plan) {
  const Metadata table_columns{"TableColumns",
                               Object(object::Int{static_cast<std::int32_t>(plan.names.size())}),
                               std::nullopt};
  return write_step(output, [&](VrexWriter& writer) -> WriteStatus {
    VREX_TRY(writer.write_section_id(SectionType::FileHeader));
    VREX_TRY(writer.write_file_header(1, 0));
    VREX_TRY(writer.write_section_id(SectionType::TableMetadata));
    return writer.write_table_metadata({&table_columns, 1}, plan.names, plan.types);
  });
}

Status<std::string> write_chunk_section(ByteBuffer& output, ChunkConverter& chunks,
                                        std::size_t rows) {
  return write_step(output, [&](VrexWriter& writer) -> WriteStatus {
    VREX_TRY(writer.write_section_id(SectionType::TableSlice));
    return chunks.write_chunk(writer, rows);
  });
}

Status<std::string> write_finished_section(ByteBuffer& output, const ChunkConverter& chunks) {
  return write_finished_columns(output, chunks, 0, chunks.column_count());
}

std::optional<SectionLayout> finished_section_layout(const ChunkConverter& chunks) {
  const std::optional<std::uint64_t> head = table_slice_head_size(chunks.column_count());
  if (!head) return std::nullopt;
  SectionLayout layout;
  layout.head = *head;
  layout.column_ends.reserve(chunks.column_count());
  std::uint64_t end = layout.head;
  for (std::size_t column = 0; column < chunks.column_count(); ++column) {
    const std::optional<std::uint64_t> size = chunks.finished_column_size(column);
    if (!size) return std::nullopt;
    end += *size;
    layout.column_ends.push_back(end);
  }
  return layout;
}

Status<std::string> write_finished_columns(ByteBuffer& output, const ChunkConverter& chunks,
                                           std::size_t first, std::size_t last) {
  return write_step(output, [&](VrexWriter& writer) -> WriteStatus {
    if (first == 0) {
      VREX_TRY(writer.write_section_id(SectionType::TableSlice));
      VREX_TRY(writer.write_table_slice_column_count(chunks.column_count()));
    }
    return chunks.write_finished_columns(writer, first, last);
  });
}

Status<std::string> write_table_end(ByteBuffer& output) {
  return write_step(
      output, [](VrexWriter& writer) { return writer.write_section_id(SectionType::TableEnd); });
}

Status<std::string> convert_csv(std::span<const std::uint8_t> csv, std::uint64_t chunk_size,
                                std::uint64_t sample_rows, ByteBuffer& output) {
  if (chunk_size == 0) return Failure{"chunk_size must be at least 1"};

  CsvReader reader(csv);
  auto plan = plan_table(csv, reader, sample_rows);
  if (!plan) return Failure{plan.error()};

  // Address space for twice the input's size (up to 256 MiB, so an input that
  // yields little output does not hold a large reservation; beyond, it grows by
  // remapping): untouched pages cost no memory, and an output larger than its
  // input (small numbers widen to four bytes) does not move, which would cost
  // its huge pages.
  output.reserve(std::clamp<std::size_t>(2 * csv.size(), 4096, std::size_t{256} << 20));
  VREX_TRY(write_table_start(output, *plan));
  plan->names = TextArray();

  ChunkConverter chunks(std::move(plan->sample), plan->types, chunk_size);
  while (true) {
    auto rows = chunks.fill_chunk(reader);
    if (!rows) return Failure{parse_failure(rows.error())};
    if (*rows == 0) break;
    VREX_TRY(write_chunk_section(output, chunks, *rows));
    if (*rows < chunk_size) break;
  }
  return write_table_end(output);
}

Result<ByteBuffer, std::string> convert_csv(std::span<const std::uint8_t> csv,
                                            std::uint64_t chunk_size, std::uint64_t sample_rows) {
  ByteBuffer output;
  VREX_TRY(convert_csv(csv, chunk_size, sample_rows, output));
  return output;
}

}  // namespace vrex::ext
