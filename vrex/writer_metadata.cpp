// The body of the TableMetadata section: table-level entries, the column
// count, the column property descriptors, and each column's value for every
// descriptor.
#include <algorithm>
#include <cstring>
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

}  // namespace

WriteStatus VrexWriter::write_table_metadata(const TableMetadata& table) {
  if (table.metadata.size() > kMaxCount) return fail(Kind::TooManyMetadata);
  append_count(*output_, table.metadata.size());
  for (const Metadata& entry : table.metadata) {
    VREX_TRY(append_name(*output_, entry.name));
    output_->push_back(to_byte(type_of(entry.value)));
    output_->push_back(1);
    VREX_TRY(write_object(entry.value, /*packed=*/false));
    if (entry.default_value) {
      output_->push_back(1);
      VREX_TRY(write_object(*entry.default_value, /*packed=*/false));
    } else {
      output_->push_back(0);
    }
  }

  if (table.columns.size() > kMaxCount) return fail(Kind::TooManyColumns);
  append_count(*output_, table.columns.size());

  auto descriptors = build_descriptors(table.columns);
  if (!descriptors) return Unexpected{descriptors.error()};
  append_count(*output_, descriptors->size());
  for (const Descriptor& descriptor : *descriptors) {
    VREX_TRY(append_name(*output_, descriptor.name));
    output_->push_back(to_byte(descriptor.type));
    if (descriptor.default_value != nullptr) {
      output_->push_back(1);
      VREX_TRY(write_object(*descriptor.default_value, /*packed=*/false));
    } else {
      output_->push_back(0);
    }
  }

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

}  // namespace vrex
