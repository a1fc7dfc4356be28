#include "parallel/staged_convert.h"

#include <algorithm>

#include "csv/utf8.h"
#include "pipeline/pipeline.h"

namespace vrex::ext {

namespace {

using Failure = Unexpected<ConvertFailure>;

Failure conversion_failure(std::string message) {
  return Failure{ConvertFailure{ConvertFailure::Kind::Conversion, std::move(message), 0}};
}

// Numbers that no longer describe the input: it changed between stages.
constexpr const char* kInputChanged = "the input changed while it was converted";

}  // namespace

Result<TableStart, std::string> convert_table_start(std::span<const std::uint8_t> csv,
                                                    std::uint64_t chunk_size,
                                                    std::uint64_t sample_rows) {
  if (chunk_size == 0) return Unexpected<std::string>{"chunk_size must be at least 1"};
  CsvReader reader(csv);
  auto plan = plan_table(csv, reader, sample_rows);
  if (!plan) return Unexpected{plan.error()};
  TableStart start;
  VREX_TRY(write_table_start(start.bytes, *plan));
  plan->names = TextArray();
  start.types = plan->types;

  // The chunks the sample reaches into are converted here, as convert_csv() does.
  const std::uint64_t sampled = plan->sample.size();
  ChunkConverter chunks(std::move(plan->sample), start.types, chunk_size);
  while (start.first_row < sampled) {
    auto rows = chunks.fill_chunk(reader);
    if (!rows) return Unexpected<std::string>{parse_failure(rows.error())};
    if (*rows == 0) break;
    VREX_TRY(write_chunk_section(start.bytes, chunks, *rows));
    start.first_row += *rows;
    if (*rows < chunk_size) {
      start.complete = true;
      break;
    }
  }
  const std::uint64_t rest = reader.cursor();
  start.rest = CsvPosition{rest, 1 + count_line_feeds(csv.data(), static_cast<std::size_t>(rest)),
                           start.first_row + 1};
  // Nothing but terminators may follow the sampled rows; a record there is
  // found by the parts like any other.
  return start;
}

std::vector<std::uint8_t> types_to_bytes(std::span<const ValueType> types) {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(types.size());
  for (ValueType type : types) bytes.push_back(to_byte(type));
  return bytes;
}

std::optional<std::vector<ValueType>> types_from_bytes(std::span<const std::uint8_t> bytes) {
  std::vector<ValueType> types;
  types.reserve(bytes.size());
  for (std::uint8_t byte : bytes) {
    const bool known = (byte >= to_byte(ValueType::Bool) && byte <= to_byte(ValueType::String)) ||
                       byte == to_byte(ValueType::Binary) || byte == to_byte(ValueType::Decimal);
    if (!known) return std::nullopt;
    types.push_back(static_cast<ValueType>(byte));
  }
  return types;
}

namespace {

// Whether a walk from `state` through a block ends a record in it, from the
// block's summary alone: entering BetweenRecords from inside a record ends
// one, and leaving BetweenRecords again starts one.
bool ends_a_record(const BlockSummary& block, ScanState state) {
  const auto from = static_cast<std::size_t>(state);
  const bool ends_between = block.end_state[from] == ScanState::BetweenRecords;
  if (state != ScanState::BetweenRecords) return ends_between || block.record_starts[from] > 0;
  return block.record_starts[from] >= 2 || (block.record_starts[from] == 1 && ends_between);
}

}  // namespace

StretchSummary summarize_stretch(std::span<const std::uint8_t> bytes, std::size_t sub_block) {
  // Sub-block by sub-block: their summaries compose into the stretch's, and
  // they tell which sub-block holds each start state's first record end, so
  // only that one is walked byte by byte (a walk from a state that ends no
  // record would otherwise cross the whole stretch).
  sub_block = std::max<std::size_t>(sub_block, 1);
  StretchSummary summary;
  BlockSummary& whole = summary.block;
  std::array<bool, kScanStateCount> found{};
  for (std::size_t state = 0; state < kScanStateCount; ++state) {
    whole.end_state[state] = static_cast<ScanState>(state);
  }
  for (std::size_t offset = 0; offset < bytes.size(); offset += sub_block) {
    const auto block = bytes.subspan(offset, std::min(sub_block, bytes.size() - offset));
    const BlockSummary part = summarize_block(block);
    for (std::size_t state = 0; state < kScanStateCount; ++state) {
      const ScanState now = whole.end_state[state];
      if (!found[state] && ends_a_record(part, now)) {
        const ScanStop stop = skip_records(block, now, 1);
        if (stop.found) {
          found[state] = true;
          summary.first_record_end[state] =
              ScanStop{offset + stop.offset, stop.state, whole.line_feeds + stop.line_feeds,
                       whole.record_starts[state] + stop.record_starts, true};
        }
      }
      whole.record_starts[state] += part.record_starts[static_cast<std::size_t>(now)];
      whole.end_state[state] = part.end_state[static_cast<std::size_t>(now)];
    }
    whole.line_feeds += part.line_feeds;
  }
  for (std::size_t state = 0; state < kScanStateCount; ++state) {
    if (!found[state]) {
      summary.first_record_end[state] =
          ScanStop{bytes.size(), whole.end_state[state], whole.line_feeds,
                   whole.record_starts[state], false};
    }
  }
  return summary;
}

std::array<std::uint8_t, kStretchSummaryBytes> encode_stretch_summary(
    const StretchSummary& summary) {
  std::array<std::uint64_t, kStretchSummaryWords> words{};
  std::size_t next = 0;
  words[next++] = summary.block.line_feeds;
  for (std::size_t state = 0; state < kScanStateCount; ++state) {
    const ScanStop& stop = summary.first_record_end[state];
    words[next++] = static_cast<std::uint64_t>(summary.block.end_state[state]);
    words[next++] = summary.block.record_starts[state];
    words[next++] = stop.found ? 1 : 0;
    words[next++] = stop.offset;
    words[next++] = stop.line_feeds;
    words[next++] = stop.record_starts;
  }
  std::array<std::uint8_t, kStretchSummaryBytes> bytes{};
  for (std::size_t word = 0; word < kStretchSummaryWords; ++word) {
    for (std::size_t byte = 0; byte < 8; ++byte) {
      bytes[word * 8 + byte] = static_cast<std::uint8_t>(words[word] >> (8 * byte));
    }
  }
  return bytes;
}

std::optional<StretchSummary> decode_stretch_summary(std::span<const std::uint8_t> bytes) {
  if (bytes.size() != kStretchSummaryBytes) return std::nullopt;
  std::array<std::uint64_t, kStretchSummaryWords> words{};
  for (std::size_t word = 0; word < kStretchSummaryWords; ++word) {
    for (std::size_t byte = 0; byte < 8; ++byte) {
      words[word] |= std::uint64_t{bytes[word * 8 + byte]} << (8 * byte);
    }
  }
  StretchSummary summary;
  std::size_t next = 0;
  summary.block.line_feeds = words[next++];
  for (std::size_t state = 0; state < kScanStateCount; ++state) {
    const std::uint64_t end_state = words[next++];
    summary.block.record_starts[state] = words[next++];
    const std::uint64_t found = words[next++];
    if (end_state >= kScanStateCount || found > 1) return std::nullopt;
    summary.block.end_state[state] = static_cast<ScanState>(end_state);
    ScanStop& stop = summary.first_record_end[state];
    stop.found = found == 1;
    stop.offset = static_cast<std::size_t>(words[next++]);
    stop.line_feeds = words[next++];
    stop.record_starts = words[next++];
  }
  return summary;
}

Result<JoinedParts, std::string> join_stretches(const TableStart& start, std::uint64_t input_size,
                                                std::uint64_t stretch_size,
                                                std::uint64_t chunk_size,
                                                std::span<const StretchSummary> summaries) {
  return join_stretches(start.rest, start.first_row, input_size, stretch_size, chunk_size,
                        summaries);
}

Result<JoinedParts, std::string> join_stretches(CsvPosition rest, std::uint64_t first_row,
                                                std::uint64_t input_size,
                                                std::uint64_t stretch_size,
                                                std::uint64_t chunk_size,
                                                std::span<const StretchSummary> summaries) {
  using Refused = Unexpected<std::string>;
  if (stretch_size == 0 || chunk_size == 0 || rest.byte > input_size) {
    return Refused{"the stretches do not fit the input"};
  }
  const std::uint64_t length = input_size - rest.byte;
  if (summaries.size() != length / stretch_size + (length % stretch_size != 0 ? 1 : 0)) {
    return Refused{"the stretch summaries do not cover the input"};
  }

  // The one serial pass, as plan_parts() makes it: a part begins at the
  // start and just past the first terminator that ends a record in each
  // stretch, which the stretch's summary holds for every state it may begin in.
  std::vector<Part> parts;
  parts.push_back(Part{rest.byte, input_size, first_row + 1, rest.line, first_row});
  ScanState state = ScanState::BetweenRecords;
  std::uint64_t rows = first_row;
  std::uint64_t line = rest.line;
  for (std::size_t index = 0; index < summaries.size(); ++index) {
    const std::uint64_t begin = rest.byte + index * stretch_size;
    const std::uint64_t size = std::min(stretch_size, input_size - begin);
    const StretchSummary& summary = summaries[index];
    const auto from = static_cast<std::size_t>(state);
    const ScanStop& stop = summary.first_record_end[from];
    if (stop.found) {
      if (stop.offset == 0 || stop.offset > size) return Refused{"a stretch summary does not fit"};
      const std::uint64_t part_rows = rows + stop.record_starts;
      parts.back().end = begin + stop.offset;
      parts.push_back(
          Part{begin + stop.offset, input_size, part_rows + 1, line + stop.line_feeds, part_rows});
    }
    rows += summary.block.record_starts[from];
    line += summary.block.line_feeds;
    state = summary.block.end_state[from];
  }

  // Chunk k begins at row first_row + k * chunk_size: a part gets the chunks
  // whose first row lies in it.
  JoinedParts joined;
  joined.end_row = rows;
  auto first_chunk_at_or_after = [&](std::uint64_t row) {
    return (row - first_row + chunk_size - 1) / chunk_size;
  };
  for (std::size_t index = 0; index < parts.size(); ++index) {
    const std::uint64_t part_rows_end =
        index + 1 < parts.size() ? parts[index + 1].first_row : joined.end_row;
    if (parts[index].first_row > part_rows_end || part_rows_end > joined.end_row) {
      return Refused{"a stretch summary does not fit"};
    }
    const std::uint64_t first_chunk = first_chunk_at_or_after(parts[index].first_row);
    const std::uint64_t end_chunk = first_chunk_at_or_after(part_rows_end);
    if (end_chunk <= first_chunk) continue;
    joined.jobs.push_back(PartJob{parts[index], first_row + first_chunk * chunk_size,
                                  end_chunk - first_chunk, joined.end_row});
  }
  return joined;
}

Status<ConvertFailure> convert_part(std::span<const std::uint8_t> csv,
                                    std::span<const ValueType> types, std::uint64_t chunk_size,
                                    const PartJob& job, OutputSink& sink) {
  const Part& part = job.part;
  if (chunk_size == 0) return conversion_failure("chunk_size must be at least 1");
  if (job.chunk_count == 0) return {};
  // Numbers from elsewhere: checked before any byte is read by them.
  if (part.begin > part.end || part.end > csv.size() || job.first_chunk_row < part.first_row ||
      job.first_chunk_row >= job.end_row ||
      job.chunk_count - 1 > (job.end_row - job.first_chunk_row - 1) / chunk_size) {
    return conversion_failure(kInputChanged);
  }
  const auto part_bytes = csv.subspan(static_cast<std::size_t>(part.begin),
                                      static_cast<std::size_t>(part.end - part.begin));
  const ScanStop stop =
      skip_records(part_bytes, ScanState::BetweenRecords, job.first_chunk_row - part.first_row);
  if (!stop.found) return conversion_failure(kInputChanged);

  // The chunks follow one another: one reader goes through them all, on past
  // the part's end when the last chunk does.
  const std::uint64_t first_byte = part.begin + stop.offset;
  CsvReader reader = CsvReader::for_part(
      csv.subspan(static_cast<std::size_t>(first_byte)),
      CsvPosition{first_byte, part.first_line + stop.line_feeds, job.first_chunk_row + 1});
  ChunkConverter converter(RowQueue(csv, types.size()), types, chunk_size);
  ByteBuffer section;
  std::uint64_t row = job.first_chunk_row;
  for (std::uint64_t chunk = 0; chunk < job.chunk_count; ++chunk) {
    const std::uint64_t expected = std::min(chunk_size, job.end_row - row);
    auto rows = converter.fill_chunk(reader);
    if (!rows) return conversion_failure(parse_failure(rows.error()));
    if (*rows != expected) return conversion_failure(kInputChanged);
    section.truncate(0);
    if (auto written = write_chunk_section(section, converter, *rows); !written) {
      return conversion_failure(written.error());
    }
    VREX_TRY(sink.write(section.bytes()));
    row += expected;
  }
  return {};
}

Result<ByteBuffer, std::string> table_end_bytes() {
  ByteBuffer end;
  VREX_TRY(write_table_end(end));
  return end;
}

}  // namespace vrex::ext
