// The fast paths against the plain references, on many random inputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "csv/block_classifier.h"
#include "csv/csv_reader.h"
#include "csv/utf8.h"
#include "support/csv_trace.h"

namespace vrex::ext {
namespace {

std::span<const std::uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::vector<std::string> trace_reads(std::string_view input, CsvScan scan) {
  return vrex::testing::trace_reads(bytes_of(input), scan);
}

// Random CSV-like bytes, heavy in the bytes that matter: structure, multi-byte
// and invalid UTF-8, and plain runs that push them across block edges.
std::string random_input(std::mt19937_64& random) {
  static const std::vector<std::string> kPieces = {",",
                                                   ",",
                                                   "\"",
                                                   "\"",
                                                   "\"\"",
                                                   "\r",
                                                   "\n",
                                                   "\r\n",
                                                   "a",
                                                   "7",
                                                   "xyz",
                                                   " ",
                                                   "\xC3\xA9",
                                                   "\xE2\x82\xAC",
                                                   "\xF0\x9F\x98\x80",
                                                   "\xEF\xBB\xBF",
                                                   "\xFF",
                                                   "\xC3",
                                                   "\xED\xA0\x80",
                                                   "\xE0\x80\xAF",
                                                   "\xF4\x90\x80\x80",
                                                   "\x80"};
  std::string input;
  if (random() % 8 == 0) input += "\xEF\xBB\xBF";
  const std::size_t pieces = random() % 120;
  for (std::size_t i = 0; i < pieces; ++i) {
    if (random() % 10 == 0) {
      // Plain bytes up to just before, at or after the next 16, 32 or 64-byte edge.
      const std::size_t edge = std::size_t{16} << (random() % 3);
      const std::size_t to_edge = edge - input.size() % edge;
      input.append(to_edge + random() % 5 - std::min<std::size_t>(to_edge, 2), 'q');
    } else {
      input += kPieces[random() % kPieces.size()];
    }
  }
  return input;
}

TEST(CsvDifferential, FastPathsAgreeWithTheReferenceOnRandomInput) {
  std::mt19937_64 random(20261207);
  for (int trial = 0; trial < 60000; ++trial) {
    const std::string input = random_input(random);
    const auto expected = trace_reads(input, CsvScan::Reference);
    for (CsvScan scan : {CsvScan::Sse2, CsvScan::Avx2, CsvScan::Avx512}) {
      const auto actual = trace_reads(input, scan);
      ASSERT_EQ(actual, expected) << "trial " << trial << " input size " << input.size();
    }
  }
}

// Long fields and records that span many blocks, mostly ASCII with rare
// multi-byte characters, invalid bytes and long runs of blank lines.
// Fields past the kept ones are forgotten, yet a record's error is the one a
// reader keeping every field reports: same field index, same byte. Records
// read one after another onto one list read the same.
TEST(CsvDifferential, KeepingFewerFieldsChangesNothingButTheFieldsKept) {
  std::mt19937_64 random(20261208);
  for (int trial = 0; trial < 3000; ++trial) {
    const std::string input = random_input(random);
    const std::size_t count = random() % 4;
    const auto expected =
        vrex::testing::trace_reads(bytes_of(input), CsvScan::Reference, {count, false});
    for (CsvScan scan : {CsvScan::Reference, CsvScan::Sse2, CsvScan::Avx2, CsvScan::Avx512}) {
      ASSERT_EQ(vrex::testing::trace_reads(bytes_of(input), scan, {count, true}), expected)
          << "trial " << trial << " keeping " << count << " scan " << static_cast<int>(scan);
      ASSERT_EQ(vrex::testing::trace_reads(bytes_of(input), scan, {count, false, true}), expected)
          << "trial " << trial << " keeping " << count << " in one list, scan "
          << static_cast<int>(scan);
    }
  }
}

TEST(CsvDifferential, AgreesOnRecordsSpanningManyBlocks) {
  std::mt19937_64 random(7);
  for (int trial = 0; trial < 300; ++trial) {
    std::string input;
    const std::size_t size = 1 + random() % 5000;
    while (input.size() < size) {
      const auto roll = random() % 1000;
      if (roll < 60) {
        input += ',';
      } else if (roll < 70) {
        input += '\n';
      } else if (roll < 90) {
        input += '"';
      } else if (roll < 93) {
        input += "\xC3\xA9";
      } else if (roll < 94) {
        input += '\xFE';
      } else if (roll < 95) {
        input.append(60 + random() % 200, random() % 2 ? '\n' : '\r');  // blank lines past a block
      } else {
        input += static_cast<char>('a' + roll % 26);
      }
    }
    const auto expected = trace_reads(input, CsvScan::Reference);
    ASSERT_EQ(trace_reads(input, CsvScan::Sse2), expected) << "trial " << trial;
    ASSERT_EQ(trace_reads(input, CsvScan::Avx2), expected) << "trial " << trial;
    ASSERT_EQ(trace_reads(input, CsvScan::Avx512), expected) << "trial " << trial;
  }
}

TEST(BlockClassifier, SimdMasksMatchTheScalarOnes) {
  std::mt19937_64 random(99);
  const std::uint8_t kBytes[] = {',', '\r', '\n', '"', 'a', 0x80, 0xFF, 0x7F, 0x00, 0x2B, 0x2D};
  constexpr std::size_t kBlocks = 5;
  std::uint8_t data[kBlocks * kBlockSize];
  for (int trial = 0; trial < 4000; ++trial) {
    for (std::uint8_t& byte : data) {
      byte =
          random() % 2 ? kBytes[random() % std::size(kBytes)] : static_cast<std::uint8_t>(random());
    }
    BlockMasks expected[kBlocks];
    classify_blocks_scalar(data, kBlocks, expected);
    for (ClassifyBlocks classify :
         {select_classifier(CsvScan::Sse2), select_classifier(CsvScan::Avx2),
          select_classifier(CsvScan::Avx512)}) {
      BlockMasks actual[kBlocks];
      classify(data, kBlocks, actual);
      for (std::size_t block = 0; block < kBlocks; ++block) {
        ASSERT_EQ(actual[block].separators, expected[block].separators);
        ASSERT_EQ(actual[block].terminators, expected[block].terminators);
        ASSERT_EQ(actual[block].quotes, expected[block].quotes);
        ASSERT_EQ(actual[block].non_ascii, expected[block].non_ascii);
      }
    }
  }
}

void expect_validators_agree(std::string_view text) {
  const std::size_t expected = utf8_valid_prefix_reference(text);
  ASSERT_EQ(utf8_valid_prefix(text), expected) << "text of " << text.size() << " bytes";
  ASSERT_EQ(utf8_is_valid(text), expected == text.size()) << "text of " << text.size() << " bytes";
}

// Every sequence of up to three bytes after an ASCII prefix, which also puts
// it behind the 16-byte ASCII skip and across a 32-byte block boundary.
TEST(Utf8, FastValidatorAgreesOnEveryShortSequence) {
  for (std::size_t prefix : {0, 30}) {
    std::string text(prefix, 'a');
    for (unsigned first = 0; first < 256; ++first) {
      for (unsigned second = 0; second < 256; ++second) {
        text.resize(prefix);
        text += static_cast<char>(first);
        text += static_cast<char>(second);
        expect_validators_agree(text);
        for (unsigned third = 0x70; third < 0xD0; ++third) {
          text.resize(prefix + 2);
          text += static_cast<char>(third);
          expect_validators_agree(text);
          text += "\x80\xBF";
          expect_validators_agree(text);
        }
      }
    }
  }
}

TEST(Utf8, FastValidatorAgreesOnRandomText) {
  std::mt19937_64 random(5);
  const std::vector<std::string> kPieces = {"a",
                                            "abcdefghijklmnopq",
                                            "\xC3\xA9",
                                            "\xE2\x82\xAC",
                                            "\xF0\x9F\x98\x80",
                                            "\xF4\x8F\xBF\xBF",
                                            "\x80",
                                            "\xC0",
                                            "\xED\xBF\xBF",
                                            "\xF8",
                                            "\xE2\x82",
                                            "\xF0\x9F\x98"};
  for (int trial = 0; trial < 50000; ++trial) {
    std::string text;
    const std::size_t pieces = random() % 40;
    for (std::size_t i = 0; i < pieces; ++i) {
      text += random() % 50 == 0 ? kPieces[6 + random() % 6] : kPieces[random() % 6];
    }
    expect_validators_agree(text);
  }
}

TEST(Utf8, CountsLineFeeds) {
  std::string text(100, 'a');
  text[0] = text[15] = text[16] = text[99] = '\n';
  const auto* data = reinterpret_cast<const std::uint8_t*>(text.data());
  EXPECT_EQ(count_line_feeds(data, 100), 4u);
  EXPECT_EQ(count_line_feeds(data, 16), 2u);
  EXPECT_EQ(count_line_feeds(data + 1, 98), 2u);
  EXPECT_EQ(count_line_feeds(data, 0), 0u);

  // Long runs of line feeds fill every counting lane past its 255 rounds.
  std::mt19937_64 random(11);
  for (const std::size_t size :
       {std::size_t{4095}, std::size_t{4096 * 3 + 7}, std::size_t{70001}}) {
    for (const int density : {1, 2, 50}) {
      std::string bytes(size, 'x');
      for (char& byte : bytes) byte = random() % density == 0 ? '\n' : 'x';
      const auto* begin = reinterpret_cast<const std::uint8_t*>(bytes.data());
      for (const std::size_t skip : {std::size_t{0}, std::size_t{3}}) {
        EXPECT_EQ(count_line_feeds(begin + skip, size - skip),
                  static_cast<std::uint64_t>(std::count(bytes.begin() + skip, bytes.end(), '\n')));
      }
    }
  }
}

}  // namespace
}  // namespace vrex::ext
