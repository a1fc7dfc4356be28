// Chunks counted a block at a time against a plain read: every chunk must
// begin where the reader's search for a record begins, with the reader's
// rows up to the next.
#include "parallel/chunk_chain.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

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

// Records of several kinds in runs, so that whole blocks are well formed or
// not: well-formed records (parity holds from outside quotes), quotes inside
// unquoted fields (it holds from neither side), and records whose quoted
// prose parity reads wrongly from inside only.
std::string records_in_runs(std::mt19937_64& random, std::size_t size) {
  const std::vector<std::string> records = {
      "plain,fields,only\n",
      "\"quoted, with comma\",x\r\n",
      "\"she said \"\"hi\"\"\",y\n",
      "5\" screen,a\"b,c\n",
      "\"multi\nline\",z\r",
      "\"x\"tail,\"\"\n",
      "\n",
  };
  std::string csv = "h1,h2,h3\n";
  while (csv.size() < size) {
    const std::string& record = records[random() % records.size()];
    for (std::size_t repeat = random() % 30; repeat-- > 0;) csv += record;
  }
  if (random() % 4 == 0) csv += "\"open to the end";
  return csv;
}

// Threads that ask for chunks at once, each from its own first chunk on,
// while others count: those waiting summarize blocks ahead of the count,
// which the counts then take. Every thread sees the chunks one thread would.
TEST(ChunkChain, ThreadsWaitingForACountSummarizeAheadOfIt) {
  std::mt19937_64 random(5);
  for (int round = 0; round < 12; ++round) {
    const std::string csv = records_in_runs(random, 20000 + random() % 40000);
    std::uint64_t rows = 0;
    const auto boundaries = boundaries_of(csv, &rows);
    for (const std::size_t block_size : {std::size_t{1}, std::size_t{64}, std::size_t{1000}}) {
      for (const std::uint64_t chunk_size : {std::uint64_t{5}, std::uint64_t{300}}) {
        std::vector<std::optional<ChunkChain::Chunk>> expected;
        {
          ChunkChain chain(bytes_of(csv), chunk_size, block_size);
          for (std::uint64_t index = 0; expected.empty() || expected.back(); ++index) {
            expected.push_back(chain.chunk(index));
          }
        }
        ChunkChain chain(bytes_of(csv), chunk_size, block_size);
        constexpr unsigned kThreads = 6;
        std::vector<std::vector<std::optional<ChunkChain::Chunk>>> seen(kThreads);
        {
          std::vector<std::jthread> threads;
          for (unsigned thread = 0; thread < kThreads; ++thread) {
            threads.emplace_back([&, thread] {
              for (std::uint64_t index = thread; index < expected.size(); index += 2) {
                seen[thread].push_back(chain.chunk(index));
              }
            });
          }
        }
        for (unsigned thread = 0; thread < kThreads; ++thread) {
          for (std::size_t at = 0; at < seen[thread].size(); ++at) {
            const auto& want = expected[thread + 2 * at];
            const auto& got = seen[thread][at];
            ASSERT_EQ(got.has_value(), want.has_value());
            if (!want) continue;
            ASSERT_EQ(got->begin, want->begin) << "chunk " << thread + 2 * at << ", blocks of "
                                               << block_size << ", chunks of " << chunk_size;
            ASSERT_EQ(got->rows, want->rows);
          }
        }
      }
    }
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
// begins in, and quote by quote where it does not.
TEST(ChunkChain, BlocksReadByParityAndQuoteByQuoteAgree) {
  std::mt19937_64 random(7);
  for (int round = 0; round < 60; ++round) {
    const std::string csv = records_in_runs(random, (50 + random() % 400) * 20);
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

// A conversion that stands at a fixed record boundary of its chunk.
class FixedProgress final : public ChunkProgress {
 public:
  explicit FixedProgress(Reached reached) : reached_(reached) {}

  Reached reached() override { return reached_; }

  void rows_counted(std::uint64_t rows) override { counted = rows; }

  std::optional<std::uint64_t> counted;

 private:
  Reached reached_;
};

// Where each chunk begins, found as threads converting would find it: the
// chunk before counted from where its conversion stands, or reported by it
// once converted, or counted whole. Every start is the reader's, and a
// count from a conversion's progress tells it the chunk's rows.
TEST(ChunkChain, StartsFromAConversionsProgressAgree) {
  std::mt19937_64 random(13);
  for (int round = 0; round < 80; ++round) {
    const std::string csv = records_in_runs(random, 200 + random() % 6000);
    std::uint64_t rows = 0;
    const auto boundaries = boundaries_of(csv, &rows);
    std::map<std::uint64_t, std::uint64_t> row_starts;  // rows before -> cursor
    for (const auto& [cursor, rows_before] : boundaries) row_starts.emplace(rows_before, cursor);
    for (const std::size_t block_size : {std::size_t{1}, std::size_t{64}, std::size_t{512}}) {
      for (const std::uint64_t chunk_size :
           {std::uint64_t{1}, std::uint64_t{4}, std::uint64_t{37}}) {
        ChunkChain chain(bytes_of(csv), chunk_size, block_size);
        std::shared_ptr<FixedProgress> progress;
        std::uint64_t progress_rows = 0;
        for (std::uint64_t index = 0;; ++index) {
          const auto start = chain.start(index);
          if (progress) {
            ASSERT_EQ(progress->counted, progress_rows) << "chunk " << index - 1;
            progress.reset();
          }
          const std::uint64_t first = index * chunk_size;
          if (first >= rows) {
            // A chunk that begins where the input ends, its rows not
            // counted, is found empty by its conversion.
            if (start) {
              ASSERT_EQ(start->begin, row_starts.at(rows));
              ASSERT_FALSE(start->rows.has_value());
              chain.converted(index, 0, start->begin);
              ASSERT_FALSE(chain.start(index).has_value());
            }
            ASSERT_FALSE(chain.start(index + 1).has_value());
            break;
          }
          ASSERT_TRUE(start.has_value()) << "chunk " << index;
          ASSERT_EQ(start->begin, row_starts.at(first)) << "chunk " << index << " of " << csv;
          const std::uint64_t chunk_rows = std::min(chunk_size, rows - first);
          if (start->rows) {
            ASSERT_EQ(*start->rows, chunk_rows);
            continue;
          }
          switch (random() % 4) {
            case 0: {
              const std::uint64_t read = random() % (chunk_rows + 1);
              progress = std::make_shared<FixedProgress>(
                  ChunkProgress::Reached{read, row_starts.at(first + read)});
              progress_rows = chunk_rows;
              chain.converting(index, progress);
              break;
            }
            case 1:
              chain.converted(index, chunk_rows, row_starts.at(first + chunk_rows));
              break;
            case 2: {
              // Counted by another thread before this one reports.
              ASSERT_TRUE(chain.chunk(index).has_value());
              const auto late =
                  std::make_shared<FixedProgress>(ChunkProgress::Reached{0, row_starts.at(first)});
              chain.converting(index, late);
              ASSERT_EQ(late->counted, chunk_rows) << "chunk " << index;
              break;
            }
            default:
              break;
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace vrex::ext
