// The fields of records: views into the input where a field's content is a
// contiguous run of input bytes, copies in a reused buffer otherwise. A list
// holds the record being split after any records kept before it, so a queue
// of rows can own one list and have the splitter write each view where the
// rows are later read from.
//
// Only the first `kept_limit()` fields of a record are kept; the ones after them are
// counted and forgotten as soon as they are split, so a record of a billion
// fields costs the memory of the kept ones. When asked to, the forgotten
// fields are checked for valid UTF-8 on the way out, the first invalid one
// remembered.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vrex::ext {

// The first field of a record, past the kept ones, that is not valid UTF-8.
struct InvalidField {
  std::size_t index = 0;  // among all the record's fields
  std::size_t valid_length = 0;
};

class FieldList {
 public:
  static constexpr std::size_t kKeepAll = std::numeric_limits<std::size_t>::max();

  // How many leading fields of each record are kept; the rest are counted.
  void set_kept_limit(std::size_t limit) noexcept { kept_limit_ = limit; }

  std::size_t kept_limit() const noexcept { return kept_limit_; }

  // Whether fields past the kept ones are checked for valid UTF-8.
  void set_check_dropped(bool check) noexcept { check_dropped_ = check; }

  // Forgets every record; keeps the capacity of every buffer.
  void clear() noexcept {
    size_ = 0;
    start_record();
  }

  // Starts a new record after the ones held. Copies of the previous record's
  // fields are forgotten: whoever keeps that record has taken them first.
  void start_record() noexcept {
    record_begin_ = size_;
    dropped_ = 0;
    first_invalid_dropped_.reset();
    copied_.clear();
    copies_.clear();
  }

  // Forgets the record being split, keeping the ones before it.
  void drop_record() noexcept {
    size_ = record_begin_;
    start_record();
  }

  // Forgets the first `count` views of the records held (whole records, by
  // the holder's count); the rest move to the front.
  void erase_front(std::size_t count) noexcept {
    std::copy(views_.get() + count, views_.get() + size_, views_.get());
    size_ -= count;
    record_begin_ -= count;
  }

  // Gives back the views' storage (after a very wide header, say).
  void release_storage() noexcept {
    clear();
    views_.reset();
    capacity_ = 0;
    copies_.shrink_to_fit();
  }

  void add_view(const std::uint8_t* begin, std::size_t length) {
    if (record_size() >= kept_limit_) {
      drop(view_of(begin, length));
      return;
    }
    if (size_ == capacity_) grow(1);
    views_[size_++] = view_of(begin, length);
  }

  // Room for `count` more views, written through the returned pointer and
  // kept by commit_views() with the pointer just past the last one written.
  // Views written past the kept limit are dropped by commit_views().
  std::string_view* reserve_views(std::size_t count) {
    if (capacity_ - size_ < count) grow(count);
    return views_.get() + size_;
  }

  void commit_views(const std::string_view* end) noexcept {
    const auto written = static_cast<std::size_t>(end - views_.get());
    if (written - record_begin_ <= kept_limit_) {
      size_ = written;
      return;
    }
    const std::size_t kept_end = record_begin_ + kept_limit_;
    size_ = kept_end;
    for (std::size_t index = kept_end; index < written; ++index) drop(views_[index]);
  }

  static std::string_view view_of(const std::uint8_t* begin, std::size_t length) noexcept {
    return {reinterpret_cast<const char*>(begin), length};
  }

  // A copied field is built by begin_copy(), any appends, end_copy().
  void begin_copy() noexcept { copy_begin_ = copies_.size(); }

  void append(const std::uint8_t* begin, std::size_t length) {
    copies_.append(reinterpret_cast<const char*>(begin), length);
  }

  void append_byte(std::uint8_t byte) { copies_.push_back(static_cast<char>(byte)); }

  void end_copy() {
    if (record_size() >= kept_limit_) {
      drop(std::string_view(copies_).substr(copy_begin_));
      copies_.resize(copy_begin_);
      return;
    }
    copied_.push_back({size_, copy_begin_, copies_.size() - copy_begin_});
    add_view(nullptr, 0);
  }

  // Points the copied fields into the buffer, which no longer moves until
  // the next record starts. Call once the record is complete, before reading
  // views().
  void finish() noexcept {
    for (const Copied& field : copied_) {
      views_[field.index] = std::string_view(copies_.data() + field.offset, field.length);
    }
  }

  // The kept fields of the record being split (or split last).
  std::span<const std::string_view> views() const noexcept {
    return {views_.get() + record_begin_, record_size()};
  }

  // Every view held, records one after the other, the current one last.
  std::span<std::string_view> all_views() noexcept { return {views_.get(), size_}; }

  std::span<const std::string_view> all_views() const noexcept { return {views_.get(), size_}; }

  // Where the current record's views begin among all_views().
  std::size_t record_begin() const noexcept { return record_begin_; }

  std::size_t record_size() const noexcept { return size_ - record_begin_; }

  // Whether some of the current record's fields are copies, in a buffer that
  // the next record reuses.
  bool has_copies() const noexcept { return !copied_.empty(); }

  // Fields of the record past the kept ones.
  std::size_t dropped() const noexcept { return dropped_; }

  // With set_check_dropped(true): the first dropped field that is not valid
  // UTF-8, if any.
  const std::optional<InvalidField>& first_invalid_dropped() const noexcept {
    return first_invalid_dropped_;
  }

 private:
  void drop(std::string_view field) noexcept;

  struct Copied {
    std::size_t index;
    std::size_t offset;
    std::size_t length;
  };

  // Grows by realloc: a queue's many records move by remapping, not copying.
  void grow(std::size_t count);

  struct FreeViews {
    void operator()(std::string_view* views) const noexcept;
  };

  std::unique_ptr<std::string_view[], FreeViews> views_;
  std::size_t size_ = 0;          // views held, of every record
  std::size_t record_begin_ = 0;  // the current record's first view
  std::size_t capacity_ = 0;
  std::size_t kept_limit_ = kKeepAll;
  std::size_t dropped_ = 0;
  bool check_dropped_ = false;
  std::optional<InvalidField> first_invalid_dropped_;
  std::vector<Copied> copied_;
  std::string copies_;
  std::size_t copy_begin_ = 0;
};

// What a splitter reports for one call.
struct SplitOutcome {
  bool found = false;      // false: only terminators (or nothing) were left
  std::size_t next = 0;    // offset just past the record's terminator
  bool non_ascii = false;  // the record may hold bytes 0x80 and above
  // The record's bytes, quotes and separators included, without its
  // terminator. Every field's content is made of pieces of this range cut at
  // ASCII bytes, so when the range is valid UTF-8, so is every field.
  std::size_t begin = 0;
  std::size_t end = 0;
};

}  // namespace vrex::ext
