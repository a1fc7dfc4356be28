// Reads CSV records in place over the caller's bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "csv/block_classifier.h"
#include "csv/fast_splitter.h"
#include "csv/field_list.h"
#include "csv/reference_splitter.h"
#include "vrex/result.h"

namespace vrex::ext {

// Where the reader began to look for a record.
struct CsvPosition {
  std::uint64_t byte = 0;    // input bytes consumed before it (a skipped BOM counts)
  std::uint64_t line = 1;    // 1 + line feeds consumed before it
  std::uint64_t record = 0;  // records read before it; the header is record 0
};

// The one reader error: a field whose bytes are not valid UTF-8.
struct CsvError {
  CsvPosition position;
  std::uint64_t field = 0;         // index of the first invalid field of the record
  std::uint64_t valid_length = 0;  // leading bytes of that field that are valid UTF-8

  // "CSV parse error: record R (line L, field: F, byte: B): invalid utf-8: ..."
  std::string text() const;
};

// Header first, then data records, split at commas, double quotes and CR/LF
// terminators. Fields are views into the input, or into a buffer of the
// reader's own (fields that held doubled quotes) that the next read reuses.
class CsvReader {
 public:
  explicit CsvReader(std::span<const std::uint8_t> input);

  // Reads the header record into fields(); an input without any record
  // leaves fields() empty. Call once, before any read_record().
  Status<CsvError> read_header();

  // Reads the next data record into fields() and returns true, or returns
  // false at the end of input (and on every call after it).
  Result<bool, CsvError> read_record();

  // The fields of the record read last.
  std::span<const std::string_view> fields() const noexcept;

  // Reads the next data record as a new record of `into`, after the ones it
  // holds, with `into`'s own kept limit; on an error or at the end of input
  // `into` holds what it held before. The queue of pending rows reads this
  // way, so every view is written once, where the rows are read from.
  Result<bool, CsvError> read_record(FieldList& into);

  // The same read for a loop over many records: the outcome is a small
  // value, and a failure's error stays with the reader (failure()), so no
  // result object is built and copied per record.
  enum class Read : std::uint8_t { Record, End, Failed };
  Read read_record_into(FieldList& into);

  // The error of the last read that failed.
  const CsvError& failure() const noexcept { return failure_; }

  // From the next record on, keeps only the first `count` fields of each
  // record in fields(); the others are split, counted and checked for valid
  // UTF-8 like any field, then forgotten. Errors name the same field and
  // byte as when every field is kept.
  void keep_fields(std::size_t count) noexcept { fields_.set_kept_limit(count); }

  // Gives back the storage of the record read last, whose fields() are no
  // longer needed (after a very wide header, say).
  void release_fields() noexcept { fields_.release_storage(); }

  // A reader of the data records of one part of a larger input: `part`
  // begins at a record boundary of that input, and `origin` holds the counts
  // before it (its byte offset, its line, the records before it, the header
  // included). Positions in errors count from the larger input's start.
  static CsvReader for_part(std::span<const std::uint8_t> part, CsvPosition origin);

  // Where the header record begins: past a UTF-8 byte-order mark, if any.
  static std::size_t header_begin(std::span<const std::uint8_t> input) noexcept;

  // Where the next record search begins, counted from the start of the bytes
  // this reader was given.
  std::size_t cursor() const noexcept { return cursor_; }

  // Chooses how records are split: `Reference` is the byte-at-a-time state
  // machine, the others the block-classifying splitter with that classifier.
  // The one-argument constructor uses `Best` (`Reference` in builds with
  // VREX_FORCE_SCALAR).
  CsvReader(std::span<const std::uint8_t> input, CsvScan scan);

  // Notes on malformed quoting, which never is an error: a quote inside an
  // unquoted field is an ordinary byte; after a closing quote, a second quote
  // adds one quote and the quoted part goes on, a comma or terminator ends the
  // field, and any other byte continues the field unquoted; a quote that is
  // never closed runs to the end of the input.
  //
  // A record that fails the UTF-8 check is consumed and counted all the same:
  // another read_record() goes on with the record after it.

 private:
  Read read_next(CsvPosition position, FieldList& record);
  Read fail_at(CsvPosition position, std::uint64_t field, std::uint64_t valid_length) noexcept;
  // The first invalid field past the first `kept_limit` ones of the record
  // split from `cursor`.
  std::optional<InvalidField> find_invalid_dropped(std::size_t cursor,
                                                   std::size_t kept_limit) const;
  std::uint64_t line_feeds_before(std::size_t offset) noexcept;
  // An error's position inside this reader's bytes, moved to the larger input.
  CsvError located(CsvPosition position, std::uint64_t field, std::uint64_t valid_length) noexcept;

  std::span<const std::uint8_t> input_;
  bool use_reference_;
  FastSplitter fast_;
  ReferenceSplitter reference_;
  FieldList fields_;
  std::size_t cursor_ = 0;     // where the search for the next record begins
  std::uint64_t records_ = 0;  // records read so far, the header included
  bool header_read_ = false;
  bool at_end_ = false;
  CsvPosition origin_{0, 1, 0};  // where these bytes sit in a larger input
  CsvError failure_;
};

}  // namespace vrex::ext
