// Turns one chunk of a column's texts into a typed column slice.
#pragma once

#include <span>
#include <string_view>

#include "vrex/enums.h"
#include "vrex/table.h"

namespace vrex::ext {

// One value per text, in order; texts that do not read under `type` become
// placeholders flagged in "IsInvalid". Never fails.
ColumnSlice build_column_slice(std::span<const std::string_view> texts, ValueType type);

}  // namespace vrex::ext
