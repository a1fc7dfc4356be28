#include "csv/field_list.h"

#include "csv/utf8.h"

namespace vrex::ext {

void FieldList::drop(std::string_view field) noexcept {
  const std::size_t index = size_ + dropped_++;
  if (!check_dropped_ || first_invalid_dropped_) return;
  const std::size_t valid = utf8_valid_prefix(field);
  if (valid != field.size()) first_invalid_dropped_ = InvalidField{index, valid};
}

}  // namespace vrex::ext
