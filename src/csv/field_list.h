// The fields of one record: views into the input where a field's content is
// a contiguous run of input bytes, copies in a reused buffer otherwise.
//
// Only the first `kept_limit()` fields are kept; the ones after them are
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

  // Forgets the previous record; keeps the capacity of every buffer.
  void clear() noexcept {
    size_ = 0;
    dropped_ = 0;
    first_invalid_dropped_.reset();
    copied_.clear();
    copies_.clear();
  }

  // Gives back the views' storage (after a very wide header, say).
  void release_storage() noexcept {
    clear();
    views_.reset();
    capacity_ = 0;
    copies_.shrink_to_fit();
  }

  void add_view(const std::uint8_t* begin, std::size_t length) {
    if (size_ >= kept_limit_) {
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
    if (written <= kept_limit_) {
      size_ = written;
      return;
    }
    for (std::size_t index = kept_limit_; index < written; ++index) drop(views_[index]);
    size_ = kept_limit_;
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
    if (size_ >= kept_limit_) {
      drop(std::string_view(copies_).substr(copy_begin_));
      copies_.resize(copy_begin_);
      return;
    }
    copied_.push_back({size_, copy_begin_, copies_.size() - copy_begin_});
    add_view(nullptr, 0);
  }

  // Points the copied fields into the buffer, which no longer moves. Call once
  // the record is complete, before reading views().
  void finish() noexcept {
    for (const Copied& field : copied_) {
      views_[field.index] = std::string_view(copies_.data() + field.offset, field.length);
    }
  }

  std::span<const std::string_view> views() const noexcept { return {views_.get(), size_}; }

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

  void grow(std::size_t count) {
    const std::size_t capacity = std::max(2 * capacity_, std::max<std::size_t>(size_ + count, 16));
    auto views = std::make_unique<std::string_view[]>(capacity);
    std::copy(views_.get(), views_.get() + size_, views.get());
    views_ = std::move(views);
    capacity_ = capacity;
  }

  std::unique_ptr<std::string_view[]> views_;
  std::size_t size_ = 0;  // kept views, at most kept_limit_
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
