#include "parallel/row_split.h"

#include <algorithm>
#include <utility>

namespace vrex::ext {

RowSplit::RowSplit(std::uint64_t begin, std::uint64_t first_row, std::size_t rows, bool counted,
                   std::size_t ahead)
    : begin_(begin),
      first_row_(first_row),
      ahead_(std::max<std::size_t>(ahead, 1)),
      rows_(rows),
      counted_(counted),
      owner_cursor_(begin) {}

std::size_t RowSplit::rows() {
  std::lock_guard lock(mutex_);
  return rows_;
}

ChunkProgress::Reached RowSplit::reached() {
  std::lock_guard lock(mutex_);
  return {owner_read_, owner_cursor_};
}

void RowSplit::rows_counted(std::uint64_t rows) {
  std::lock_guard lock(mutex_);
  rows_ = static_cast<std::size_t>(std::min<std::uint64_t>(rows, rows_));
  counted_ = true;
}

std::size_t RowSplit::rows_to_read(std::size_t rows_read, std::uint64_t cursor) {
  std::lock_guard lock(mutex_);
  owner_read_ = rows_read;
  owner_cursor_ = begin_ + cursor;
  return split_.value_or(rows_);
}

std::optional<std::size_t> RowSplit::stop_taking() {
  std::lock_guard lock(mutex_);
  taking_ = false;
  return split_;
}

std::optional<std::size_t> RowSplit::part_start() const {
  if (!taking_ || split_ || !counted_) return std::nullopt;
  // The chunk's thread may read a step past the rows it last asked about.
  const std::size_t reachable = owner_read_ + ahead_;
  if (reachable >= rows_ || rows_ - reachable < 2 * ahead_) return std::nullopt;
  return reachable + (rows_ - reachable) / 2;
}

std::size_t RowSplit::rows_to_take() {
  std::lock_guard lock(mutex_);
  const std::optional<std::size_t> start = part_start();
  return start ? rows_ - *start : 0;
}

bool RowSplit::open_to_parts() {
  std::lock_guard lock(mutex_);
  return taking_ && !split_;
}

std::optional<RowSplit::Part> RowSplit::take_part() {
  std::lock_guard lock(mutex_);
  const std::optional<std::size_t> start = part_start();
  if (!start) return std::nullopt;
  split_ = start;
  return Part{*start, owner_read_, owner_cursor_};
}

void RowSplit::part_done(const ChunkConverter* converter, std::uint64_t input_end) {
  {
    std::lock_guard lock(mutex_);
    part_ = Converted{converter, input_end};
    part_done_ = true;
  }
  changed_.notify_all();
}

RowSplit::Converted RowSplit::wait_for_part() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return part_done_; });
  return part_;
}

void RowSplit::close() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  changed_.notify_all();
}

void RowSplit::wait_until_closed() {
  std::unique_lock lock(mutex_);
  while (true) {
    changed_.wait(lock, [&] { return closed_ || help_; });
    if (closed_) return;
    const std::function<void()> help = std::exchange(help_, nullptr);
    lock.unlock();
    help();
    lock.lock();
    helped_ = true;
    changed_.notify_all();
  }
}

bool RowSplit::hand_over(std::function<void()> help) {
  {
    std::lock_guard lock(mutex_);
    if (!part_done_ || part_.converter == nullptr || closed_ || help_ || helped_) return false;
    help_ = std::move(help);
  }
  changed_.notify_all();
  return true;
}

void RowSplit::wait_for_help() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return helped_; });
}

}  // namespace vrex::ext
