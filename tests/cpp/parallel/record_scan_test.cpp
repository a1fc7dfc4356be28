// Block summaries and record skips against the byte-at-a-time machine, on
// inputs whose quotes, separators and terminators fall at every position of
// the 64-byte blocks the fast paths read at once.
#include "parallel/record_scan.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "parallel/parity_summary.h"
#include "support/corpus_files.h"

namespace vrex::ext {
namespace {

constexpr std::size_t kBlock = 64;

std::span<const std::uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// The text for a failure's message: terminators spelled out, long ones cut.
std::string printable(std::string_view text) {
  std::string shown;
  for (char byte : text.substr(0, 300)) {
    if (byte == '\r') {
      shown += "\\r";
    } else if (byte == '\n') {
      shown += "\\n";
    } else {
      shown += byte;
    }
  }
  if (text.size() > 300) shown += "...";
  return shown;
}

// The summary of `text` from every start state, against the plain walk; the
// parity summary too, wherever it does not decline, read every way this CPU
// can read it.
void expect_summary_matches(std::string_view text) {
  const BlockSummary summary = summarize_block(bytes_of(text));
  const ParitySummary parity(bytes_of(text));
  const std::vector<ParitySummary> every_way = ParitySummary::every_way(bytes_of(text));
  for (std::size_t way = 0; way < every_way.size(); ++way) {
    ASSERT_EQ(every_way[way], parity) << "read way " << way << " over \"" << printable(text) << '"';
  }
  for (std::size_t state = 0; state < kScanStateCount; ++state) {
    const ReferenceWalk walk = walk_reference(bytes_of(text), static_cast<ScanState>(state));
    ASSERT_EQ(summary.end_state[state], walk.end_state)
        << "from state " << state << " over \"" << printable(text) << '"';
    ASSERT_EQ(summary.record_starts[state], walk.record_starts)
        << "from state " << state << " over \"" << printable(text) << '"';
    if (const auto by_parity = parity.from_state(static_cast<ScanState>(state))) {
      ASSERT_EQ(by_parity->end_state, walk.end_state)
          << "parity from state " << state << " over \"" << printable(text) << '"';
      ASSERT_EQ(by_parity->record_starts, walk.record_starts)
          << "parity from state " << state << " over \"" << printable(text) << '"';
    }
  }
}

// Skips of a few record counts from every start state, against the plain walk.
void expect_skips_match(std::string_view text) {
  for (std::size_t state = 0; state < kScanStateCount; ++state) {
    for (const std::uint64_t records : {0, 1, 2, 3, 5, 9, 1000}) {
      const auto from = static_cast<ScanState>(state);
      const ScanStop fast = skip_records(bytes_of(text), from, records);
      const ScanStop plain = skip_records_reference(bytes_of(text), from, records);
      const auto where = [&] {
        return "from state " + std::to_string(state) + ", " + std::to_string(records) +
               " records over \"" + printable(text) + '"';
      };
      ASSERT_EQ(fast.found, plain.found) << where();
      ASSERT_EQ(fast.offset, plain.offset) << where();
      ASSERT_EQ(fast.state, plain.state) << where();
      ASSERT_EQ(fast.line_feeds, plain.line_feeds) << where();
      ASSERT_EQ(fast.record_starts, plain.record_starts) << where();
    }
  }
}

// `text` cut to start at each of the first 65 offsets, so that each of its
// bytes falls at every position of a block, and to end whole, at a block's
// end and just either side of one.
template <class Check>
void check_every_cut(std::string_view text, Check check) {
  for (std::size_t begin = 0; begin <= kBlock && begin < text.size(); ++begin) {
    const std::string_view rest = text.substr(begin);
    check(rest);
    for (const std::size_t length : {kBlock - 1, kBlock, kBlock + 1, 2 * kBlock - 1, 2 * kBlock}) {
      if (length < rest.size()) check(rest.substr(0, length));
    }
    if (::testing::Test::HasFatalFailure()) return;
  }
}

// Pieces of CSV dense in what the machine turns on: quoted fields with
// separators and doubled quotes inside, a quote inside an unquoted field,
// runs of quotes, every terminator, a quote left open.
constexpr std::string_view kPieces[] = {
    "\"",      "\"\"",       "\"\"\"", ",",      "\r\n",     "\n",  "\r",  "x",        "ab",
    "\"a,b\"", "\"a\"\"b\"", "a\"b",   "\"x\"y", "\"\r\n\"", ",\"", "\",", "\xC3\xA9", "\"\"\"\"",
};

std::string random_quoted_text(std::mt19937_64& random, std::size_t pieces) {
  std::string text;
  for (std::size_t piece = 0; piece < pieces; ++piece) {
    text += kPieces[random() % std::size(kPieces)];
    // Runs of plain bytes, so that blocks also hold few quotes or none.
    if (random() % 4 == 0) text.append(random() % 80, 'z');
  }
  return text;
}

// Hand-placed cases; every cut moves each feature across the block edge.
const std::vector<std::string> kPlacedCases = {
    // A closing quote at byte 63, then a doubled quote or a separator.
    std::string(62, 'a') + ",\"\"\"b\",c\n",
    "\"" + std::string(62, 'q') + "\",x\r\n\"y\"",
    // CR LF split across blocks, inside quotes and out.
    std::string(63, 'a') + "\r\nb,c\r\n",
    "\"" + std::string(62, 'a') + "\r\n\"\r\n",
    // Runs of doubled quotes, in a quoted field and as a whole field.
    "\"" + std::string(90, '"') + "\",\"\"\"\"\"\"\n",
    std::string(70, '"') + "\n" + std::string(71, '"') + "\n",
    // Quotes inside unquoted fields: data, never opening.
    "ab\"cd\"ef," + std::string(60, 'x') + "5\" screen,\"ok\"\n",
    "x\"" + std::string(62, ',') + "\"\"\n\"",
    // A quoted field through a whole block without quotes, terminators in it.
    "\"" + std::string(70, 'a') + "\n,\r\n" + std::string(70, 'b') + "\"\nc\n",
    // Records over a whole block before the first quote, which opens a field.
    [] {
      std::string text;
      while (text.size() < 70) text += "ab,c\r\n";
      return text + "\"x\ny\",z\n\"";
    }(),
    // A quote left open to the end.
    "a,b\n\"" + std::string(150, 'c') + "\n,,\r\n",
    // Empty records and lone terminators between them.
    std::string(65, '\n') + "a" + std::string(65, '\r') + "\"",
};

TEST(RecordScanParity, SummariesAgreeOnPlacedCases) {
  for (const std::string& text : kPlacedCases) {
    check_every_cut(text, [](std::string_view cut) { expect_summary_matches(cut); });
    if (HasFatalFailure()) return;
  }
}

TEST(RecordScanParity, SkipsAgreeOnPlacedCases) {
  for (const std::string& text : kPlacedCases) {
    check_every_cut(text, [](std::string_view cut) { expect_skips_match(cut); });
    if (HasFatalFailure()) return;
  }
}

TEST(RecordScanParity, SummariesAgreeOnGeneratedText) {
  std::mt19937_64 random(2024);
  for (int round = 0; round < 300; ++round) {
    const std::string text = random_quoted_text(random, 20 + random() % 60);
    check_every_cut(text, [](std::string_view cut) { expect_summary_matches(cut); });
    if (HasFatalFailure()) return;
  }
}

TEST(RecordScanParity, SkipsAgreeOnGeneratedText) {
  std::mt19937_64 random(2025);
  for (int round = 0; round < 150; ++round) {
    const std::string text = random_quoted_text(random, 20 + random() % 60);
    check_every_cut(text, [](std::string_view cut) { expect_skips_match(cut); });
    if (HasFatalFailure()) return;
  }
}

// Well-formed records: quoted fields with separators, terminators and
// doubled quotes inside, unquoted fields without quotes, any terminator.
std::string random_records(std::mt19937_64& random, std::size_t records) {
  constexpr std::string_view kQuoted[] = {"\"a,b\"", "\"x\"\"y\"\"\"", "\"\r\n\"", "\"\"",
                                          "\"\n\n,\""};
  constexpr std::string_view kTerminators[] = {"\n", "\r\n", "\r", "\n\n"};
  std::string text;
  for (std::size_t record = 0; record < records; ++record) {
    for (std::size_t field = random() % 4; field-- > 0;) {
      text += random() % 2 == 0 ? std::string(kQuoted[random() % std::size(kQuoted)])
                                : std::string(random() % 70, 'v');
      if (field > 0) text += ',';
    }
    text += kTerminators[random() % std::size(kTerminators)];
  }
  return text;
}

// Parity reads well-formed records as the machine does from every state
// outside quotes, cut anywhere outside a quoted field: the fast reading is
// the one taken there, not a decline.
TEST(RecordScanParity, ParityHoldsOnWellFormedRecords) {
  std::mt19937_64 random(2027);
  for (int round = 0; round < 300; ++round) {
    const std::string text = random_records(random, 1 + random() % 40);
    for (const ScanState state :
         {ScanState::BetweenRecords, ScanState::FieldStart, ScanState::AfterQuote}) {
      const auto by_parity = ParitySummary(bytes_of(text)).from_state(state);
      ASSERT_TRUE(by_parity.has_value()) << printable(text);
      const ReferenceWalk walk = walk_reference(bytes_of(text), state);
      ASSERT_EQ(by_parity->end_state, walk.end_state) << printable(text);
      ASSERT_EQ(by_parity->record_starts, walk.record_starts) << printable(text);
    }
  }
}

// Each vector scan this CPU has gives the portable scan's masks and
// parities, on bytes dense in what the scans look for.
TEST(RecordScanParity, BlockScansAgree) {
  constexpr std::string_view kAlphabet = "\",\r\nab\xC3\x80";
  constexpr std::size_t kBlocks = 16;
  std::mt19937_64 random(2026);
  const std::vector<ScanBlocks> scans = block_scans_available();
  for (int round = 0; round < 200; ++round) {
    std::vector<std::uint8_t> bytes(kBlocks * kBlock);
    for (std::uint8_t& byte : bytes) {
      byte = static_cast<std::uint8_t>(kAlphabet[random() % kAlphabet.size()]);
    }
    BlockMasks expected_masks[kBlocks];
    std::uint64_t expected_inside[kBlocks];
    scans.front()(bytes.data(), kBlocks, expected_masks, expected_inside);
    for (std::size_t scan = 1; scan < scans.size(); ++scan) {
      BlockMasks masks[kBlocks];
      std::uint64_t inside[kBlocks];
      scans[scan](bytes.data(), kBlocks, masks, inside);
      for (std::size_t block = 0; block < kBlocks; ++block) {
        SCOPED_TRACE("scan " + std::to_string(scan) + ", block " + std::to_string(block));
        ASSERT_EQ(masks[block].separators, expected_masks[block].separators);
        ASSERT_EQ(masks[block].terminators, expected_masks[block].terminators);
        ASSERT_EQ(masks[block].quotes, expected_masks[block].quotes);
        ASSERT_EQ(inside[block], expected_inside[block]);
      }
    }
  }
}

// Real files, whole and from a few cuts near the start.
TEST(RecordScanParity, CorpusFilesAgree) {
  const auto files = vrex::testing::corpus_files();
  if (files.empty()) GTEST_SKIP() << "no corpus beside the project";
  for (const auto& [path, contents] : files) {
    SCOPED_TRACE(path.string());
    for (const std::size_t begin : {0, 1, 17, 63}) {
      if (begin > contents.size()) continue;
      const std::string_view text = std::string_view(contents).substr(begin);
      expect_summary_matches(text);
      expect_skips_match(text);
      if (HasFatalFailure()) return;
    }
  }
}

}  // namespace
}  // namespace vrex::ext
