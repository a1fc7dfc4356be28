#include "csv/fast_splitter.h"

#include <algorithm>
#include <cstring>

#include "csv/utf8.h"

namespace vrex::ext {

namespace {

// Bits at and above `index` (none when `index` is past the block).
std::uint64_t bits_from(std::size_t index) {
  return index < kBlockSize ? ~std::uint64_t{0} << index : 0;
}

// Bits below `index` (all when `index` reaches the block's end).
std::uint64_t bits_below(std::size_t index) { return ~bits_from(index); }

std::size_t lowest_bit(std::uint64_t mask) {
  return static_cast<std::size_t>(__builtin_ctzll(mask));
}

bool is_terminator(std::uint8_t byte) { return byte == '\r' || byte == '\n'; }

// The input is read once, in order, and most of it comes from memory: each
// batch asks for the bytes this far past it, so that they are on the way by
// the time the reader gets there.
constexpr std::size_t kPrefetchAhead = 4096;

}  // namespace

FastSplitter::FastSplitter(std::span<const std::uint8_t> input, ClassifyBlocks classify)
    : data_(input.data()), size_(input.size()), classify_(classify) {
  if (size_ > 0) load_block(0);
}

void FastSplitter::load_block(std::size_t base) {
  base_ = base;
  if (batch_next_ < batch_count_ && base == batch_base_ + batch_next_ * kBlockSize) {
    masks_ = batch_[batch_next_++];
    return;
  }
  batch_base_ = base;
  batch_next_ = 1;
  batch_count_ = std::min((size_ - base) / kBlockSize, kBatchBlocks);
  if (batch_count_ > 0) {
    for (std::size_t block = 0; block < kBatchBlocks; ++block) {
      const std::size_t ahead = base + kPrefetchAhead + block * kBlockSize;
      if (ahead < size_) __builtin_prefetch(data_ + ahead);
    }
    classify_(data_ + base, batch_count_, batch_);
  } else {
    // The last, short block: zero bytes are neither separators nor non-ASCII.
    std::uint8_t padded[kBlockSize] = {};
    std::memcpy(padded, data_ + base, size_ - base);
    classify_(padded, 1, batch_);
    batch_count_ = 1;
  }
  masks_ = batch_[0];
}

void FastSplitter::begin_record(std::size_t cursor) {
  if (cursor >= base_ + kBlockSize) load_block(cursor);
  masks_.non_ascii &= bits_from(cursor - base_);
  record_non_ascii_ = false;
  record_begin_ = cursor;
}

SplitOutcome FastSplitter::end_record(std::size_t content_end, std::size_t next) const noexcept {
  const bool non_ascii =
      record_non_ascii_ || (masks_.non_ascii & bits_below(content_end - base_)) != 0;
  return {true, next, non_ascii, record_begin_, content_end};
}

std::size_t FastSplitter::next_separator(std::size_t from) {
  for (;;) {
    const std::uint64_t ahead = masks_.separators & bits_from(from - base_);
    if (ahead != 0) return base_ + lowest_bit(ahead);
    if (size_ - base_ <= kBlockSize) return size_;
    record_non_ascii_ |= masks_.non_ascii != 0;
    load_block(base_ + kBlockSize);
    if (from < base_) from = base_;
  }
}

std::size_t FastSplitter::next_quote(std::size_t from) {
  for (;;) {
    const std::uint64_t ahead = masks_.quotes & bits_from(from - base_);
    if (ahead != 0) return base_ + lowest_bit(ahead);
    if (size_ - base_ <= kBlockSize) return size_;
    record_non_ascii_ |= masks_.non_ascii != 0;
    load_block(base_ + kBlockSize);
    if (from < base_) from = base_;
  }
}

SplitOutcome FastSplitter::split(std::size_t cursor, FieldList& fields) {
  while (cursor < size_ && is_terminator(data_[cursor])) ++cursor;
  if (cursor == size_) return {false, size_, false};
  begin_record(cursor);

  for (;;) {  // one field per turn; `cursor` is where the field begins
    if (cursor < size_ && data_[cursor] == '"') {
      const std::size_t content = cursor + 1;
      const std::size_t quote = next_quote(content);
      if (quote == size_) {  // never closed: runs to the end of the input
        fields.add_view(data_ + content, size_ - content);
        return end_record(size_, size_);
      }
      const std::size_t after = quote + 1;
      if (after == size_) {
        fields.add_view(data_ + content, quote - content);
        return end_record(size_, size_);
      }
      const std::uint8_t byte = data_[after];
      if (byte == ',') {
        fields.add_view(data_ + content, quote - content);
        cursor = after + 1;
        continue;
      }
      if (is_terminator(byte)) {
        fields.add_view(data_ + content, quote - content);
        return end_record(after, after + 1);
      }
      fields.begin_copy();
      fields.append(data_ + content, quote - content);
      const SplitOutcome outcome = copy_quoted_rest(quote, fields, cursor);
      if (outcome.found) return outcome;
      continue;
    }
    // Unquoted fields that end inside this block, back to back.
    std::uint64_t ahead = masks_.separators & bits_from(cursor - base_);
    if (ahead != 0 && data_[cursor] != '"') {
      std::string_view* out = fields.reserve_views(kBlockSize);
      const std::uint8_t* data = data_;
      const std::size_t base = base_;
      bool record_ended = false;
      do {
        const std::size_t end = base + lowest_bit(ahead);
        ahead &= ahead - 1;
        *out++ = FieldList::view_of(data + cursor, end - cursor);
        cursor = end + 1;
        if (data[end] != ',') {
          record_ended = true;
          break;
        }
      } while (ahead != 0 && data[cursor] != '"');
      fields.commit_views(out);
      if (record_ended) return end_record(cursor - 1, cursor);
      continue;
    }
    const std::size_t end = next_separator(cursor);
    fields.add_view(data_ + cursor, end - cursor);
    if (end == size_) return end_record(size_, size_);
    cursor = end + 1;
    if (data_[end] != ',') return end_record(end, cursor);
  }
}

SplitOutcome FastSplitter::copy_quoted_rest(std::size_t quote, FieldList& fields,
                                            std::size_t& cursor) {
  // `quote` closed a quoted part; the byte after it exists and is no comma or
  // terminator. Returns found = false when a comma ended the field, with
  // `cursor` at the next field.
  std::size_t at = quote + 1;
  for (;;) {
    if (data_[at] != '"') {  // text after the closing quote: the field goes on unquoted
      const std::size_t end = next_separator(at);
      fields.append(data_ + at, end - at);
      fields.end_copy();
      if (end == size_) return end_record(size_, size_);
      if (data_[end] != ',') return end_record(end, end + 1);
      cursor = end + 1;
      return {};
    }
    fields.append_byte('"');  // a doubled quote; the quoted part goes on
    const std::size_t content = at + 1;
    const std::size_t closing = next_quote(content);
    fields.append(data_ + content, closing - content);
    const std::size_t after = closing + 1;
    if (closing == size_ || after == size_) {
      fields.end_copy();
      return end_record(size_, size_);
    }
    const std::uint8_t byte = data_[after];
    if (byte == ',') {
      fields.end_copy();
      cursor = after + 1;
      return {};
    }
    if (is_terminator(byte)) {
      fields.end_copy();
      return end_record(after, after + 1);
    }
    at = after;
  }
}

std::uint64_t FastSplitter::line_feeds_before(std::size_t offset) noexcept {
  if (offset < counted_to_) {
    counted_to_ = 0;
    line_feeds_ = 0;
  }
  line_feeds_ += count_line_feeds(data_ + counted_to_, offset - counted_to_);
  counted_to_ = offset;
  return line_feeds_;
}

}  // namespace vrex::ext
