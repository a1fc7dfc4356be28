// The body of the TableMetadata section: table-level entries, the column
// count, the column property descriptors, and each column's value for every
// descriptor.
#include <algorithm>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "vrex/writer.h"
#include "vrex/writer_internal.h"

namespace vrex {

using namespace writer_internal;

namespace {

using Kind = VrexError::Kind;

constexpr std::string_view kNameProperty = "Name";
constexpr std::string_view kDataTypeProperty = "DataType";

// A column property as announced once for the whole table. Name and default
// point into the TableMetadata, which outlives the descriptor list.
struct Descriptor {
  std::string_view name;
  ValueType type;
  const Object* default_value;  // null when there is none
  std::size_t order;            // position among all gathered descriptors
};

// Every distinct property name once, in the order of its first appearance,
// with the type and default of that first appearance. Sorting by (name,
// order) puts each name's first appearance ahead of its repeats, one pass
// drops the repeats, and a sort by order restores appearance order.
Result<std::vector<Descriptor>, VrexError> build_descriptors(
    const std::vector<ColumnMetadata>& columns) {
  std::vector<Descriptor> descriptors;
  // Every column starts with the two fixed descriptors; only the first
  // column's pair can survive deduplication, so the others are not gathered.
  // The result is the same, and a header of a million columns sorts two
  // descriptors instead of two million.
  std::size_t gathered = columns.empty() ? 0 : 2;
  for (const ColumnMetadata& column : columns) gathered += column.properties.size();
  descriptors.reserve(gathered);
  for (const ColumnMetadata& column : columns) {
    if (descriptors.empty()) {
      descriptors.push_back({kNameProperty, ValueType::String, nullptr, 0});
      descriptors.push_back({kDataTypeProperty, ValueType::Binary, nullptr, 1});
    }
    for (const Metadata& property : column.properties) {
      const Object* default_value = property.default_value ? &*property.default_value : nullptr;
      descriptors.push_back(
          {property.name, type_of(property.value), default_value, descriptors.size()});
    }
  }
  if (descriptors.size() < 2) return descriptors;

  // string_view compares bytes as unsigned values, a prefix before the
  // longer name that starts with it.
  std::sort(descriptors.begin(), descriptors.end(), [](const Descriptor& a, const Descriptor& b) {
    if (int order = a.name.compare(b.name); order != 0) return order < 0;
    return a.order < b.order;
  });
  auto repeats = std::unique(
      descriptors.begin(), descriptors.end(),
      [](const Descriptor& kept, const Descriptor& next) { return kept.name == next.name; });
  descriptors.erase(repeats, descriptors.end());
  if (descriptors.size() > kMaxCount) return fail(Kind::TooManyMetadata);
  std::sort(descriptors.begin(), descriptors.end(),
            [](const Descriptor& a, const Descriptor& b) { return a.order < b.order; });
  return descriptors;
}

// A name as a count field and its bytes, after the length check.
WriteStatus append_name(ByteBuffer& output, std::string_view name) {
  if (name.size() > kMaxCount) return fail(Kind::StringTooLong);
  std::uint8_t* place = output.append_uninitialized(4 + name.size());
  place = store_le(place, static_cast<std::int32_t>(name.size()));
  if (!name.empty()) std::memcpy(place, name.data(), name.size());
  return {};
}

// The table-level entries, then the column count.
WriteStatus write_entries_and_column_count(VrexWriter& writer, std::span<const Metadata> entries,
                                           std::size_t column_count) {
  ByteBuffer& output = writer.output();
  if (entries.size() > kMaxCount) return fail(Kind::TooManyMetadata);
  append_count(output, entries.size());
  for (const Metadata& entry : entries) {
    VREX_TRY(append_name(output, entry.name));
    output.push_back(to_byte(type_of(entry.value)));
    output.push_back(1);
    VREX_TRY(writer.write_object(entry.value, /*packed=*/false));
    if (entry.default_value) {
      output.push_back(1);
      VREX_TRY(writer.write_object(*entry.default_value, /*packed=*/false));
    } else {
      output.push_back(0);
    }
  }
  if (column_count > kMaxCount) return fail(Kind::TooManyColumns);
  append_count(output, column_count);
  return {};
}

WriteStatus write_descriptors(VrexWriter& writer, std::span<const Descriptor> descriptors) {
  ByteBuffer& output = writer.output();
  append_count(output, descriptors.size());
  for (const Descriptor& descriptor : descriptors) {
    VREX_TRY(append_name(output, descriptor.name));
    output.push_back(to_byte(descriptor.type));
    if (descriptor.default_value != nullptr) {
      output.push_back(1);
      VREX_TRY(writer.write_object(*descriptor.default_value, /*packed=*/false));
    } else {
      output.push_back(0);
    }
  }
  return {};
}

}  // namespace

WriteStatus VrexWriter::write_table_metadata(const TableMetadata& table) {
  VREX_TRY(write_entries_and_column_count(*this, table.metadata, table.columns.size()));
  auto descriptors = build_descriptors(table.columns);
  if (!descriptors) return Unexpected{descriptors.error()};
  VREX_TRY(write_descriptors(*this, *descriptors));

  // With no columns there are no descriptors either, so this writes nothing.
  for (const ColumnMetadata& column : table.columns) {
    for (const Descriptor& descriptor : *descriptors) {
      std::optional<ColumnValue> value = column.get(descriptor.name);
      if (!value) {
        output_->push_back(0);
        continue;
      }
      output_->push_back(1);
      VREX_TRY(write_object(**value, /*packed=*/false));
    }
  }
  return {};
}

WriteStatus VrexWriter::write_table_metadata(std::span<const Metadata> entries,
                                             const TextArray& names,
                                             std::span<const ValueType> types) {
  VREX_TRY(write_entries_and_column_count(*this, entries, names.size()));
  if (names.empty()) {
    append_count(*output_, 0);
    return {};
  }
  // Every column has the two fixed properties and nothing else, so the
  // descriptors are those two, and each column gives its name and its type.
  const Descriptor fixed[] = {{kNameProperty, ValueType::String, nullptr, 0},
                              {kDataTypeProperty, ValueType::Binary, nullptr, 1}};
  VREX_TRY(write_descriptors(*this, fixed));
  for (std::size_t column = 0; column < names.size(); ++column) {
    output_->push_back(1);
    VREX_TRY(append_name(*output_, names[column]));
    std::uint8_t* place = output_->append_uninitialized(6);
    place[0] = 1;
    place = store_le(place + 1, std::int32_t{1});
    *place = to_byte(types[column]);
  }
  return {};
}

}  // namespace vrex
