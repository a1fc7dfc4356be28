// Chunks counted a block at a time against a plain read: every chunk must
// begin where the reader's search for a record begins, with the reader's
// rows up to the next.
#include "parallel/chunk_chain.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>

#include "csv/csv_reader.h"

namespace vrex::ext {
namespace {

std::span<const std::uint8_t> bytes_of(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Reader cursor -> data rows read before it, for every record boundary.
std::map<std::uint64_t, std::uint64_t> boundaries_of(const std::string& csv, std::uint64_t* rows) {
  std::map<std::uint64_t, std::uint64_t> boundaries;
  CsvReader reader(bytes_of(csv), CsvScan::Reference);
  (void)reader.read_header();
  *rows = 0;
  boundaries[reader.cursor()] = 0;
  while (true) {
    auto more = reader.read_record();
    if (more && !*more) break;  // errors are counted like records
    ++*rows;
    boundaries[reader.cursor()] = *rows;
  }
  return boundaries;
}

// Every chunk the chain counts begins where the reader stands after the
// rows before it, with the rows the reader reads up to the next chunk.
void expect_chain_matches(const std::string& csv,
                          const std::map<std::uint64_t, std::uint64_t>& boundaries,
                          std::uint64_t rows, std::uint64_t chunk_size, std::size_t block_size) {
  std::map<std::uint64_t, std::uint64_t> row_starts;  // rows before -> cursor
  for (const auto& [cursor, rows_before] : boundaries) row_starts.emplace(rows_before, cursor);
  ChunkChain chain(bytes_of(csv), chunk_size, block_size);
  for (std::uint64_t index = 0;; ++index) {
    const auto chunk = chain.chunk(index);
    const std::uint64_t first = index * chunk_size;
    const auto where = [&] {
      return "chunk " + std::to_string(index) + " of " + std::to_string(chunk_size) +
             " rows, blocks of " + std::to_string(block_size) + " bytes, in\n" + csv;
    };
    if (first >= rows) {
      ASSERT_FALSE(chunk.has_value()) << where();
      return;
    }
    ASSERT_TRUE(chunk.has_value()) << where();
    EXPECT_EQ(chunk->begin, row_starts.at(first)) << where();
    ASSERT_EQ(chunk->rows, std::min(chunk_size, rows - first)) << where();
  }
}

TEST(ChunkChain, ChunksBeginAtTheReadersBoundariesWithItsCounts) {
  std::mt19937_64 random(99);
  const std::vector<std::string> pieces = {",",    "\"", "\"\"", "\n",       "\r",
                                           "\r\n", "x",  "yz",   "\xC3\xA9", "\n\n"};
  // Headers with what the first count must read as the reader does: a
  // byte-order mark, blank lines before it, a quoted terminator.
  const std::vector<std::string> headers = {"h1,h2\n", "\xEF\xBB\xBF\"h\n1\",h2\r\n", "\n\r\nh1\n",
                                            "\"a\"\"\",b", "\xEF\xBB\xBFh\r"};
  for (int round = 0; round < 400; ++round) {
    std::string csv = headers[round % headers.size()];
    const std::size_t count = random() % 200;
    for (std::size_t index = 0; index < count; ++index) csv += pieces[random() % pieces.size()];
    std::uint64_t rows = 0;
    const auto boundaries = boundaries_of(csv, &rows);
    for (std::size_t part_size : {std::size_t{1}, std::size_t{5}, std::size_t{64}}) {
      for (const std::uint64_t chunk_size : {1, 2, 7}) {
        expect_chain_matches(csv, boundaries, rows, chunk_size, part_size);
        if (HasFatalFailure()) return;
      }
    }
  }
}

// Larger blocks, read by quote parity where it holds from the state each
// begins in, and quote by quote where it does not: well-formed records
// (parity holds from outside quotes), quotes inside unquoted fields (it
// holds from neither side), and records whose quoted prose parity reads
// wrongly from inside only.
TEST(ChunkChain, BlocksReadByParityAndQuoteByQuoteAgree) {
  std::mt19937_64 random(7);
  const std::vector<std::string> records = {
      "plain,fields,only\n",
      "\"quoted, with comma\",x\r\n",
      "\"she said \"\"hi\"\"\",y\n",
      "5\" screen,a\"b,c\n",
      "\"multi\nline\",z\r",
      "\"x\"tail,\"\"\n",
      "\n",
      "\"open to the end",
  };
  for (int round = 0; round < 60; ++round) {
    std::string csv = "h1,h2,h3\n";
    const std::size_t count = 50 + random() % 400;
    // Runs of one kind of record, so that whole blocks are well formed or not.
    while (csv.size() < count * 20) {
      const std::string& record = records[random() % (records.size() - 1)];
      for (std::size_t repeat = random() % 30; repeat-- > 0;) csv += record;
    }
    if (random() % 4 == 0) csv += records.back();
    std::uint64_t rows = 0;
    const auto boundaries = boundaries_of(csv, &rows);
    for (const std::size_t part_size : {std::size_t{64}, std::size_t{256}, std::size_t{4096}}) {
      for (const std::uint64_t chunk_size : {3, 50}) {
        expect_chain_matches(csv, boundaries, rows, chunk_size, part_size);
        if (HasFatalFailure()) return;
      }
    }
  }
}

}  // namespace
}  // namespace vrex::ext
