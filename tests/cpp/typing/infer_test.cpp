#include "typing/infer.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "support/padded_texts.h"

namespace vrex::ext {
namespace {

using namespace std::string_view_literals;

// Builds texts by appending (GCC 12 misreports std::string operator+ at -O3).
std::string joined(std::initializer_list<std::string_view> parts) {
  std::string text;
  for (std::string_view part : parts) text.append(part);
  return text;
}

TEST(ParseBool, ReadsTheTwoWordsInAnyCaseWithinWhiteSpace) {
  for (std::string_view text : {"true", "TRUE", "tRuE", " true ", "\x54rue", "\r\n\vtrue\f"}) {
    EXPECT_EQ(parse_bool(text), ParsedBool::True) << text;
  }
  for (std::string_view text : {"false", "FALSE", "  False\t", "fAlSe\x0b"}) {
    EXPECT_EQ(parse_bool(text), ParsedBool::False) << text;
  }
  // Bytes one bit away from a letter do not fold: only ASCII letters do.
  for (std::string_view text :
       {""sv,       "   "sv,     "1"sv,          "0"sv,        "yes"sv,
        "no"sv,     "t"sv,       "f"sv,          "on"sv,       "off"sv,
        "true."sv,  "tru"sv,     "truee"sv,      "fals"sv,     "t rue"sv,
        "true\0"sv, "\x14rue"sv, "tr\xd5\x65"sv, "TRUE\xc2"sv, "\xe2\x84\xaarue"sv}) {
    EXPECT_EQ(parse_bool(text), ParsedBool::None) << text;
  }
}

TEST(ParseBool, TrimsEveryUnicodeWhiteSpaceCharacterAndNoOther) {
  const std::string_view white_space[] = {
      "\x09",         "\x0a",         "\x0b",
      "\x0c",         "\x0d",         " ",
      "\xc2\x85",     "\xc2\xa0",     "\xe1\x9a\x80",
      "\xe2\x80\x80", "\xe2\x80\x81", "\xe2\x80\x82",
      "\xe2\x80\x83", "\xe2\x80\x84", "\xe2\x80\x85",
      "\xe2\x80\x86", "\xe2\x80\x87", "\xe2\x80\x88",
      "\xe2\x80\x89", "\xe2\x80\x8a", "\xe2\x80\xa8",
      "\xe2\x80\xa9", "\xe2\x80\xaf", "\xe2\x81\x9f",
      "\xe3\x80\x80",
  };
  for (std::string_view space : white_space) {
    const std::string before = joined({space, "true"});
    const std::string after = joined({"FALSE", space});
    const std::string both = joined({space, space, "True", space});
    SCOPED_TRACE(before);
    EXPECT_EQ(parse_bool(before), ParsedBool::True);
    EXPECT_EQ(parse_bool(after), ParsedBool::False);
    EXPECT_EQ(parse_bool(both), ParsedBool::True);
    EXPECT_EQ(parse_bool(space), ParsedBool::None);
  }
  // Neighbours of the set: zero width space, word joiner, byte order mark,
  // U+001C..U+001F, U+180E, U+200B, the narrow no-break space's neighbours.
  const std::string_view not_white_space[] = {
      "\x1c",         "\x1f",         "\xe2\x80\x8b", "\xe2\x81\xa0", "\xef\xbb\xbf",
      "\xe1\xa0\x8e", "\xe2\x80\xae", "\xe2\x80\xb0", "\xe2\x81\x9e", "\xe3\x80\x81",
      "\xc2\x84",     "\xc2\xa1",     "\x85",         "\xa0",         "\x80",
  };
  for (std::string_view other : not_white_space) {
    SCOPED_TRACE(std::string(other));
    EXPECT_EQ(parse_bool(joined({other, "true"})), ParsedBool::None);
    EXPECT_EQ(parse_bool(joined({"true", other})), ParsedBool::None);
  }
}

struct InferCase {
  std::vector<std::string_view> texts;
  ValueType expected;
};

TEST(InferType, TakesTheFirstRungThatEveryNonEmptyTextSatisfies) {
  const InferCase cases[] = {
      {{}, ValueType::String},
      {{"", "", ""}, ValueType::String},
      {{"true", "", "FALSE"}, ValueType::Bool},
      {{" true ", "TRUE"}, ValueType::Bool},
      {{"12", "", "-3"}, ValueType::Int},
      {{"1", "0"}, ValueType::Int},
      {{"1", " 2"}, ValueType::String},
      {{"1", "2", "   "}, ValueType::String},
      {{"true", " "}, ValueType::String},
      {{"1", "2147483648"}, ValueType::Long},
      {{"1", "-2147483649"}, ValueType::Long},
      {{"1", "9223372036854775808"}, ValueType::Double},
      {{"1", "-9223372036854775809"}, ValueType::Double},
      {{"-9223372036854775808"}, ValueType::Long},
      {{"1", "2.5"}, ValueType::Double},
      {{"1", "abc"}, ValueType::String},
      {{"-2147483648"}, ValueType::Int},
      {{"2147483647"}, ValueType::Int},
      {{"00000000000000000002147483647"}, ValueType::Int},
      {{"007"}, ValueType::Int},
      {{"-0000", "+0"}, ValueType::Int},
      {{"+"}, ValueType::String},
      {{"-"}, ValueType::String},
      {{"+-1"}, ValueType::String},
      {{"--5"}, ValueType::String},
      {{"nan", "inf", "-Infinity"}, ValueType::Double},
      {{"NaN", "INF", "+infinity"}, ValueType::Double},
      {{"infin"}, ValueType::String},
      {{"nan1"}, ValueType::String},
      {{"nan(1)"}, ValueType::String},
      {{".5", "5."}, ValueType::Double},
      {{"."}, ValueType::String},
      {{"1e5", "2.5E-3", "1e+05"}, ValueType::Double},
      {{"1e"}, ValueType::String},
      {{"1e+"}, ValueType::String},
      {{"e5"}, ValueType::String},
      {{"1e999", "1e-999"}, ValueType::Double},
      {{"1_000"}, ValueType::String},
      {{"1,5"}, ValueType::String},
      {{"0x10"}, ValueType::String},
      {{"0x1p3"}, ValueType::String},
      {{"1.5 "}, ValueType::String},
      {{"2024-01-31"}, ValueType::String},
      // A text rejected by an early rung does not stop later rungs from
      // starting over at the first text.
      {{"true", "1"}, ValueType::String},
      {{"1", "1.5", "2"}, ValueType::Double},
      // Short numbers after the first text, where only the narrowest rung
      // still possible is asked.
      {{"1", "123456789", "-12345678"}, ValueType::Int},
      {{"1", "1234567890"}, ValueType::Int},
      {{"1", "2147483648", "9999999999999999"}, ValueType::Long},
      {{"1", "2147483648", "-99999999999999999"}, ValueType::Long},
      {{"1", "2147483648", "1.5"}, ValueType::Double},
      {{"2.5", "+.5", "-5.", "0"}, ValueType::Double},
      {{"2.5", "12345678901234567"}, ValueType::Double},
      {{"1.5", "1.5.5"}, ValueType::String},
      {{"2.5", "."}, ValueType::String},
      {{"2.5", "-"}, ValueType::String},
      {{"2.5", "1-5"}, ValueType::String},
      {{"2.5", "1.5e"}, ValueType::String},
  };
  for (const InferCase& c : cases) {
    std::string trace;
    for (std::string_view text : c.texts) trace.append(joined({"'", text, "' "}));
    SCOPED_TRACE(trace);
    EXPECT_EQ(infer_type(c.texts), c.expected);
    testing::PaddedTexts padded(c.texts);
    TypeInference by_blocks;
    by_blocks.add(padded.texts());
    EXPECT_EQ(by_blocks.type(), c.expected);
  }
}

// Texts fed a few at a time, cut anywhere, give the answer of the plain
// inference over all of them; so do the same texts padded, which short
// numbers are checked in by blocks (their neighbours' digits past each end).
TEST(TypeInference, AgreesWithThePlainInferenceOnRandomTexts) {
  const std::string_view pieces[] = {
      "1",   "0", "9",   "-",        "+",    ".",          "e",
      "E",   "5", " ",   "\t",       "true", "FALSE",      "nan",
      "inf", "x", "007", "12345678", "-1.5", "2147483648", "9223372036854775808",
      ""};
  std::mt19937_64 random(20261208);
  for (int trial = 0; trial < 20000; ++trial) {
    std::vector<std::string> owned(random() % 6);
    for (std::string& text : owned) {
      for (std::size_t count = random() % 4; count > 0; --count) {
        text += pieces[random() % std::size(pieces)];
      }
    }
    const std::vector<std::string_view> texts(owned.begin(), owned.end());
    const std::size_t cut = texts.empty() ? 0 : random() % (texts.size() + 1);
    TypeInference inference;
    inference.add(std::span(texts).first(cut));
    inference.add(std::span(texts).subspan(cut));
    std::string trace;
    for (std::string_view text : texts) trace.append(joined({"'", text, "' "}));
    const ValueType expected = infer_type(texts);
    ASSERT_EQ(inference.type(), expected) << trace;
    testing::PaddedTexts padded(texts);
    TypeInference by_blocks;
    by_blocks.add(padded.texts().first(cut));
    by_blocks.add(padded.texts().subspan(cut));
    ASSERT_EQ(by_blocks.type(), expected) << trace;
  }
}

}  // namespace
}  // namespace vrex::ext
