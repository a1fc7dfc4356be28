// The format's error enumeration: 26 variants, each with a fixed display text.
#pragma once

#include <cstdint>
#include <string>

#include "vrex/enums.h"

namespace vrex {

class VrexError {
 public:
  enum class Kind : std::uint8_t {
    InvalidBytes = 0,
    InvalidInt = 1,
    InvalidLong = 2,
    InvalidFloat = 3,
    InvalidDouble = 4,
    InvalidString = 5,
    InvalidBool = 6,
    InvalidSectionId = 7,
    WrongSectionId = 8,
    MagicNumberMismatch = 9,
    UnsupportedVersion = 10,
    InvalidSize = 11,
    MetadataValueArrayLength = 12,
    InvalidValueType = 13,
    UnknownTypeId = 14,
    InvalidObject = 15,
    InvalidMetadata = 16,
    ColumnCountMismatch = 17,
    InvalidEncoding = 18,
    StringTooLong = 19,
    BytesTooLong = 20,
    TooManyColumns = 21,
    TooManyMetadata = 22,
    TooManyProperties = 23,
    TooManyValuesInArray = 24,
    InvalidRunLengthEncodedObject = 25,
  };

  constexpr VrexError() = default;

  // A variant without payload; the three with payload have their own makers.
  constexpr VrexError(Kind kind) : kind_(kind) {}  // NOLINT: implicit by design

  static constexpr VrexError invalid_section_id(std::uint8_t section_byte) {
    return {Kind::InvalidSectionId, section_byte, 0};
  }

  static constexpr VrexError wrong_section_id(SectionType expected, SectionType got) {
    return {Kind::WrongSectionId, to_byte(expected), to_byte(got)};
  }

  static constexpr VrexError unsupported_version(std::uint8_t major, std::uint8_t minor) {
    return {Kind::UnsupportedVersion, major, minor};
  }

  constexpr Kind kind() const noexcept { return kind_; }

  constexpr std::uint8_t first_payload() const noexcept { return first_; }

  constexpr std::uint8_t second_payload() const noexcept { return second_; }

  friend constexpr bool operator==(const VrexError&, const VrexError&) = default;

  std::string display_text() const;

 private:
  constexpr VrexError(Kind kind, std::uint8_t first, std::uint8_t second)
      : kind_(kind), first_(first), second_(second) {}

  Kind kind_ = Kind::InvalidBytes;
  std::uint8_t first_ = 0;
  std::uint8_t second_ = 0;
};

}  // namespace vrex
