// Third-party CSV files: parser test suites with their expected parses, real
// data sets and hostile inputs. Every file must read without a crash, the
// fast path must agree with the reference, and the facts the corpus manifest
// records (column and row counts, the first invalid UTF-8 field) must hold
// wherever the file's quoting is well formed.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "csv/csv_reader.h"

namespace vrex::ext {
namespace {

namespace fs = std::filesystem;

const fs::path kCorpus = VREX_CORPUS_DIR;

std::string read_file(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

struct FileRead {
  std::vector<std::vector<std::string>> records;  // header first
  std::optional<CsvError> error;
  bool header_failed = false;
};

FileRead read_whole(std::string_view input, CsvScan scan) {
  CsvReader reader({reinterpret_cast<const std::uint8_t*>(input.data()), input.size()}, scan);
  FileRead read;
  auto keep = [&] { read.records.emplace_back(reader.fields().begin(), reader.fields().end()); };
  if (auto header = reader.read_header(); !header) {
    read.error = header.error();
    read.header_failed = true;
    return read;
  }
  keep();
  for (;;) {
    auto more = reader.read_record();
    if (!more) {
      read.error = more.error();
      return read;
    }
    if (!*more) return read;
    keep();
  }
}

// The expected parses are arrays of flat objects with string values, keyed by
// the header names in column order.
class ExpectedJson {
 public:
  explicit ExpectedJson(std::string_view text) : text_(text) {}

  // The header and the records, or nothing when the text is not of that shape.
  std::optional<std::vector<std::vector<std::string>>> parse() {
    std::vector<std::vector<std::string>> records(1);
    if (!take('[')) return std::nullopt;
    if (take(']')) return records;
    do {
      if (!take('{')) return std::nullopt;
      std::vector<std::string> names, values;
      do {
        auto name = string();
        if (!name || !take(':')) return std::nullopt;
        auto value = string();
        if (!value) return std::nullopt;
        names.push_back(*name);
        values.push_back(*value);
      } while (take(','));
      if (!take('}')) return std::nullopt;
      records[0] = names;
      records.push_back(values);
    } while (take(','));
    if (!take(']')) return std::nullopt;
    return records;
  }

 private:
  bool take(char wanted) {
    while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_]))) ++at_;
    if (at_ < text_.size() && text_[at_] == wanted) {
      ++at_;
      return true;
    }
    return false;
  }

  std::optional<std::string> string() {
    if (!take('"')) return std::nullopt;
    std::string value;
    while (at_ < text_.size() && text_[at_] != '"') {
      char c = text_[at_++];
      if (c == '\\' && at_ < text_.size()) {
        c = text_[at_++];
        if (c == 'n') c = '\n';
        if (c == 'r') c = '\r';
        if (c == 't') c = '\t';
        if (c == 'u') return std::nullopt;  // not used by the corpus
      }
      value += c;
    }
    ++at_;
    return value;
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

struct ManifestEntry {
  std::string path;
  std::string note;
};

std::vector<ManifestEntry> read_manifest() {
  std::vector<ManifestEntry> entries;
  std::istringstream lines(read_file(kCorpus / "MANIFEST.tsv"));
  std::string line;
  std::getline(lines, line);  // column names
  while (std::getline(lines, line)) {
    std::vector<std::string> columns;
    std::istringstream cells(line);
    std::string cell;
    while (std::getline(cells, cell, '\t')) columns.push_back(cell);
    if (columns.size() >= 5 && columns[0].ends_with(".csv"))
      entries.push_back({columns[0], columns[4]});
  }
  return entries;
}

// The first number written just before `word` in the note ("7 cols",
// "1 data row"), or 0. Hand-written remarks come first but use no figures.
std::uint64_t number_before(const std::string& note, const std::string& word) {
  for (std::size_t at = note.find(word); at != std::string::npos; at = note.find(word, at + 1)) {
    if (at < 2 || note[at - 1] != ' ') continue;
    std::size_t digits = at - 1;
    while (digits > 0 && std::isdigit(static_cast<unsigned char>(note[digits - 1]))) --digits;
    if (digits < at - 1) return std::stoull(note.substr(digits, at - 1 - digits));
  }
  return 0;
}

// Where the manifest says the first invalid UTF-8 field is.
struct InvalidAt {
  unsigned long long record, field, line, byte, index;
};

std::optional<InvalidAt> invalid_at(const std::string& note) {
  const std::size_t at = note.find("INVALID UTF-8: ");
  if (at == std::string::npos) return std::nullopt;
  InvalidAt where{};
  const int read = std::sscanf(note.c_str() + at,
                               "INVALID UTF-8: first at record %llu field %llu (line %llu, byte "
                               "%llu, index %llu)",
                               &where.record, &where.field, &where.line, &where.byte, &where.index);
  return read == 5 ? std::optional(where) : std::nullopt;
}

void skip_without_corpus() {
  if (!fs::exists(kCorpus / "MANIFEST.tsv")) {
    GTEST_SKIP() << "no third-party corpus at " << kCorpus << "; skipping";
  }
}

TEST(CsvCorpus, ExpectedParsesMatch) {
  skip_without_corpus();
  if (IsSkipped()) return;
  int compared = 0;
  for (const auto& entry : fs::recursive_directory_iterator(kCorpus)) {
    const std::string name = entry.path().filename().string();
    const std::string suffix = ".expected.json";
    if (name.size() <= suffix.size() || !name.ends_with(suffix)) continue;
    fs::path csv = entry.path();
    csv.replace_filename(name.substr(0, name.size() - suffix.size()) + ".csv");
    SCOPED_TRACE(csv.string());
    auto expected = ExpectedJson(read_file(entry.path())).parse();
    ASSERT_TRUE(expected.has_value());
    const std::string input = read_file(csv);
    const FileRead read = read_whole(input, CsvScan::Best);
    EXPECT_FALSE(read.error.has_value());
    EXPECT_EQ(read.records, *expected);
    ++compared;
  }
  EXPECT_GE(compared, 10);
}

TEST(CsvCorpus, EveryFileReadsAsTheManifestRecords) {
  skip_without_corpus();
  if (IsSkipped()) return;
  const std::vector<ManifestEntry> entries = read_manifest();
  ASSERT_GT(entries.size(), 700u);
  int checked = 0;
  for (const ManifestEntry& entry : entries) {
    SCOPED_TRACE(entry.path + ": " + entry.note);
    ASSERT_TRUE(entry.note.find("INVALID UTF-8") == std::string::npos || invalid_at(entry.note));
    const std::string input = read_file(kCorpus / entry.path);
    const FileRead read = read_whole(input, CsvScan::Best);
    const FileRead reference = read_whole(input, CsvScan::Reference);
    ASSERT_EQ(read.records, reference.records);
    ASSERT_EQ(read.error.has_value(), reference.error.has_value());
    if (read.error) {
      ASSERT_EQ(read.error->text(), reference.error->text());
    }

    if (entry.note.find("malformed quoting") != std::string::npos) continue;
    if (const auto invalid = invalid_at(entry.note)) {
      ASSERT_TRUE(read.error.has_value());
      EXPECT_EQ(read.header_failed, invalid->record == 0);
      EXPECT_EQ(read.error->position.record, invalid->record);
      EXPECT_EQ(read.error->field, invalid->field);
      EXPECT_EQ(read.error->position.line, invalid->line);
      EXPECT_EQ(read.error->position.byte, invalid->byte);
      EXPECT_EQ(read.error->valid_length, invalid->index);
    } else {
      EXPECT_FALSE(read.error.has_value());
      EXPECT_EQ(read.records.front().size(), number_before(entry.note, "col"));
      EXPECT_EQ(read.records.size() - 1, number_before(entry.note, "data row"));
    }
    ++checked;
  }
  EXPECT_GT(checked, 600);
}

}  // namespace
}  // namespace vrex::ext
