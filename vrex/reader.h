// Reads a complete file back into memory: version, table metadata, and every
// column's values with their value properties, all table slices joined.
//
// The decoder trusts nothing in the input: every count is checked against the
// bytes that remain before anything is read or allocated, sizes are 64-bit,
// and the first inconsistency ends the read with one VrexError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "vrex/error.h"
#include "vrex/result.h"
#include "vrex/table.h"

namespace vrex {

// One table-level metadata entry. A value count of 0 in the file leaves
// `value` absent.
struct MetadataEntry {
  std::string name;
  ValueType type = ValueType::Int;
  std::optional<Object> value;
  std::optional<Object> default_value;
};

// A column property as the table metadata declares it for all columns.
struct PropertyDescriptor {
  std::string name;
  ValueType type = ValueType::String;
  std::optional<Object> default_value;
};

// A further value property of a column, joined across the table slices: one
// value per row. Rows of slices that lack the property hold a placeholder
// (zero, false or the empty text) and a 0 in `present`.
struct JoinedProperty {
  std::string name;
  Object values;                      // an array alternative
  std::vector<std::uint8_t> present;  // one byte per row, 0 or 1
};

// One column's rows from every table slice, in file order.
struct ColumnData {
  Object values;  // an array alternative, one element per row
  // One byte per row, 1 where the row's value is flagged "IsInvalid".
  std::vector<std::uint8_t> is_invalid;
  // Every other value property, in order of first appearance. A name that a
  // slice repeats is kept as a second property of the same name.
  std::vector<JoinedProperty> properties;
};

struct VrexFile {
  std::uint8_t major_version = 0;
  std::uint8_t minor_version = 0;
  std::vector<MetadataEntry> metadata;
  std::vector<PropertyDescriptor> descriptors;
  // Name and data type come from the fixed "Name" and "DataType" properties;
  // `properties` holds the column's values of the other descriptors, each
  // with the descriptor's default.
  std::vector<ColumnMetadata> columns;
  std::vector<ColumnData> data;           // parallel to `columns`
  std::vector<std::uint64_t> slice_rows;  // rows of each table slice
  std::uint64_t num_rows = 0;
};

struct ReadOptions {
  // Threads that decode columns side by side, the calling one included; the
  // result, and the error for a bad file, are the same for every count.
  unsigned threads = 1;
  // Smaller files are read on the calling thread: starting a thread costs
  // about what decoding 50 KB does.
  std::size_t smallest_read_apart = std::size_t{1} << 20;
};

Result<VrexFile, VrexError> read_vrex(std::span<const std::uint8_t> file, ReadOptions options = {});

// An empty array alternative of `type`; also the shape of every column.
Object empty_array_of(ValueType type);

}  // namespace vrex
