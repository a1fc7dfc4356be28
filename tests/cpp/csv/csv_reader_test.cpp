// The reader's behaviour, case by case, on every splitting path.
#include "csv/csv_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vrex::ext {
namespace {

using Records = std::vector<std::vector<std::string>>;

std::span<const std::uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::vector<std::string> copy_fields(const CsvReader& reader) {
  return {reader.fields().begin(), reader.fields().end()};
}

// The header and every data record, or the text of the first error with the
// stage prefix the conversion puts in front of it.
struct Outcome {
  Records records;
  std::string error;

  bool operator==(const Outcome&) const = default;
};

Outcome read_all(std::string_view input, CsvScan scan) {
  CsvReader reader(bytes_of(input), scan);
  Outcome outcome;
  if (auto header = reader.read_header(); !header) {
    outcome.error = "CSV header error: " + header.error().text();
    return outcome;
  }
  outcome.records.push_back(copy_fields(reader));
  for (;;) {
    auto more = reader.read_record();
    if (!more) {
      outcome.error = "CSV parse error: " + more.error().text();
      return outcome;
    }
    if (!*more) return outcome;
    outcome.records.push_back(copy_fields(reader));
  }
}

constexpr CsvScan kScans[] = {CsvScan::Reference, CsvScan::Sse2, CsvScan::Avx2, CsvScan::Avx512};

struct Case {
  std::string_view name;
  std::string input;
  Records records;    // header first
  std::string error;  // empty when the input reads without error
};

void expect_cases(const std::vector<Case>& cases) {
  for (const Case& test : cases) {
    for (CsvScan scan : kScans) {
      SCOPED_TRACE(std::string(test.name) + " / scan " + std::to_string(static_cast<int>(scan)));
      const Outcome outcome = read_all(test.input, scan);
      EXPECT_EQ(outcome.records, test.records);
      EXPECT_EQ(outcome.error, test.error);
    }
  }
}

const std::string kBom = "\xEF\xBB\xBF";
const Records kNoRecord = {{}};

TEST(CsvReader, ReadsWellFormedInput) {
  expect_cases({
      {"empty input", "", kNoRecord, ""},
      {"only blank lines", "\r\n\n\r\r\n", kNoRecord, ""},
      {"only a byte-order mark", kBom, kNoRecord, ""},
      {"byte-order mark and blank lines", kBom + "\n\n", kNoRecord, ""},
      {"no final terminator", "a,b\n1,2", {{"a", "b"}, {"1", "2"}}, ""},
      {"CR LF with an empty line", "a,b\r\n\r\n1,2\r\n", {{"a", "b"}, {"1", "2"}}, ""},
      {"CR alone ends a record", "a\rb\rc", {{"a"}, {"b"}, {"c"}}, ""},
      {"blank lines before, between, after", "\n\r\na\n\n\nb\r\r\n", {{"a"}, {"b"}}, ""},
      {"no trimming", " a , b \n 1 ,2\t\n", {{" a ", " b "}, {" 1 ", "2\t"}}, ""},
      {"quoted comma, quotes and line breaks",
       "h\n\"x,\"\"y\"\"\"\n\"a\r\nb\",\"c\rd\"\n",
       {{"h"}, {"x,\"y\""}, {"a\r\nb", "c\rd"}},
       ""},
      {"any number of fields", "a,b\n1,2,3\n1\n", {{"a", "b"}, {"1", "2", "3"}, {"1"}}, ""},
      {"empty fields", ",\n,,\n\"\"\n", {{"", ""}, {"", "", ""}, {""}}, ""},
      {"trailing comma at the end", "a,", {{"a", ""}}, ""},
      {"backslash and number sign are bytes", "#a,\\\"\n", {{"#a", "\\\""}}, ""},
      {"byte-order mark is skipped", kBom + "a,b\n1,2\n", {{"a", "b"}, {"1", "2"}}, ""},
      {"later byte-order mark is content", "a\n" + kBom + "x\n", {{"a"}, {kBom + "x"}}, ""},
      {"multi-byte text",
       "h\n\xC3\xA9t\xC3\xA9,\xF0\x9F\x98\x80\n",
       {{"h"}, {"\xC3\xA9t\xC3\xA9", "\xF0\x9F\x98\x80"}},
       ""},
      {"NUL bytes are content", std::string("a\0b\n", 4), {{std::string("a\0b", 3)}}, ""},
  });
}

TEST(CsvReader, ReadsMalformedQuotingTheConventionalWay) {
  expect_cases({
      {"quote inside an unquoted field", "a\"b,c\"\n", {{"a\"b", "c\""}}, ""},
      {"doubled quote", "\"a\"\"b\"", {{"a\"b"}}, ""},
      {"text after the closing quote", "\"ab\"cd,e", {{"abcd", "e"}}, ""},
      {"quote after the continuation is a byte", "\"a\"b\"c", {{"ab\"c"}}, ""},
      {"continuation ends at a terminator", "\"a\"b\nc", {{"ab"}, {"c"}}, ""},
      {"quote not at the field start", " \"a,b\"", {{" \"a", "b\""}}, ""},
      {"never closed runs to the end", "h\n\"a,b\nc\r\nd", {{"h"}, {"a,b\nc\r\nd"}}, ""},
      {"never closed after a doubled quote", "\"a\"\"b\nc", {{"a\"b\nc"}}, ""},
      {"lone quote at the end", "a,\"", {{"a", ""}}, ""},
      {"closing quote is the last byte", "a,\"b\"", {{"a", "b"}}, ""},
      {"empty quoted then text", "\"\"x,y", {{"x", "y"}}, ""},
      {"three quotes", "\"\"\"", {{"\""}}, ""},
      {"four quotes", "\"\"\"\"", {{"\""}}, ""},
  });
}

// The figures of the error cases are the ones a user sees, positions and all.
TEST(CsvReader, ReportsInvalidUtf8WithTheRecordsPosition) {
  const std::string city = "Ann,Z\xFCrich";
  const std::string detail = "invalid utf-8: invalid UTF-8 in field 1 near byte index 1";
  const std::string parse = "CSV parse error: CSV parse error: ";
  expect_cases({
      {"LF endings",
       "name,city\n" + city + "\n",
       {{"name", "city"}},
       parse + "record 1 (line 2, field: 1, byte: 10): " + detail},
      {"CR LF endings",
       "name,city\r\n" + city + "\r\n",
       {{"name", "city"}},
       parse + "record 1 (line 1, field: 1, byte: 10): " + detail},
      {"byte-order mark counts",
       kBom + "name,city\n" + city + "\n",
       {{"name", "city"}},
       parse + "record 1 (line 2, field: 1, byte: 13): " + detail},
      {"empty lines after the header",
       "name,city\n\n\n" + city + "\n",
       {{"name", "city"}},
       parse + "record 1 (line 2, field: 1, byte: 10): " + detail},
      {"header",
       "a,\xFF"
       "b\n",
       {},
       "CSV header error: CSV parse error: record 0 (line 1, field: 1, byte: 0): invalid utf-8: "
       "invalid UTF-8 in field 1 near byte index 0"},
      {"header after blank lines and a late byte-order mark",
       "\n\n" + kBom + "a,\xFF\n",
       {},
       "CSV header error: CSV parse error: record 0 (line 1, field: 1, byte: 0): invalid utf-8: "
       "invalid UTF-8 in field 1 near byte index 0"},
      {"line feeds inside quotes count",
       "h\n\"a\nb\"\n\n\"\xC3\",x\n",
       {{"h"}, {"a\nb"}},
       "CSV parse error: CSV parse error: record 2 (line 4, field: 0, byte: 8): invalid utf-8: "
       "invalid UTF-8 in field 0 near byte index 0"},
      {"valid length counts unquoted content",
       "h\n\"a\"\"\xC3\xA9\xE0\x80\x80\"\n",
       {{"h"}},
       "CSV parse error: CSV parse error: record 1 (line 2, field: 0, byte: 2): invalid utf-8: "
       "invalid UTF-8 in field 0 near byte index 4"},
      {"first invalid field wins",
       "h\nok,\xC3\xA9\xC3,\xFF\n",
       {{"h"}},
       "CSV parse error: CSV parse error: record 1 (line 2, field: 1, byte: 2): invalid utf-8: "
       "invalid UTF-8 in field 1 near byte index 2"},
  });
}

TEST(CsvReader, ChecksUtf8Strictly) {
  struct Utf8Case {
    std::string_view name;
    std::string field;
    std::size_t valid;  // == field.size() when valid
  };

  const std::vector<Utf8Case> cases = {
      {"two bytes", "\xC2\x80\xDF\xBF", 4},
      {"three bytes", "\xE0\xA0\x80\xED\x9F\xBF\xEF\xBF\xBF", 9},
      {"four bytes", "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", 8},
      {"overlong two", "a\xC0\xAF", 1},
      {"overlong two C1", "a\xC1\xBF", 1},
      {"overlong three", "ab\xE0\x9F\xBF", 2},
      {"overlong four", "\xF0\x8F\xBF\xBF", 0},
      {"surrogate", "x\xED\xA0\x80", 1},
      {"above U+10FFFF", "\xF4\x90\x80\x80", 0},
      {"F5 lead", "\xF5\x80\x80\x80", 0},
      {"lone continuation", "\x80", 0},
      {"cut short at the end", "abc\xE2\x82", 3},
      {"cut short by ASCII",
       "\xE2\x82"
       "a",
       0},
      {"four cut short", "\xC3\xA9\xF0\x9F\x98", 2},
  };
  for (const Utf8Case& test : cases) {
    SCOPED_TRACE(test.name);
    const std::string input = "h\n\"" + test.field + "\"\n";
    for (CsvScan scan : kScans) {
      const Outcome outcome = read_all(input, scan);
      if (test.valid == test.field.size()) {
        EXPECT_EQ(outcome.error, "");
      } else {
        EXPECT_EQ(outcome.error,
                  "CSV parse error: CSV parse error: record 1 (line 2, field: 0, byte: 2): "
                  "invalid utf-8: invalid UTF-8 in field 0 near byte index " +
                      std::to_string(test.valid));
      }
    }
  }
}

TEST(CsvReader, ReportsEndOfInputAgainAndAgain) {
  for (CsvScan scan : kScans) {
    CsvReader reader(bytes_of("a\n1\n"), scan);
    ASSERT_TRUE(reader.read_header());
    ASSERT_TRUE(*reader.read_record());
    for (int i = 0; i < 3; ++i) {
      auto more = reader.read_record();
      ASSERT_TRUE(more);
      EXPECT_FALSE(*more);
      EXPECT_TRUE(reader.fields().empty());
    }
  }
}

TEST(CsvReader, GoesOnAfterARecordThatFailed) {
  for (CsvScan scan : kScans) {
    CsvReader reader(bytes_of("h\n\xFF\nok\n"), scan);
    ASSERT_TRUE(reader.read_header());
    EXPECT_FALSE(reader.read_record());
    auto more = reader.read_record();
    ASSERT_TRUE(more);
    ASSERT_TRUE(*more);
    EXPECT_EQ(copy_fields(reader), std::vector<std::string>{"ok"});
  }
}

TEST(CsvReader, ReadsTheHeaderWhenAskedForARecordFirst) {
  CsvReader reader(bytes_of("a\n1\n"));
  ASSERT_TRUE(*reader.read_record());
  EXPECT_EQ(copy_fields(reader), std::vector<std::string>{"1"});
}

bool points_into(std::string_view field, std::string_view input) {
  return field.data() >= input.data() && field.data() + field.size() <= input.data() + input.size();
}

// The pipeline keeps views into the input and copies only the others.
TEST(CsvReader, GivesViewsIntoTheInputExceptForUnescapedFields) {
  const std::string input = "a,\"b,c\",\"d\"\"e\",\"f\"g,\"h\n";
  for (CsvScan scan : {CsvScan::Sse2, CsvScan::Avx2, CsvScan::Avx512}) {
    CsvReader reader(bytes_of(input), scan);
    ASSERT_TRUE(reader.read_header());
    const auto fields = reader.fields();
    ASSERT_EQ(fields.size(), 5u);
    EXPECT_TRUE(points_into(fields[0], input));
    EXPECT_TRUE(points_into(fields[1], input));
    EXPECT_FALSE(points_into(fields[2], input));
    EXPECT_EQ(fields[2], "d\"e");
    EXPECT_FALSE(points_into(fields[3], input));
    EXPECT_EQ(fields[3], "fg");
    EXPECT_TRUE(points_into(fields[4], input));
    EXPECT_EQ(fields[4], "h\n");
  }
}

}  // namespace
}  // namespace vrex::ext
