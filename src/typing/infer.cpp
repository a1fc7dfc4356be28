#include "typing/infer.h"

#include <cstddef>

#include "typing/bool_text.h"
#include "typing/number_parse.h"
#include "typing/short_number.h"

namespace vrex::ext {

ParsedBool parse_bool(std::string_view text) noexcept {
  const std::string_view word = trim_white_space(text);
  // Folding compares in place: "true" and "false" are the only two words.
  if (word.size() == 4 && number_detail::equals_folded(word.data(), "true"))
    return ParsedBool::True;
  if (word.size() == 5 && number_detail::equals_folded(word.data(), "false"))
    return ParsedBool::False;
  return ParsedBool::None;
}

void TypeInference::add(std::string_view text) noexcept {
  if (text.empty()) return;
  has_candidate_ = true;
  // Once a type fails it is never asked again; Long accepts what Int does
  // and Double what Long does, so a text that reads as the narrower type
  // needs no other check.
  bool_ = bool_ && parse_bool(text) != ParsedBool::None;
  std::int32_t int_value;
  std::int64_t long_value;
  if (int_ && read_int32(text, int_value)) return;
  int_ = false;
  if (long_ && read_int64(text, long_value)) return;
  long_ = false;
  double_ = double_ && is_float_text(text);
}

void TypeInference::add(std::span<const std::string_view> texts) noexcept {
  for (std::string_view text : texts) add(text);
}

void TypeInference::add(std::span<const PaddedText> texts) noexcept {
  if (cpu_reads_short_numbers()) {
    add_by_blocks(texts);
    return;
  }
  for (PaddedText text : texts) add(text.view());
}

// A short number the narrowest type still possible accepts changes nothing
// but has_candidate_; the block check finds most of them without a loop over
// their bytes, and leaves the others to add(). Int takes up to 9 digits, Long
// up to 16: they always fit.
VREX_SHORT_NUMBER_TARGET void TypeInference::add_by_blocks(
    std::span<const PaddedText> texts) noexcept {
  for (PaddedText text : texts) {
    if (text.empty()) continue;
    if (!bool_) {
      const bool accepted = int_    ? is_short_integer_text(text.view(), 9)
                            : long_ ? is_short_integer_text(text.view(), 16)
                                    : double_ && is_short_decimal_text(text.view());
      if (accepted) {
        has_candidate_ = true;
        continue;
      }
    }
    add(text.view());
  }
}

ValueType TypeInference::type() const noexcept {
  if (!has_candidate_) return ValueType::String;
  if (bool_) return ValueType::Bool;
  if (int_) return ValueType::Int;
  if (long_) return ValueType::Long;
  if (double_) return ValueType::Double;
  return ValueType::String;
}

namespace {

template <class Accepts>
bool all_candidates(std::span<const std::string_view> texts, Accepts accepts) noexcept {
  for (std::string_view text : texts) {
    if (!text.empty() && !accepts(text)) return false;
  }
  return true;
}

}  // namespace

ValueType infer_type(std::span<const std::string_view> texts) noexcept {
  bool has_candidate = false;
  for (std::string_view text : texts) has_candidate = has_candidate || !text.empty();
  if (!has_candidate) return ValueType::String;

  if (all_candidates(texts,
                     [](std::string_view text) { return parse_bool(text) != ParsedBool::None; }))
    return ValueType::Bool;
  if (all_candidates(texts, [](std::string_view text) {
        std::int32_t value;
        return read_int32(text, value);
      }))
    return ValueType::Int;
  if (all_candidates(texts, [](std::string_view text) {
        std::int64_t value;
        return read_int64(text, value);
      }))
    return ValueType::Long;
  if (all_candidates(texts, is_float_text)) return ValueType::Double;
  return ValueType::String;
}

}  // namespace vrex::ext
