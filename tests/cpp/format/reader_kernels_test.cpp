// The fast UTF-8 check and bit expansion agree with their byte-at-a-time
// references, on chosen and on random input.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "vrex/reader_utf8.h"
#include "vrex/reader_values.h"

namespace vrex {
namespace {

bool valid(std::string_view text) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const bool fast = is_valid_utf8(bytes, text.size());
  EXPECT_EQ(fast, is_valid_utf8_scalar(bytes, text.size())) << text;
  return fast;
}

TEST(ReaderKernelsTest, Utf8AcceptsWellFormedTextOnly) {
  struct Case {
    std::string text;
    bool valid;
  };

  const std::string ascii(40, 'a');
  const std::vector<Case> cases{
      {"", true},
      {ascii, true},
      {ascii + "\xC3\xA9" + ascii, true},
      {"\xF0\x9F\x98\x80", true},   // U+1F600
      {"\xF4\x8F\xBF\xBF", true},   // U+10FFFF
      {"\xEF\xBF\xBF", true},       // U+FFFF
      {ascii + "\x80", false},      // lone continuation after a fast run
      {"\xC0\xAF", false},          // overlong
      {"\xE0\x80\xAF", false},      // overlong
      {"\xED\xA0\x80", false},      // surrogate
      {"\xF4\x90\x80\x80", false},  // above U+10FFFF
      {"\xF5\x80\x80\x80", false},
      {ascii + "\xC3", false},  // cut short at the end
      {"\xE2\x82", false},
      {"\xE2\x28\xA1", false},
  };
  for (const Case& utf8 : cases) EXPECT_EQ(valid(utf8.text), utf8.valid) << utf8.text;
}

TEST(ReaderKernelsTest, Utf8FastPathMatchesReferenceOnRandomInput) {
  std::mt19937 random(1234);
  const std::vector<std::string> pieces{
      "a",    "bcdefgh", "\xC3\xA9",    "\xE2\x82\xAC", "\xF0\x9F\x98\x80",
      "\x80", "\xFF",    "\xED\xA0\x80"};
  for (int trial = 0; trial < 5000; ++trial) {
    std::string text;
    const int count = static_cast<int>(random() % 40);
    for (int piece = 0; piece < count; ++piece) {
      // Mostly well-formed pieces, so that faults sit behind long valid runs.
      const std::size_t pick = random() % 50 == 0 ? random() % pieces.size() : random() % 5;
      text += pieces[pick];
    }
    valid(text);
  }
}

// Every pair of bytes after every length of ASCII run, so that each pair
// sits at each place of a 16-byte block and across the boundary of two.
TEST(ReaderKernelsTest, Utf8FastPathMatchesReferenceOnEveryPairAtEveryPlace) {
  for (std::size_t run : {0, 3, 9, 12, 13, 14, 15, 16, 18, 30}) {
    // Every pair where it ends one block and where it straddles two.
    const unsigned stride = run == 14 || run == 15 ? 1 : 7;
    for (unsigned pair = 0; pair < 0x10000; pair += stride) {
      std::string text(run, 'a');
      text += static_cast<char>(pair >> 8);
      text += static_cast<char>(pair & 0xFF);
      valid(text);
      text += "\x80\x80";  // continuations after the pair
      valid(text);
    }
  }
}

TEST(ReaderKernelsTest, Utf8FastPathMatchesReferenceOnRandomSequences) {
  std::mt19937 random(99);
  const std::string leads = "\x7F\xC2\xDF\xE0\xE1\xED\xEF\xF0\xF1\xF4\xF5\xC0\x80\xBF";
  const std::string continuations = "\x80\x8F\x90\x9F\xA0\xBF\xC0\x41";
  for (int trial = 0; trial < 20000; ++trial) {
    std::string text(random() % 40, 'z');
    const int sequences = 1 + static_cast<int>(random() % 4);
    for (int k = 0; k < sequences; ++k) {
      text += leads[random() % leads.size()];
      for (unsigned c = random() % 4; c > 0; --c)
        text += continuations[random() % continuations.size()];
      text += std::string(random() % 20, 'y');
    }
    valid(text);
  }
}

// The same over texts long enough for the 32-byte check: each pair at each
// place of two blocks (both lanes and across them), at the end and with
// ASCII after it.
TEST(ReaderKernelsTest, Utf8WideFastPathMatchesReferenceOnEveryPairAtEveryPlace) {
  for (std::size_t run = 0; run < 100; ++run) {
    for (auto pair = static_cast<unsigned>(run % 11); pair < 0x10000; pair += 11) {
      std::string text(run, 'a');
      text += static_cast<char>(pair >> 8);
      text += static_cast<char>(pair & 0xFF);
      text += "\x80";
      if (text.size() < 64) text += std::string(64 - text.size(), 'b');
      valid(text);
      text += "\x80\x80";
      valid(text);
    }
  }
}

TEST(ReaderKernelsTest, Utf8WideFastPathMatchesReferenceOnLongRandomSequences) {
  std::mt19937 random(5);
  const std::string leads = "\x7F\xC2\xDF\xE0\xE1\xED\xEF\xF0\xF1\xF4\xF5\xC0\x80\xBF";
  const std::string continuations = "\x80\x8F\x90\x9F\xA0\xBF\xC0\x41";
  const std::vector<std::string> valid_pieces{"a", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"};
  for (int trial = 0; trial < 20000; ++trial) {
    std::string text;
    // Mostly well-formed text, with a fault (or none) somewhere in it.
    while (text.size() < 64 + random() % 200) text += valid_pieces[random() % valid_pieces.size()];
    if (trial % 3 != 0) {
      std::string fault(1, leads[random() % leads.size()]);
      for (unsigned c = random() % 4; c > 0; --c)
        fault += continuations[random() % continuations.size()];
      text.insert(random() % (text.size() + 1), fault);
    }
    valid(text);
  }
}

TEST(ReaderKernelsTest, BitExpansionMatchesReference) {
  std::mt19937 random(1234);
  for (std::uint64_t count = 0; count < 70; ++count) {
    std::vector<std::uint8_t> bits((count + 7) / 8);
    for (auto& byte : bits) byte = static_cast<std::uint8_t>(random());
    std::vector<std::uint8_t> fast{9};
    std::vector<std::uint8_t> reference{9};
    unpack_bits(bits.data(), count, fast);
    unpack_bits_scalar(bits.data(), count, reference);
    EXPECT_EQ(fast, reference) << count;
  }
  std::vector<std::uint8_t> one;
  const std::uint8_t first_high = 0xA0;
  unpack_bits(&first_high, 3, one);
  EXPECT_EQ(one, (std::vector<std::uint8_t>{1, 0, 1}));
}

}  // namespace
}  // namespace vrex
