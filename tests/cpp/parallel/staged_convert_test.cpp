// The staged conversion, run stage by stage in one process, against the
// one-thread conversion: the same bytes or the same first error for every
// stretch size and chunk size, so parts cut chunks in every way.
#include "parallel/staged_convert.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "csv/utf8.h"
#include "pipeline/pipeline.h"
#include "support/corpus_files.h"
#include "support/golden_csv.h"

namespace vrex::ext {
namespace {

using vrex::testing::golden_cases;

std::span<const std::uint8_t> bytes_of(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string text_of(std::span<const std::uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::string outcome_serial(const std::string& csv, std::uint64_t chunk, std::uint64_t sample) {
  auto converted = convert_csv(bytes_of(csv), chunk, sample);
  if (!converted) return "error:" + converted.error();
  return "ok:" + text_of(converted->bytes());
}

// Every stage as separate machines would run it: summaries travel encoded,
// each part is converted into a piece of its own, the pieces are joined in
// order and the first failing part gives the error.
std::string outcome_staged(const std::string& csv, std::uint64_t chunk, std::uint64_t sample,
                           std::uint64_t stretch_size, std::size_t sub_block = kSummarySubBlock) {
  const auto input = bytes_of(csv);
  auto start = convert_table_start(input, chunk, sample);
  if (!start) return "error:" + start.error();
  std::string file = "ok:" + text_of(start->bytes.bytes());
  if (!start->complete) {
    std::vector<StretchSummary> summaries;
    for (std::uint64_t begin = start->rest.byte; begin < csv.size(); begin += stretch_size) {
      const auto stretch =
          input.subspan(begin, std::min<std::uint64_t>(stretch_size, csv.size() - begin));
      const auto sent = encode_stretch_summary(summarize_stretch(stretch, sub_block));
      summaries.push_back(*decode_stretch_summary(sent));
    }
    auto joined = join_stretches(*start, csv.size(), stretch_size, chunk, summaries);
    if (!joined) return "join failed:" + joined.error();
    const auto types_sent = types_to_bytes(start->types);
    const auto types = *types_from_bytes(types_sent);
    for (const PartJob& job : joined->jobs) {
      ByteBuffer piece;
      BufferSink sink(piece);
      auto converted = convert_part(input, types, chunk, job, sink);
      if (!converted) return "error:" + converted.error().message;
      file += text_of(piece.bytes());
    }
  }
  return file + text_of(table_end_bytes()->bytes());
}

void expect_same_for_every_cut(const std::string& csv, std::uint64_t chunk, std::uint64_t sample) {
  const std::string expected = outcome_serial(csv, chunk, sample);
  for (std::uint64_t stretch : {1u, 2u, 3u, 7u, 64u, 1u << 20}) {
    // Sub-blocks of a byte, a few bytes, and the whole stretch.
    const std::size_t sub_block = stretch % 3 == 0 ? 1 : stretch % 3 == 1 ? 2 : kSummarySubBlock;
    ASSERT_EQ(outcome_staged(csv, chunk, sample, stretch, sub_block), expected)
        << "stretch " << stretch << ", sub-block " << sub_block << ", chunk " << chunk
        << ", sample " << sample << ", input:\n"
        << csv;
  }
}

TEST(StagedConvert, GoldenCasesMatchTheOneThreadConversion) {
  for (const auto& [name, csv] : golden_cases()) {
    SCOPED_TRACE(name);
    for (std::uint64_t chunk : {1u, 2u, 3u, 10000u}) {
      for (std::uint64_t sample : {0u, 1u, 2u, 1000u})
        expect_same_for_every_cut(csv, chunk, sample);
    }
  }
}

TEST(StagedConvert, SeededRandomInputsMatch) {
  static const std::vector<std::string> pieces = {
      ",",    "\"", "\"\"",     "\n",           "\r",   "\r\n", "1",  "2.5",  "-7",  "x",
      "true", "ab", "\xC3\xA9", "\xE2\x82\xAC", "\xFF", "\xC3", "  ", "null", "1e5", "\n\n"};
  std::mt19937_64 random(1215);
  for (int round = 0; round < 300; ++round) {
    std::string csv = "a,b,c\n";
    const std::size_t count = random() % 150;
    for (std::size_t index = 0; index < count; ++index) csv += pieces[random() % pieces.size()];
    expect_same_for_every_cut(csv, 1 + random() % 5, random() % 5);
  }
}

// A stretch's summary, sub-block by sub-block, against one summary of the
// whole stretch and a walk from each state through all of it.
TEST(StagedConvert, SummariesBySubBlockMatchTheWholeStretch) {
  static const std::vector<std::string> pieces = {",",  "\"",   "\"\"", "\n",
                                                  "\r", "\r\n", "x",    "\n\n"};
  std::mt19937_64 random(4);
  for (int round = 0; round < 500; ++round) {
    std::string text;
    const std::size_t count = random() % 60;
    for (std::size_t index = 0; index < count; ++index) text += pieces[random() % pieces.size()];
    const auto bytes = bytes_of(text);
    StretchSummary expected;
    expected.block = summarize_block(bytes);
    for (std::size_t state = 0; state < kScanStateCount; ++state) {
      expected.first_record_end[state] = skip_records(bytes, static_cast<ScanState>(state), 1);
    }
    for (std::size_t sub_block : {1u, 2u, 3u, 5u, 17u, 1000u}) {
      const StretchSummary got = summarize_stretch(bytes, sub_block);
      EXPECT_EQ(got.block.end_state, expected.block.end_state) << text;
      EXPECT_EQ(got.block.record_starts, expected.block.record_starts) << text;
      EXPECT_EQ(got.block.line_feeds, expected.block.line_feeds) << text;
      for (std::size_t state = 0; state < kScanStateCount; ++state) {
        const ScanStop& want = expected.first_record_end[state];
        const ScanStop& have = got.first_record_end[state];
        ASSERT_EQ(have.found, want.found)
            << "state " << state << ", sub-block " << sub_block << ": " << text;
        if (!want.found) continue;
        EXPECT_EQ(have.offset, want.offset) << text;
        EXPECT_EQ(have.line_feeds, want.line_feeds) << text;
        EXPECT_EQ(have.record_starts, want.record_starts) << text;
      }
    }
  }
}

TEST(StagedConvert, ManyPartsAndErrorsInSeveralGiveTheFirst) {
  std::string csv = "id,name,score\n";
  for (int row = 0; row < 3000; ++row) {
    csv += std::to_string(row) + ",\"name " + std::to_string(row % 97) + "\n\"," +
           std::to_string(row * 0.5) + "\n";
  }
  expect_same_for_every_cut(csv, 37, 100);
  std::string broken = csv;
  broken.insert(csv.size() / 3, "\xFF");
  broken.insert(2 * csv.size() / 3, "\xC3(");
  expect_same_for_every_cut(broken, 37, 100);
  expect_same_for_every_cut(broken, 5000, 100);  // one chunk over every part
}

// Each part of the join begins where the reader's search for a record
// begins, with the reader's rows and lines before it, and the chunks of the
// jobs cover every row past the start once, in order.
TEST(StagedConvert, JoinBeginsPartsAtTheReadersBoundariesAndCoversEveryChunk) {
  std::string csv = "a,b\n";
  std::mt19937_64 random(7);
  for (int row = 0; row < 400; ++row) {
    csv += random() % 3 == 0 ? "\"x\ny\"," : "1,";
    csv += std::to_string(random() % 1000) + (random() % 2 ? "\n" : "\r\n");
  }
  const auto input = bytes_of(csv);
  std::map<std::uint64_t, std::uint64_t> rows_before;  // reader cursor -> data rows before it
  {
    CsvReader reader(input, CsvScan::Reference);
    ASSERT_TRUE(reader.read_header());
    std::uint64_t rows = 0;
    rows_before[reader.cursor()] = 0;
    while (*reader.read_record()) rows_before[reader.cursor()] = ++rows;
  }
  for (std::uint64_t stretch : {1u, 5u, 13u, 100u, 4096u}) {
    for (std::uint64_t chunk : {1u, 3u, 16u, 1000u}) {
      auto start = convert_table_start(input, chunk, 2);
      ASSERT_TRUE(start);
      std::vector<StretchSummary> summaries;
      for (std::uint64_t begin = start->rest.byte; begin < csv.size(); begin += stretch) {
        summaries.push_back(summarize_stretch(
            input.subspan(begin, std::min<std::uint64_t>(stretch, csv.size() - begin))));
      }
      auto joined = join_stretches(*start, csv.size(), stretch, chunk, summaries);
      ASSERT_TRUE(joined);
      EXPECT_EQ(joined->end_row, rows_before.rbegin()->second);
      std::uint64_t next_row = start->first_row;
      std::uint64_t part_end = start->rest.byte;
      for (const PartJob& job : joined->jobs) {
        const auto boundary = rows_before.find(job.part.begin);
        ASSERT_NE(boundary, rows_before.end()) << "part at " << job.part.begin;
        EXPECT_EQ(job.part.first_row, boundary->second);
        EXPECT_EQ(job.part.first_line,
                  1 + count_line_feeds(input.data(), static_cast<std::size_t>(job.part.begin)));
        EXPECT_GE(job.part.begin, part_end);  // parts in order, none overlapping
        part_end = job.part.end;
        EXPECT_EQ(job.first_chunk_row, next_row);
        next_row += job.chunk_count * chunk;
      }
      EXPECT_GE(next_row, joined->end_row);
      EXPECT_LT(next_row, joined->end_row + chunk);
    }
  }
}

TEST(StagedConvert, EveryCorpusFileMatches) {
  const auto files = vrex::testing::corpus_files();
  if (files.empty()) GTEST_SKIP() << "no corpus beside the project";
  for (const auto& [path, csv] : files) {
    SCOPED_TRACE(path.string());
    const std::string expected = outcome_serial(csv, 7, 5);
    ASSERT_EQ(outcome_staged(csv, 7, 5, 61), expected);
    ASSERT_EQ(outcome_staged(csv, 7, 5, csv.size() / 5 + 1, 16), expected);
  }
}

TEST(StagedConvert, NumbersFromElsewhereAreChecked) {
  // Summaries: wrong size, unknown state, a found flag that is not 0 or 1.
  auto bytes = encode_stretch_summary(summarize_stretch(bytes_of("1,2\n3,4\n")));
  EXPECT_FALSE(decode_stretch_summary(std::span(bytes).first(bytes.size() - 1)));
  auto bad_state = bytes;
  bad_state[8] = 5;
  EXPECT_FALSE(decode_stretch_summary(bad_state));
  auto bad_flag = bytes;
  bad_flag[24] = 2;
  EXPECT_FALSE(decode_stretch_summary(bad_flag));

  // Types: bytes that name no type.
  for (int unknown : {0x00, 0x0B, 0x0E, 0xFF}) {
    EXPECT_FALSE(
        types_from_bytes(std::vector<std::uint8_t>{0x02, static_cast<std::uint8_t>(unknown)}));
  }

  // Joins: too few summaries, an offset past its stretch.
  const std::string csv = "a\n1\n2\n3\n";
  auto start = convert_table_start(bytes_of(csv), 1, 0);
  ASSERT_TRUE(start);
  auto summary = summarize_stretch(bytes_of(csv).subspan(2, 2));
  EXPECT_FALSE(join_stretches(*start, csv.size(), 2, 1, std::vector{summary}));
  summary.first_record_end[0].offset = 3;
  EXPECT_FALSE(join_stretches(*start, csv.size(), 2, 1, std::vector{summary, summary, summary}));

  // Parts that no longer fit the input: a failure, never a read past it.
  ByteBuffer piece;
  BufferSink sink(piece);
  const std::vector<ValueType> types = {ValueType::Int};
  const PartJob past_end{Part{2, 40, 2, 2, 0}, 0, 1, 3};
  EXPECT_EQ(convert_part(bytes_of(csv), types, 1, past_end, sink).error().message,
            "the input changed while it was converted");
  const PartJob too_many_rows{Part{2, csv.size(), 2, 2, 0}, 0, 5, 5};
  EXPECT_EQ(convert_part(bytes_of(csv), types, 1, too_many_rows, sink).error().message,
            "the input changed while it was converted");
}

}  // namespace
}  // namespace vrex::ext
