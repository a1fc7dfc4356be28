// The conversion in stages that can run in different processes or on
// different machines sharing the input file, each stage described by plain
// numbers: the same bytes, and the same first error, as convert_csv().
//
//   1. One caller converts the table's start: the file header, the metadata
//      and the chunks the sample reaches into. It learns the column types and
//      where the rest of the input begins.
//   2. Anyone summarises stretches of the rest: fixed byte ranges, summarised
//      independently into a few dozen numbers each.
//   3. One caller joins the summaries, in order, into parts that begin at
//      record boundaries, and gives each part the chunks whose first row lies
//      in it. The join reads no input byte.
//   4. Anyone converts a part's chunks into their slices, reading on past the
//      part's end when its last chunk does.
//   5. One caller writes the start, the parts' slices in part order, and the
//      end. The first part that fails, in order, gives the error.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "parallel/parallel_convert.h"
#include "parallel/parts.h"
#include "parallel/record_scan.h"
#include "vrex/byte_buffer.h"
#include "vrex/enums.h"
#include "vrex/result.h"

namespace vrex::ext {

struct TableStart {
  ByteBuffer bytes;  // file header, metadata and the slices of the sampled chunks
  std::vector<ValueType> types;
  CsvPosition rest;             // a record boundary: where the rest of the input begins
  std::uint64_t first_row = 0;  // data rows before `rest`
  bool complete = false;        // every row is converted: only the end is left
};

// Stage 1: as convert_csv() begins, or its first failure's message.
Result<TableStart, std::string> convert_table_start(std::span<const std::uint8_t> csv,
                                                    std::uint64_t chunk_size,
                                                    std::uint64_t sample_rows);

// The column types as bytes, one a column, and back; nullopt when a byte
// names no type.
std::vector<std::uint8_t> types_to_bytes(std::span<const ValueType> types);
std::optional<std::vector<ValueType>> types_from_bytes(std::span<const std::uint8_t> bytes);

// Stage 2: a stretch's summary. Besides the block summary, the join needs,
// for each state the stretch may begin in, where the first record that ends
// inside the stretch ends.
struct StretchSummary {
  BlockSummary block;
  std::array<ScanStop, kScanStateCount> first_record_end;  // by start state
};

// Summarised `sub_block` bytes at a time (tests make it small).
inline constexpr std::size_t kSummarySubBlock = std::size_t{64} << 10;

StretchSummary summarize_stretch(std::span<const std::uint8_t> bytes,
                                 std::size_t sub_block = kSummarySubBlock);

// A summary as fixed-size little-endian bytes, for sending between machines.
inline constexpr std::size_t kStretchSummaryWords = 1 + kScanStateCount * 6;
inline constexpr std::size_t kStretchSummaryBytes = kStretchSummaryWords * 8;

std::array<std::uint8_t, kStretchSummaryBytes> encode_stretch_summary(
    const StretchSummary& summary);
// Nullopt for bytes that no summary encodes to (wrong size, unknown state).
std::optional<StretchSummary> decode_stretch_summary(std::span<const std::uint8_t> bytes);

// A part and the chunks that begin in it: chunk rows are counted from the
// first row past the table's start, `chunk_size` at a time.
struct PartJob {
  Part part;
  std::uint64_t first_chunk_row = 0;  // data row the first chunk begins at
  std::uint64_t chunk_count = 0;
  std::uint64_t end_row = 0;  // data rows in the whole input
};

struct JoinedParts {
  std::vector<PartJob> jobs;  // in input order; parts where no chunk begins are left out
  std::uint64_t end_row = 0;
};

// Stage 3: stretch k covers `stretch_size` bytes from rest.byte + k *
// stretch_size, the last one up to `input_size`. Fails when the summaries do
// not fit those stretches (too few or too many, an offset past its stretch).
Result<JoinedParts, std::string> join_stretches(const TableStart& start, std::uint64_t input_size,
                                                std::uint64_t stretch_size,
                                                std::uint64_t chunk_size,
                                                std::span<const StretchSummary> summaries);

// The same join from the plain numbers a caller keeps of a start.
Result<JoinedParts, std::string> join_stretches(CsvPosition rest, std::uint64_t first_row,
                                                std::uint64_t input_size,
                                                std::uint64_t stretch_size,
                                                std::uint64_t chunk_size,
                                                std::span<const StretchSummary> summaries);

// Stage 4: writes the slices of the job's chunks to `sink`, in order, or
// returns the first failure among them (a chunk's parse error before its
// write error). `csv` is the whole input.
Status<ConvertFailure> convert_part(std::span<const std::uint8_t> csv,
                                    std::span<const ValueType> types, std::uint64_t chunk_size,
                                    const PartJob& job, OutputSink& sink);

// Stage 5's last bytes.
Result<ByteBuffer, std::string> table_end_bytes();

}  // namespace vrex::ext
