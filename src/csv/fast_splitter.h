// The fast splitter. It classifies the input 64 bytes at a time into masks of
// separators (comma, CR, LF), quotes and non-ASCII bytes, then walks the set
// bits instead of the bytes:
//
// - An unquoted field runs to the next separator bit; a quote inside it is an
//   ordinary byte, so only the separator mask matters there.
// - A quoted field runs to the next quote bit. The byte after that quote
//   decides the rest: a comma or terminator ends the field (a view into the
//   input), anything else sends the field through the copy buffer.
// - A record is plain ASCII when the non-ASCII mask has no bit inside it, and
//   then needs no UTF-8 check.
//
// Blocks are classified four at a time (one call through the chosen SSE2 or
// AVX2 classifier) and taken one after the other while a record is read, so
// every byte of a record is classified exactly once; after a long run of blank
// lines the next record starts a fresh batch. Line numbers are not tracked here:
// a position needs them only for an error, and line_feeds_before() counts them
// then, once, from where it last stopped.
#pragma once

#include <cstdint>
#include <span>

#include "csv/block_classifier.h"
#include "csv/field_list.h"

namespace vrex::ext {

class FastSplitter {
 public:
  FastSplitter(std::span<const std::uint8_t> input, ClassifyBlocks classify);

  // Skips CR and LF bytes from `cursor`, then splits one record into the
  // record that `fields` has started.
  SplitOutcome split(std::size_t cursor, FieldList& fields);

  // Line feeds in the input before `offset`.
  std::uint64_t line_feeds_before(std::size_t offset) noexcept;

 private:
  void load_block(std::size_t base);
  void begin_record(std::size_t cursor);
  SplitOutcome end_record(std::size_t content_end, std::size_t next) const noexcept;
  // The first separator (quote) at or after `from`, or the input size.
  std::size_t next_separator(std::size_t from);
  std::size_t next_quote(std::size_t from);
  // The rest of a quoted field from its closing quote at `quote`, once it has
  // turned out not to be a contiguous run of input bytes.
  SplitOutcome copy_quoted_rest(std::size_t quote, FieldList& fields, std::size_t& cursor);

  const std::uint8_t* data_;
  std::size_t size_;
  ClassifyBlocks classify_;
  std::size_t base_ = 0;  // offset of the classified block
  BlockMasks masks_;
  // Blocks are classified a few at a time, ahead of use.
  static constexpr std::size_t kBatchBlocks = 4;
  BlockMasks batch_[kBatchBlocks];
  std::size_t batch_base_ = 0;
  std::size_t batch_next_ = 0;
  std::size_t batch_count_ = 0;
  bool record_non_ascii_ = false;  // non-ASCII bytes in earlier blocks of this record
  std::size_t record_begin_ = 0;
  std::size_t counted_to_ = 0;  // line feeds before this offset are known
  std::uint64_t line_feeds_ = 0;
};

}  // namespace vrex::ext
