// Column type inference and the recogniser of boolean text.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "vrex/enums.h"

namespace vrex::ext {

// An optional boolean, one byte: false 0, true 1, none 2.
enum class ParsedBool : std::uint8_t { False = 0, True = 1, None = 2 };

// "true" or "false" in any ASCII letter case, surrounded by any Unicode white space.
ParsedBool parse_bool(std::string_view text) noexcept;

// The first of Bool, Int, Long, Double that every non-empty text satisfies; else String.
ValueType infer_type(std::span<const std::string_view> texts) noexcept;

}  // namespace vrex::ext
