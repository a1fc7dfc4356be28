#include "csv/reference_splitter.h"

#include "csv/utf8.h"

namespace vrex::ext {

namespace {

enum class State { FieldStart, Unquoted, Quoted, AfterQuote };

bool is_terminator(std::uint8_t byte) { return byte == '\r' || byte == '\n'; }

}  // namespace

SplitOutcome ReferenceSplitter::split(std::size_t cursor, FieldList& fields) {
  // Positions only ever move forward; count what lies between.
  for (; consumed_ < cursor; ++consumed_) line_feeds_ += input_[consumed_] == '\n' ? 1 : 0;
  record_cursor_ = cursor;
  record_line_feeds_ = line_feeds_;

  auto take = [&]() {
    const std::uint8_t byte = input_[consumed_++];
    line_feeds_ += byte == '\n' ? 1 : 0;
    return byte;
  };

  while (consumed_ < input_.size() && is_terminator(input_[consumed_])) take();
  if (consumed_ == input_.size()) return {false, consumed_, false};

  State state = State::FieldStart;
  fields.begin_copy();
  while (consumed_ < input_.size()) {
    const std::uint8_t byte = take();
    switch (state) {
      case State::FieldStart:
      case State::Unquoted:
      case State::AfterQuote:
        if (byte == '"' && state == State::FieldStart) {
          state = State::Quoted;
        } else if (byte == '"' && state == State::AfterQuote) {
          fields.append_byte(byte);  // a doubled quote inside quotes
          state = State::Quoted;
        } else if (byte == ',') {
          fields.end_copy();
          fields.begin_copy();
          state = State::FieldStart;
        } else if (is_terminator(byte)) {
          fields.end_copy();
          return {true, consumed_, true};
        } else {
          fields.append_byte(byte);
          state = State::Unquoted;
        }
        break;
      case State::Quoted:
        if (byte == '"') {
          state = State::AfterQuote;
        } else {
          fields.append_byte(byte);
        }
        break;
    }
  }
  fields.end_copy();  // the end of input ends the field and the record
  return {true, consumed_, true};
}

std::uint64_t ReferenceSplitter::line_feeds_before(std::size_t offset) const noexcept {
  if (offset == record_cursor_) return record_line_feeds_;
  return count_line_feeds(input_.data(), offset);
}

}  // namespace vrex::ext
