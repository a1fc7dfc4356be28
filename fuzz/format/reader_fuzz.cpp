// Any bytes: the reader returns a file or an error, never reads out of
// bounds, and a file it returns is consistent: every column, flag set and
// value property has one entry per row, every text it accepted is UTF-8 by
// the one-character-at-a-time check, and the columnar hand-over (offsets,
// block, bitmaps) describes the same values.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <numeric>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "vrex/reader.h"
#include "vrex/reader_columnar.h"
#include "vrex/reader_utf8.h"

namespace {

// Checks the texts one by one, then hands them over as offsets and a block.
void check_texts(vrex::TextArray& texts, bool utf8) {
  std::vector<std::string> copies;
  for (std::size_t index = 0; index < texts.size(); ++index) {
    const std::string_view text = texts[index];
    if (utf8 && !vrex::is_valid_utf8_scalar(reinterpret_cast<const std::uint8_t*>(text.data()),
                                            text.size())) {
      std::abort();
    }
    copies.emplace_back(text);
  }
  const std::vector<std::uint64_t> offsets = vrex::take_offsets(texts);
  const std::string block = texts.take_block();
  if (offsets.size() != copies.size() + 1 || offsets.front() != 0 ||
      offsets.back() != block.size()) {
    std::abort();
  }
  for (std::size_t index = 0; index < copies.size(); ++index) {
    if (offsets[index] > offsets[index + 1] ||
        block.compare(offsets[index], offsets[index + 1] - offsets[index], copies[index]) != 0) {
      std::abort();
    }
  }
}

void check_hand_over(vrex::Object& values, const std::vector<std::uint8_t>& flags) {
  if (auto* texts = std::get_if<vrex::object::StringArray>(&values))
    check_texts(texts->values, true);
  if (auto* bytes = std::get_if<vrex::object::BinaryArray>(&values))
    check_texts(bytes->values, false);
  if (vrex::pack_bits_lsb_first(flags, true) != vrex::pack_bits_lsb_first_scalar(flags, true)) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto file = vrex::read_vrex(std::span<const std::uint8_t>(data, size));
  if (!file) {
    (void)file.error().display_text();
    return 0;
  }
  const std::uint64_t rows =
      std::accumulate(file->slice_rows.begin(), file->slice_rows.end(), std::uint64_t{0});
  if (rows != file->num_rows || file->data.size() != file->columns.size()) std::abort();
  for (vrex::ColumnData& column : file->data) {
    if (vrex::value_count(column.values) != rows || column.is_invalid.size() != rows) std::abort();
    for (vrex::JoinedProperty& property : column.properties) {
      if (vrex::value_count(property.values) != rows || property.present.size() != rows) {
        std::abort();
      }
      check_hand_over(property.values, property.present);
    }
    check_hand_over(column.values, column.is_invalid);
  }
  return 0;
}
