// The enumerations whose numeric values are written into a file.
#pragma once

#include <cstdint>
#include <string_view>

namespace vrex {

// The one-byte type id of a value. Scalars and arrays of a type share the id.
enum class ValueType : std::uint8_t {
  Bool = 0x01,
  Int = 0x02,
  Long = 0x03,
  Float = 0x04,
  Double = 0x05,
  DateTime = 0x06,
  Date = 0x07,
  Time = 0x08,
  TimeSpan = 0x09,
  String = 0x0A,
  Binary = 0x0C,
  Decimal = 0x0D,
};

// The byte at the start of every value array.
enum class ArrayEncoding : std::uint8_t {
  Plain = 1,
  RunLength = 2,
  BitArray = 3,
};

// The byte after the two magic bytes of every section id.
enum class SectionType : std::uint8_t {
  FileHeader = 1,
  TableMetadata = 2,
  TableSlice = 3,
  ColumnSlice = 4,
  TableEnd = 5,
};

// The name under which a section type is displayed; empty for a byte that names none.
constexpr std::string_view section_type_name(SectionType type) noexcept {
  switch (type) {
    case SectionType::FileHeader:
      return "FileHeader";
    case SectionType::TableMetadata:
      return "TableMetadata";
    case SectionType::TableSlice:
      return "TableSlice";
    case SectionType::ColumnSlice:
      return "ColumnSlice";
    case SectionType::TableEnd:
      return "TableEnd";
  }
  return {};
}

constexpr std::uint8_t to_byte(ValueType type) noexcept { return static_cast<std::uint8_t>(type); }

constexpr std::uint8_t to_byte(ArrayEncoding encoding) noexcept {
  return static_cast<std::uint8_t>(encoding);
}

constexpr std::uint8_t to_byte(SectionType type) noexcept {
  return static_cast<std::uint8_t>(type);
}

// Whether `byte` is the id of a value type (0x0B and 0x0E.. are not).
constexpr bool is_value_type_id(std::uint8_t byte) noexcept {
  return (byte >= 0x01 && byte <= 0x0A) || byte == 0x0C || byte == 0x0D;
}

}  // namespace vrex
