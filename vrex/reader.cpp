#include "vrex/reader.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <numeric>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>

#include "vrex/reader_cursor.h"
#include "vrex/reader_sections.h"
#include "vrex/reader_skim.h"
#include "vrex/reader_values.h"

namespace vrex {

namespace {

using Kind = VrexError::Kind;

constexpr std::uint8_t kMagic0 = 0xA7;
constexpr std::uint8_t kMagic1 = 0x3C;
constexpr std::string_view kNameProperty = "Name";
constexpr std::string_view kDataTypeProperty = "DataType";
constexpr std::string_view kIsInvalidProperty = "IsInvalid";

Unexpected<VrexError> failure(Kind kind) { return Unexpected{VrexError(kind)}; }

ReadResult<SectionType> read_section_id(ReadCursor& cursor) {
  auto id = cursor.take(3);
  if (!id) return Unexpected{id.error()};
  if ((*id)[0] != kMagic0 || (*id)[1] != kMagic1) return failure(Kind::MagicNumberMismatch);
  const std::uint8_t type = (*id)[2];
  if (type < to_byte(SectionType::FileHeader) || type > to_byte(SectionType::TableEnd)) {
    return Unexpected{VrexError::invalid_section_id(type)};
  }
  return static_cast<SectionType>(type);
}

// A count byte of metadata: how many values follow, zero or one.
ReadResult<bool> read_presence(ReadCursor& cursor) {
  auto byte = cursor.read_byte();
  if (!byte) return Unexpected{byte.error()};
  if (*byte > 1) return failure(Kind::MetadataValueArrayLength);
  return *byte == 1;
}

ReadResult<std::optional<Object>> read_optional_value(ReadCursor& cursor, ValueType type) {
  auto present = read_presence(cursor);
  if (!present) return Unexpected{present.error()};
  if (!*present) return std::optional<Object>();
  auto value = read_unpacked_value(cursor, type);
  if (!value) return Unexpected{value.error()};
  return std::optional<Object>(std::move(*value));
}

ReadStatus read_metadata_entries(ReadCursor& cursor, std::vector<MetadataEntry>& entries) {
  auto count = cursor.read_count();
  if (!count) return Unexpected{count.error()};
  // An entry takes at least seven bytes; never reserve for bytes that are not there.
  entries.reserve(std::min<std::uint64_t>(*count, cursor.remaining() / 7));
  for (std::uint32_t index = 0; index < *count; ++index) {
    MetadataEntry entry;
    auto name = read_text(cursor);
    if (!name) return Unexpected{name.error()};
    entry.name = std::move(*name);
    auto type = read_type_id(cursor);
    if (!type) return Unexpected{type.error()};
    entry.type = *type;
    auto value = read_optional_value(cursor, entry.type);
    if (!value) return Unexpected{value.error()};
    entry.value = std::move(*value);
    auto default_value = read_optional_value(cursor, entry.type);
    if (!default_value) return Unexpected{default_value.error()};
    entry.default_value = std::move(*default_value);
    entries.push_back(std::move(entry));
  }
  return {};
}

ReadStatus read_descriptors(ReadCursor& cursor, std::uint32_t count,
                            std::vector<PropertyDescriptor>& descriptors) {
  descriptors.reserve(std::min<std::uint64_t>(count, cursor.remaining() / 6));
  for (std::uint32_t index = 0; index < count; ++index) {
    PropertyDescriptor descriptor;
    auto name = read_text(cursor);
    if (!name) return Unexpected{name.error()};
    descriptor.name = std::move(*name);
    auto type = read_type_id(cursor);
    if (!type) return Unexpected{type.error()};
    descriptor.type = *type;
    auto default_value = read_optional_value(cursor, descriptor.type);
    if (!default_value) return Unexpected{default_value.error()};
    descriptor.default_value = std::move(*default_value);
    descriptors.push_back(std::move(descriptor));
  }
  return {};
}

// Index of the first descriptor called `name`, or the descriptor count.
std::size_t find_descriptor(const std::vector<PropertyDescriptor>& descriptors,
                            std::string_view name) {
  std::size_t index = 0;
  while (index < descriptors.size() && descriptors[index].name != name) ++index;
  return index;
}

// The column's name and data type are its values of the two fixed
// properties; every other value becomes one of its properties.
ReadStatus read_column(ReadCursor& cursor, const std::vector<PropertyDescriptor>& descriptors,
                       std::size_t name_at, std::size_t data_type_at, ColumnMetadata& column) {
  bool has_name = false;
  bool has_data_type = false;
  for (std::size_t index = 0; index < descriptors.size(); ++index) {
    const PropertyDescriptor& descriptor = descriptors[index];
    auto value = read_optional_value(cursor, descriptor.type);
    if (!value) return Unexpected{value.error()};
    if (!*value) continue;
    if (index == name_at) {
      column.name = std::move(std::get<object::String>(**value).value);
      has_name = true;
    } else if (index == data_type_at) {
      const std::string& id = std::get<object::Binary>(**value).value;
      if (id.size() != 1) return failure(Kind::InvalidMetadata);
      if (!is_value_type_id(static_cast<std::uint8_t>(id[0]))) {
        return failure(Kind::UnknownTypeId);
      }
      column.data_type = static_cast<ValueType>(static_cast<std::uint8_t>(id[0]));
      has_data_type = true;
    } else {
      column.properties.push_back({descriptor.name, std::move(**value), descriptor.default_value});
    }
  }
  if (!has_name || !has_data_type) return failure(Kind::InvalidMetadata);
  return {};
}

ReadStatus read_table_metadata(ReadCursor& cursor, VrexFile& file) {
  VREX_TRY(read_metadata_entries(cursor, file.metadata));
  auto column_count = cursor.read_count();
  if (!column_count) return Unexpected{column_count.error()};
  auto descriptor_count = cursor.read_count();
  if (!descriptor_count) return Unexpected{descriptor_count.error()};
  VREX_TRY(read_descriptors(cursor, *descriptor_count, file.descriptors));
  if (*column_count == 0) return {};

  // Every column needs its name and data type.
  const std::size_t name_at = find_descriptor(file.descriptors, kNameProperty);
  const std::size_t data_type_at = find_descriptor(file.descriptors, kDataTypeProperty);
  if (name_at == file.descriptors.size() || data_type_at == file.descriptors.size()) {
    return failure(Kind::InvalidMetadata);
  }
  if (file.descriptors[name_at].type != ValueType::String ||
      file.descriptors[data_type_at].type != ValueType::Binary) {
    return failure(Kind::InvalidMetadata);
  }
  // One presence byte per column and descriptor at the least.
  if (static_cast<std::uint64_t>(*column_count) * file.descriptors.size() > cursor.remaining()) {
    return failure(Kind::InvalidSize);
  }
  file.columns.resize(*column_count);
  for (ColumnMetadata& column : file.columns) {
    VREX_TRY(read_column(cursor, file.descriptors, name_at, data_type_at, column));
  }
  return {};
}

// Placeholders are the one thing a reader makes that the file does not hold:
// a property named once stands for a value in every row. They are held to a
// multiple of the values read, so a small file cannot claim a huge table.
class PlaceholderBudget {
 public:
  void add_values(std::uint64_t count) noexcept { values_ += count; }

