// Column type inference and the recogniser of boolean text.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "vrex/enums.h"
#include "vrex/padded_text.h"

namespace vrex::ext {

using vrex::PaddedText;

// An optional boolean, one byte: false 0, true 1, none 2.
enum class ParsedBool : std::uint8_t { False = 0, True = 1, None = 2 };

// "true" or "false" in any ASCII letter case, surrounded by any Unicode white space.
ParsedBool parse_bool(std::string_view text) noexcept;

// The first of Bool, Int, Long, Double that every non-empty text satisfies; else String.
ValueType infer_type(std::span<const std::string_view> texts) noexcept;

// The answer of infer_type for texts that arrive a few at a time, so a large
// sample is never gathered whole: add() every text in order, then type().
// infer_type stays as the plain reference.
class TypeInference {
 public:
  void add(std::span<const std::string_view> texts) noexcept;
  void add(std::span<const PaddedText> texts) noexcept;

  ValueType type() const noexcept;

 private:
  void add(std::string_view text) noexcept;
  // The same for padded texts, the short numbers checked a block at a time.
  void add_by_blocks(std::span<const PaddedText> texts) noexcept;

  bool has_candidate_ = false;
  // Whether every non-empty text so far reads as Bool, Int, Long, Double.
  bool bool_ = true;
  bool int_ = true;
  bool long_ = true;
  bool double_ = true;
};

}  // namespace vrex::ext
