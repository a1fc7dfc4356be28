// pending_rows: the data records read but not yet written, first in first out.
//
// Rows are kept row after row as views of their fields, only the fields a row
// really has (at most the column count): a short row's missing cells cost
// nothing until a chunk asks for them. The reader splits each record straight
// into the queue's list of views; views into the caller's input stay as they
// are, and fields the reader had to unescape are copied into an arena that
// lives as long as the rows do. Every text handed out is a PaddedText: a short
// one has readable slack after it (views near the end of the input are
// copied into the arena for it), so short texts are copied and short numbers
// read in one block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "csv/csv_reader.h"
#include "csv/field_list.h"
#include "vrex/byte_buffer.h"
#include "vrex/table.h"

namespace vrex::ext {

using vrex::PodArray;

using vrex::PaddedText;

inline constexpr std::size_t kTextSlack = PaddedText::kSlack;

// Owned storage for field texts that do not point into the input. Blocks never
// move, so views into them stay valid until clear(). Each block ends in
// kTextSlack zero bytes beyond the texts it holds.
class TextArena {
 public:
  std::string_view copy(std::string_view text);
  void clear() noexcept;

 private:
  static constexpr std::size_t kBlockSize = std::size_t{64} * 1024;

  std::vector<std::unique_ptr<char[]>> blocks_;
  char* free_begin_ = nullptr;
  std::size_t free_size_ = 0;
};

class RowQueue {
 public:
  RowQueue(std::span<const std::uint8_t> input, std::size_t column_count)
      : input_begin_(reinterpret_cast<const char*>(input.data())),
        input_end_(input_begin_ + input.size()) {
    fields_.set_kept_limit(column_count);
  }

  // Reads from `input` from now on; the queue is empty. Its storage stays.
  void rebind(std::span<const std::uint8_t> input) noexcept {
    input_begin_ = reinterpret_cast<const char*>(input.data());
    input_end_ = input_begin_ + input.size();
  }

  std::size_t size() const noexcept { return rows_.size() - front_; }

  bool empty() const noexcept { return size() == 0; }

  // Reads data records from `reader` onto the back of the queue until it
  // holds `target` rows (true) or the input ends (false); fields beyond the
  // column count are counted, not kept. This is the one loop that reads rows.
  Result<bool, CsvError> read_until(CsvReader& reader, std::size_t target);

  // Text `column` of `count` queued rows from the `first` (0 is the front),
  // padded cells empty.
  void gather_column(std::size_t first, std::size_t count, std::size_t column,
                     PaddedText* out) const;

  // Removes `count` rows from the front; once the queue is empty, the copies
  // of their texts go too.
  void pop_front(std::size_t count);

  // Removes `count` rows from the front but keeps every copy of a text, which
  // the column slices being built may borrow until the chunk is written (and
  // pop_front() lets them go).
  void drop_front(std::size_t count);

 private:
  struct RowFields {
    std::size_t first;  // index into fields_
    std::size_t count;  // at most the column count
  };

  // Inside the input, with the slack of a padded text when it is short: only
  // the last few short fields of the input fail this and are copied.
  bool padded_inside_input(std::string_view text) const noexcept {
    // Addresses as integers: a text below the input wraps to a large offset.
    const std::uintptr_t offset = reinterpret_cast<std::uintptr_t>(text.data()) -
                                  reinterpret_cast<std::uintptr_t>(input_begin_);
    const auto input_size = static_cast<std::uintptr_t>(input_end_ - input_begin_);
    if (offset > input_size || text.size() > input_size - offset) return false;
    return text.size() > kTextSlack || kTextSlack <= input_size - offset - text.size();
  }

  // Copies the texts of the row just read that point into the reader's
  // buffer or lack their slack at the end of the input.
  void keep_texts_of_last_row();

  void remove_front(std::size_t count, bool keep_copies);

  const char* input_begin_;
  const char* input_end_;
  FieldList fields_;  // every queued row's views, then the record being read
  PodArray<RowFields> rows_;
  std::size_t front_ = 0;
  TextArena arena_;
};

}  // namespace vrex::ext
