#include "pipeline/row_queue.h"

#include <algorithm>
#include <cstring>

namespace vrex::ext {

std::string_view TextArena::copy(std::string_view text) {
  // An empty text takes a place in a block too: it is padded like the others.
  if (text.size() > free_size_ || free_begin_ == nullptr) {
    std::size_t block_size = std::max(text.size(), kBlockSize);
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(block_size + kTextSlack));
    free_begin_ = blocks_.back().get();
    std::memset(free_begin_ + block_size, 0, kTextSlack);
    free_size_ = block_size;
  }
  char* place = free_begin_;
  if (!text.empty()) std::memcpy(place, text.data(), text.size());
  free_begin_ += text.size();
  free_size_ -= text.size();
  return {place, text.size()};
}

void TextArena::clear() noexcept {
  blocks_.clear();
  free_begin_ = nullptr;
  free_size_ = 0;
}

Result<bool, CsvError> RowQueue::read_until(CsvReader& reader, std::size_t target) {
  while (size() < target) {
    const CsvReader::Read read = reader.read_record_into(fields_);
    if (read == CsvReader::Read::Failed) return Unexpected{reader.failure()};
    if (read == CsvReader::Read::End) return false;
    rows_.push_back(RowFields{fields_.record_begin(), fields_.record_size()});
    keep_texts_of_last_row();
  }
  return true;
}

void RowQueue::keep_texts_of_last_row() {
  const std::span<std::string_view> views =
      fields_.all_views().subspan(fields_.record_begin(), fields_.record_size());
  // Views into the input follow each other, so the last one ends last.
  if (!fields_.has_copies() && (views.empty() || padded_inside_input(views.back()))) return;
  for (std::string_view& view : views) {
    if (!padded_inside_input(view)) view = arena_.copy(view);
  }
}

void RowQueue::gather_column(std::size_t first, std::size_t count, std::size_t column,
                             PaddedText* out) const {
  // Every kept view is inside the input with its slack, or in the arena.
  const RowFields* row = rows_.data() + front_ + first;
  const std::string_view* fields = fields_.all_views().data();
  for (std::size_t index = 0; index < count; ++index) {
    out[index] =
        column < row[index].count ? PaddedText(fields[row[index].first + column]) : PaddedText();
  }
}

void RowQueue::pop_front(std::size_t count) { remove_front(count, false); }

void RowQueue::drop_front(std::size_t count) { remove_front(count, true); }

void RowQueue::remove_front(std::size_t count, bool keep_copies) {
  front_ += count;
  if (front_ == rows_.size()) {
    // Empty again: everything goes, the arena too unless its copies are still
    // borrowed (the capacity of the vectors stays).
    rows_.clear();
    fields_.clear();
    front_ = 0;
    if (!keep_copies) arena_.clear();
    return;
  }
  // Compact only once most of the storage is dead, so a long sample drained
  // in small chunks costs linear time, not quadratic.
  if (front_ * 2 >= rows_.size()) {
    std::size_t first_field = rows_[front_].first;
    fields_.erase_front(first_field);
    rows_.erase_front(front_);
    for (std::size_t index = 0; index < rows_.size(); ++index) rows_[index].first -= first_field;
    front_ = 0;
  }
}

}  // namespace vrex::ext