  // Filling in nothing still costs one, so that many empty slices cannot make
  // the reader walk a long list of properties for each of them.
  ReadStatus spend(std::uint64_t count) noexcept {
    placeholders_ += std::max<std::uint64_t>(count, 1);
    if (placeholders_ > kPerValue * values_ + kAlways) {
      return Unexpected{VrexError(Kind::InvalidSize)};
    }
    return {};
  }

 private:
  static constexpr std::uint64_t kPerValue = 16;
  static constexpr std::uint64_t kAlways = std::uint64_t{1} << 20;
  std::uint64_t values_ = 0;
  std::uint64_t placeholders_ = 0;
};

// Where each further property of a column went: a name's k-th property in a
// column slice joins the k-th joined property of that name.
using JoinedIndex = std::unordered_map<std::string, std::vector<std::size_t>>;

struct SliceState {
  PlaceholderBudget* budget = nullptr;
  std::uint64_t rows_before = 0;      // rows of the earlier slices
  std::optional<std::uint64_t> rows;  // rows of this slice, from its first column
};

// How often each property name has come up in one column slice.
using NameCounts = std::unordered_map<std::string, std::size_t>;

ReadStatus read_value_property(ReadCursor& cursor, ColumnData& column, JoinedIndex& joined_index,
                               SliceState& slice, NameCounts& names_seen,
                               std::vector<std::uint8_t>& joined_seen) {
  auto name = read_text(cursor);
  if (!name) return Unexpected{name.error()};
  auto header = read_value_array_header(cursor);
  if (!header) return Unexpected{header.error()};
  std::size_t occurrence = names_seen[*name]++;
  const std::uint64_t rows = *slice.rows;

  if (*name == kIsInvalidProperty && occurrence == 0) {
    if (header->type != ValueType::Bool) return failure(Kind::InvalidValueType);
    Object flags(BoolArray{std::move(column.is_invalid)});
    auto count = append_value_array(cursor, *header, flags);
    column.is_invalid = std::move(std::get<BoolArray>(flags).values);
    if (!count) return Unexpected{count.error()};
    if (*count != rows) return failure(Kind::InvalidSize);
    return {};
  }
  if (*name == kIsInvalidProperty) --occurrence;  // the first one is held apart

  std::vector<std::size_t>& same_name = joined_index[*name];
  if (occurrence == same_name.size()) {
    VREX_TRY(slice.budget->spend(slice.rows_before));
    same_name.push_back(column.properties.size());
    JoinedProperty joined{*name, empty_array_of(header->type), {}};
    append_placeholders(joined.values, slice.rows_before);
    joined.present.resize(slice.rows_before, 0);
    column.properties.push_back(std::move(joined));
    joined_seen.push_back(0);
  }
  const std::size_t at = same_name[occurrence];
  JoinedProperty& joined = column.properties[at];
  auto count = append_value_array(cursor, *header, joined.values);
  if (!count) return Unexpected{count.error()};
  if (*count != rows) return failure(Kind::InvalidSize);
  joined.present.resize(joined.present.size() + rows, 1);
  joined_seen[at] = 1;
  return {};
}

void reserve_column(ColumnData& column, const ColumnExtent& extent) {
  reserve_values(column.values, extent.rows, extent.text_bytes);
  column.is_invalid.reserve(extent.rows);
}

ReadStatus read_column_slice(ReadCursor& cursor, ColumnData& column, JoinedIndex& joined_index,
                             const ColumnExtent* extent, bool first_slice, SliceState& slice) {
  VREX_TRY(expect_section(cursor, SectionType::ColumnSlice));
  auto header = read_value_array_header(cursor);
  if (!header) return Unexpected{header.error()};
  // The first slice may carry another type than the column declares (texts
  // of a type without a reading of its own); every later one must match it.
  if (first_slice && header->type != type_of(column.values)) {
    column.values = empty_array_of(header->type);
    if (extent != nullptr) reserve_values(column.values, extent->rows, extent->text_bytes);
  }
  auto rows = append_value_array(cursor, *header, column.values);
  if (!rows) return Unexpected{rows.error()};
  if (!slice.rows) slice.rows = *rows;
  if (*rows != *slice.rows) return failure(Kind::InvalidSize);
  slice.budget->add_values(*rows);

  auto property_count = cursor.read_count();
  if (!property_count) return Unexpected{property_count.error()};
  NameCounts names_seen;
  const std::size_t invalid_before = column.is_invalid.size();
  std::vector<std::uint8_t> joined_seen(column.properties.size(), 0);
  for (std::uint32_t index = 0; index < *property_count; ++index) {
    VREX_TRY(read_value_property(cursor, column, joined_index, slice, names_seen, joined_seen));
  }
  // Rows of a slice without flags are valid; properties a slice lacks get
  // placeholders marked absent.
  if (column.is_invalid.size() == invalid_before) {
    column.is_invalid.resize(invalid_before + *rows, 0);
  }
  for (std::size_t index = 0; index < column.properties.size(); ++index) {
    if (joined_seen[index]) continue;
    VREX_TRY(slice.budget->spend(*rows));
    JoinedProperty& joined = column.properties[index];
    append_placeholders(joined.values, *rows);
    joined.present.resize(joined.present.size() + *rows, 0);
  }
  return {};
}

ReadStatus read_table_slice(ReadCursor& cursor, VrexFile& file,
                            const std::vector<ColumnExtent>* extents,
                            std::vector<JoinedIndex>& joined_indexes, PlaceholderBudget& budget) {
  auto column_count = cursor.read_count();
  if (!column_count) return Unexpected{column_count.error()};
  if (*column_count != file.columns.size()) return failure(Kind::ColumnCountMismatch);
  SliceState slice;
  slice.budget = &budget;
  slice.rows_before = file.num_rows;
  const bool first_slice = file.slice_rows.empty();
  for (std::size_t index = 0; index < file.data.size(); ++index) {
    const ColumnExtent* extent = extents != nullptr ? &(*extents)[index] : nullptr;
    VREX_TRY(read_column_slice(cursor, file.data[index], joined_indexes[index], extent, first_slice,
                               slice));
  }
  const std::uint64_t rows = slice.rows.value_or(0);
  file.slice_rows.push_back(rows);
  file.num_rows += rows;
  return {};
}

// One column's slices decoded on their own: each must fill exactly the bytes
// the walk found for it. `rows` receives the rows of each slice.
ReadStatus read_column_apart(const SliceLayout& layout, std::size_t column, ColumnData& data,
                             const ColumnExtent& extent, std::vector<std::uint64_t>& rows) {
  JoinedIndex joined_index;
  PlaceholderBudget budget;
  rows.resize(layout.slice_count());
  for (std::size_t slice_index = 0; slice_index < layout.slice_count(); ++slice_index) {
    ReadCursor cursor(layout.column_slice(slice_index, column));
    SliceState slice;
    slice.budget = &budget;
    VREX_TRY(read_column_slice(cursor, data, joined_index, &extent, slice_index == 0, slice));
    if (cursor.remaining() != 0) return failure(Kind::InvalidSize);
    rows[slice_index] = *slice.rows;
  }
  return {};
}

// Decodes the columns on up to `threads` threads, each taking the next column
// not yet taken, the largest first so that no thread is left with a big one
// at the end. False when any column fails, or when the columns disagree on
// a slice's rows: the caller then reads the file in order, which finds the
// fault that comes first.
bool read_columns_apart(const SliceLayout& layout, const std::vector<ColumnExtent>& extents,
                        unsigned threads, VrexFile& file) {
  const std::size_t column_count = file.data.size();
  std::vector<std::vector<std::uint64_t>> rows(column_count);
  const bool read = read_columns_largest_first(extents, threads, [&](std::size_t column) {
    return static_cast<bool>(
        read_column_apart(layout, column, file.data[column], extents[column], rows[column]));
  });
  if (!read) return false;
  for (std::size_t column = 1; column < column_count; ++column) {
    if (rows[column] != rows[0]) return false;
  }
  file.slice_rows = std::move(rows[0]);
  for (std::uint64_t slice_rows : file.slice_rows) file.num_rows += slice_rows;
  return true;
}

}  // namespace

Object empty_array_of(ValueType type) {
  switch (type) {
    case ValueType::Bool:
      return BoolArray{};
    case ValueType::Int:
      return object::IntArray{};
    case ValueType::Long:
      return object::LongArray{};
    case ValueType::Float:
      return object::FloatArray{};
    case ValueType::Double:
      return object::DoubleArray{};
    case ValueType::DateTime:
      return object::DateTimeArray{};
    case ValueType::Date:
      return object::DateArray{};
    case ValueType::Time:
      return object::TimeArray{};
    case ValueType::TimeSpan:
      return object::TimeSpanArray{};
    case ValueType::String:
      return object::StringArray{};
    case ValueType::Binary:
      return object::BinaryArray{};
    case ValueType::Decimal:
      return object::DecimalArray{};
  }
  return object::StringArray{};
}

ReadStatus expect_section(ReadCursor& cursor, SectionType expected) {
  auto got = read_section_id(cursor);
  if (!got) return Unexpected{got.error()};
  if (*got != expected) return Unexpected{VrexError::wrong_section_id(expected, *got)};
  return {};
}

ReadStatus read_file_start(ReadCursor& cursor, VrexFile& file) {
  VREX_TRY(expect_section(cursor, SectionType::FileHeader));
  auto major = cursor.read_byte();
  if (!major) return Unexpected{major.error()};
  auto minor = cursor.read_byte();
  if (!minor) return Unexpected{minor.error()};
  if (*major != 1 || *minor != 0) {
    return Unexpected{VrexError::unsupported_version(*major, *minor)};
  }
  file.major_version = *major;
  file.minor_version = *minor;

  VREX_TRY(expect_section(cursor, SectionType::TableMetadata));
  return read_table_metadata(cursor, file);
}

Result<VrexFile, VrexError> read_vrex(std::span<const std::uint8_t> bytes, ReadOptions options) {
  ReadCursor cursor(bytes);
  VrexFile file;
  VREX_TRY(read_file_start(cursor, file));
  file.data.resize(file.columns.size());
  for (std::size_t index = 0; index < file.columns.size(); ++index) {
    file.data[index].values = empty_array_of(file.columns[index].data_type);
  }
  // Size every column once for all its slices.
  const bool apart =
      options.threads > 1 && file.columns.size() > 1 && bytes.size() >= options.smallest_read_apart;
  SliceLayout layout;
  // Where column slices average fewer bytes than this, decoding them apart
  // gains little and the layout would cost more memory than it is worth.
  constexpr std::size_t kSmallestAverageColumnSlice = 256;
  constexpr std::size_t kColumnSlicesAlwaysRecorded = 4096;
  layout.most_column_slices =
      std::max(bytes.size() / kSmallestAverageColumnSlice, kColumnSlicesAlwaysRecorded);
  const auto extents = skim_table_slices(cursor, file.columns.size(), apart ? &layout : nullptr);
  if (extents) {
    for (std::size_t index = 0; index < file.data.size(); ++index) {
      reserve_column(file.data[index], (*extents)[index]);
    }
  }
  // Columns without further properties share nothing but their slices' rows,
  // so they can be decoded side by side.
  if (apart && extents && layout.complete && layout.flags_only &&
      layout.table_end == bytes.data() + bytes.size()) {
    if (read_columns_apart(layout, *extents, options.threads, file)) return file;
    for (std::size_t index = 0; index < file.data.size(); ++index) {
      file.data[index] = ColumnData{empty_array_of(file.columns[index].data_type), {}, {}};
    }
  }

  PlaceholderBudget budget;
  std::vector<JoinedIndex> joined_indexes(file.columns.size());
  while (true) {
    auto section = read_section_id(cursor);
    if (!section) return Unexpected{section.error()};
    if (*section == SectionType::TableEnd) break;
    if (*section != SectionType::TableSlice) {
      return Unexpected{VrexError::wrong_section_id(SectionType::TableSlice, *section)};
    }
    VREX_TRY(read_table_slice(cursor, file, extents ? &*extents : nullptr, joined_indexes, budget));
  }
  // A file ends with its end marker.
  if (cursor.remaining() != 0) return failure(Kind::InvalidSize);
  return file;
}

}  // namespace vrex
