#include "csv/field_list.h"

#include <cstdlib>
#include <new>

#include "csv/utf8.h"

namespace vrex::ext {

void FieldList::FreeViews::operator()(std::string_view* views) const noexcept { std::free(views); }

void FieldList::grow(std::size_t count) {
  constexpr std::size_t kMaxViews = SIZE_MAX / sizeof(std::string_view);
  if (count > kMaxViews - size_) throw std::bad_alloc();
  const std::size_t doubled = capacity_ > kMaxViews / 2 ? kMaxViews : 2 * capacity_;
  const std::size_t capacity = std::max(doubled, std::max<std::size_t>(size_ + count, 16));
  // string_view is trivially copyable, so its bytes may move as they are.
  void* grown = std::realloc(views_.get(), capacity * sizeof(std::string_view));
  if (grown == nullptr) throw std::bad_alloc();
  (void)views_.release();
  views_.reset(static_cast<std::string_view*>(grown));
  capacity_ = capacity;
}

void FieldList::drop(std::string_view field) noexcept {
  const std::size_t index = record_size() + dropped_++;
  if (!check_dropped_ || first_invalid_dropped_) return;
  const std::size_t valid = utf8_valid_prefix(field);
  if (valid != field.size()) first_invalid_dropped_ = InvalidField{index, valid};
}

}  // namespace vrex::ext
