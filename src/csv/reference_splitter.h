// The reference splitter: a plain state machine that reads one byte at a time
// and copies every field. Slow and obvious; the fast splitter must agree with
// it on every input.
#pragma once

#include <cstdint>
#include <span>

#include "csv/field_list.h"

namespace vrex::ext {

class ReferenceSplitter {
 public:
  explicit ReferenceSplitter(std::span<const std::uint8_t> input) : input_(input) {}

  // Skips CR and LF bytes from `cursor`, then splits one record into the
  // record that `fields` has started.
  SplitOutcome split(std::size_t cursor, FieldList& fields);

  // Line feeds in the input before `offset` (known without counting when it
  // is the cursor of the last split()).
  std::uint64_t line_feeds_before(std::size_t offset) const noexcept;

 private:
  std::span<const std::uint8_t> input_;
  std::size_t consumed_ = 0;       // bytes looked at so far
  std::uint64_t line_feeds_ = 0;   // line feeds among them
  std::size_t record_cursor_ = 0;  // where the last split began
  std::uint64_t record_line_feeds_ = 0;
};

}  // namespace vrex::ext
