#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vrex/error.h"

namespace vrex {
namespace {

using Kind = VrexError::Kind;

struct ErrorText {
  VrexError error;
  std::string text;
};

TEST(ErrorTextTest, EveryVariantDisplaysItsText) {
  const std::vector<ErrorText> cases = {
      {Kind::InvalidBytes, "invalid bytes"},
      {Kind::InvalidInt, "invalid int"},
      {Kind::InvalidLong, "invalid long"},
      {Kind::InvalidFloat, "invalid float"},
      {Kind::InvalidDouble, "invalid double"},
      {Kind::InvalidString, "invalid string"},
      {Kind::InvalidBool, "invalid bool"},
      {VrexError::invalid_section_id(200), "invalid section id 200"},
      {VrexError::wrong_section_id(SectionType::TableSlice, SectionType::ColumnSlice),
       "wrong section id, expected TableSlice, got ColumnSlice"},
      {Kind::MagicNumberMismatch, "magic number mismatch"},
      {VrexError::unsupported_version(1, 0), "unsupported version 1.0"},
      {Kind::InvalidSize, "invalid size"},
      {Kind::MetadataValueArrayLength, "metadata value array length must be zero or one"},
      {Kind::InvalidValueType, "invalid value type"},
      {Kind::UnknownTypeId, "unknown type id"},
      {Kind::InvalidObject, "invalid object"},
      {Kind::InvalidMetadata, "invalid metadata"},
      {Kind::ColumnCountMismatch, "column count mismatch"},
      {Kind::InvalidEncoding, "invalid encoding"},
      {Kind::StringTooLong, "string too long"},
      {Kind::BytesTooLong, "bytes too long"},
      {Kind::TooManyColumns, "too many columns"},
      {Kind::TooManyMetadata, "too many metadata"},
      {Kind::TooManyProperties, "too many properties"},
      {Kind::TooManyValuesInArray, "too many values in array"},
      {Kind::InvalidRunLengthEncodedObject, "invalid run-length encoded object"},
  };
  ASSERT_EQ(cases.size(), 26u);
  for (std::size_t index = 0; index < cases.size(); ++index) {
    EXPECT_EQ(static_cast<std::size_t>(cases[index].error.kind()), index);
    EXPECT_EQ(cases[index].error.display_text(), cases[index].text);
  }
}

TEST(ErrorTextTest, PayloadsAreFormattedInFull) {
  const std::vector<ErrorText> cases = {
      {VrexError::invalid_section_id(0), "invalid section id 0"},
      {VrexError::invalid_section_id(255), "invalid section id 255"},
      {VrexError::unsupported_version(12, 255), "unsupported version 12.255"},
      {VrexError::wrong_section_id(SectionType::FileHeader, SectionType::TableEnd),
       "wrong section id, expected FileHeader, got TableEnd"},
      {VrexError::wrong_section_id(SectionType::TableMetadata, SectionType::TableSlice),
       "wrong section id, expected TableMetadata, got TableSlice"},
  };
  for (const ErrorText& entry : cases) EXPECT_EQ(entry.error.display_text(), entry.text);
}

}  // namespace
}  // namespace vrex
