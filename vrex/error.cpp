#include "vrex/error.h"

#include <string_view>

namespace vrex {

namespace {

std::string section_name_or_number(std::uint8_t byte) {
  std::string_view name = section_type_name(static_cast<SectionType>(byte));
  return name.empty() ? std::to_string(byte) : std::string(name);
}

}  // namespace

std::string VrexError::display_text() const {
  switch (kind_) {
    case Kind::InvalidBytes:
      return "invalid bytes";
    case Kind::InvalidInt:
      return "invalid int";
    case Kind::InvalidLong:
      return "invalid long";
    case Kind::InvalidFloat:
      return "invalid float";
    case Kind::InvalidDouble:
      return "invalid double";
    case Kind::InvalidString:
      return "invalid string";
    case Kind::InvalidBool:
      return "invalid bool";
    case Kind::InvalidSectionId:
      return "invalid section id " + std::to_string(first_);
    case Kind::WrongSectionId:
      return "wrong section id, expected " + section_name_or_number(first_) + ", got " +
             section_name_or_number(second_);
    case Kind::MagicNumberMismatch:
      return "magic number mismatch";
    case Kind::UnsupportedVersion:
      return "unsupported version " + std::to_string(first_) + "." + std::to_string(second_);
    case Kind::InvalidSize:
      return "invalid size";
    case Kind::MetadataValueArrayLength:
      return "metadata value array length must be zero or one";
    case Kind::InvalidValueType:
      return "invalid value type";
    case Kind::UnknownTypeId:
      return "unknown type id";
    case Kind::InvalidObject:
      return "invalid object";
    case Kind::InvalidMetadata:
      return "invalid metadata";
    case Kind::ColumnCountMismatch:
      return "column count mismatch";
    case Kind::InvalidEncoding:
      return "invalid encoding";
    case Kind::StringTooLong:
      return "string too long";
    case Kind::BytesTooLong:
      return "bytes too long";
    case Kind::TooManyColumns:
      return "too many columns";
    case Kind::TooManyMetadata:
      return "too many metadata";
    case Kind::TooManyProperties:
      return "too many properties";
    case Kind::TooManyValuesInArray:
      return "too many values in array";
    case Kind::InvalidRunLengthEncodedObject:
      return "invalid run-length encoded object";
  }
  return "unknown error";
}

}  // namespace vrex
