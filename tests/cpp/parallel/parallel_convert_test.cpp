// The parallel engine against the one-thread conversion: the same bytes, or
// the same first error, for every thread count and part size.
#include "parallel/parallel_convert.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "parallel/record_scan.h"
#include "parallel/warm_memory.h"
#include "pipeline/pipeline.h"
#include "support/corpus_files.h"
#include "support/golden_csv.h"

namespace vrex::ext {
namespace {

using vrex::testing::golden_cases;
using vrex::testing::GoldenCase;

std::span<const std::uint8_t> bytes_of(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// "ok:" and the output's bytes, or "error:" and the message.
std::string outcome_serial(const std::string& csv, std::uint64_t chunk, std::uint64_t sample) {
  auto converted = convert_csv(bytes_of(csv), chunk, sample);
  if (!converted) return "error:" + converted.error();
  return "ok:" + std::string(reinterpret_cast<const char*>(converted->data()), converted->size());
}

// How much room the output has before the conversion. With room, workers
// write sections themselves, straight into it while it lasts; a section that
// outgrows it is written again through a buffer of its own. Without room the
// output grows, which only the calling thread may do.
enum class Room { None, HalfTheOutput, Ample };

std::string outcome_parallel(const std::string& csv, const ParallelOptions& options,
                             Room room = Room::None, std::size_t expected_size = 0) {
  ByteBuffer output;
  if (room == Room::HalfTheOutput) output.reserve(expected_size / 2 + 1);
  if (room == Room::Ample) output.reserve(4096 + 4 * csv.size());
  BufferSink sink(output);
  auto converted = convert_csv_parallel(bytes_of(csv), options, sink);
  if (!converted) return "error:" + converted.error().message;
  return "ok:" + std::string(reinterpret_cast<const char*>(output.data()), output.size());
}

// Who faults the output's pages in changes no byte. Chunks are written in
// place only where the output has room.
std::vector<ResultFaults> faults_to_try(Room room) {
  switch (room) {
    case Room::None:
      return {ResultFaults::AheadOnCallingThread};
    case Room::HalfTheOutput:
      return {ResultFaults::AsWritten};
    case Room::Ample:
      return {ResultFaults::AheadOnCallingThread, ResultFaults::AsWritten};
  }
  return {};
}

// Tiles of one row let a thread with nothing left take the last rows of a
// chunk of three rows or more.
void expect_same_everywhere(const std::string& csv, std::uint64_t chunk, std::uint64_t sample) {
  const std::string expected = outcome_serial(csv, chunk, sample);
  for (unsigned threads : {1u, 2u, 4u}) {
    for (std::size_t part_size :
         {std::size_t{1}, std::size_t{3}, std::size_t{64}, kDefaultPartSize}) {
      for (const Room room : {Room::None, Room::HalfTheOutput, Room::Ample}) {
        for (const std::size_t tile_rows : {std::size_t{0}, std::size_t{1}}) {
          for (const ResultFaults faults : faults_to_try(room)) {
            const std::string got =
                outcome_parallel(csv, {chunk, sample, threads, part_size, 1, tile_rows, faults},
                                 room, expected.size());
            ASSERT_EQ(got, expected)
                << "threads " << threads << ", part size " << part_size << ", chunk " << chunk
                << ", sample " << sample << ", room " << static_cast<int>(room) << ", tile rows "
                << tile_rows << ", faulted as written " << (faults == ResultFaults::AsWritten)
                << ", input:\n"
                << csv;
          }
        }
      }
    }
  }
}

TEST(ParallelConvert, GoldenCasesMatchTheOneThreadConversion) {
  for (const GoldenCase& golden : golden_cases()) {
    SCOPED_TRACE(golden.name);
    for (std::uint64_t chunk : {1u, 2u, 3u, 10000u}) {
      for (std::uint64_t sample : {0u, 1u, 2u, 1000u})
        expect_same_everywhere(golden.csv, chunk, sample);
    }
  }
}

TEST(ParallelConvert, ZeroChunkSizeIsRefused) {
  EXPECT_EQ(outcome_parallel("a\n1\n", {0, 1, 2, 1}), outcome_serial("a\n1\n", 0, 1));
}

// Random inputs built from the bytes that matter to the reader.
std::string random_csv(std::mt19937_64& random) {
  static const std::vector<std::string> pieces = {
      ",",    "\"", "\"\"",     "\n",           "\r",   "\r\n", "1",  "2.5",  "-7",  "x",
      "true", "ab", "\xC3\xA9", "\xE2\x82\xAC", "\xFF", "\xC3", "  ", "null", "1e5", "\n\n"};
  std::string csv = "a,b,c\n";
  const std::size_t count = random() % 120;
  for (std::size_t index = 0; index < count; ++index) csv += pieces[random() % pieces.size()];
  return csv;
}

TEST(ParallelConvert, SeededRandomInputsMatch) {
  std::mt19937_64 random(20261208);
  for (int round = 0; round < 300; ++round) {
    const std::string csv = random_csv(random);
    const std::uint64_t chunk = 1 + random() % 4;
    const std::uint64_t sample = random() % 5;
    expect_same_everywhere(csv, chunk, sample);
  }
}

TEST(ParallelConvert, ManyChunksOnManyThreadsStayInOrder) {
  std::string csv = "id,name,score\n";
  for (int row = 0; row < 5000; ++row) {
    csv += std::to_string(row) + ",\"name " + std::to_string(row % 97) + "\n\"," +
           std::to_string(row * 0.5) + "\n";
  }
  expect_same_everywhere(csv, 37, 100);
  expect_same_everywhere(csv + "9,\xFF,1\n", 37, 100);
}

// A buffer sink whose buffer, once full, grows by a little room at a time:
// a few sections are placed in it between growths.
class SteppedBufferSink final : public OutputSink {
 public:
  Status<ConvertFailure> write(std::span<const std::uint8_t> bytes) override {
    if (output.capacity() - output.size() < bytes.size()) {
      output.reserve(output.size() + bytes.size() + kStep);
    }
    output.append(bytes.data(), bytes.size());
    return {};
  }

  bool writes_anywhere(std::size_t size) const noexcept override {
    return output.capacity() - output.size() >= size;
  }

  ByteBuffer* buffer() noexcept override { return &output; }

  static constexpr std::size_t kStep = 256 << 10;
  ByteBuffer output;
};

// Sections are copied into their places by several threads at once, and the
// output grows (and moves) only once no copy is in flight.
TEST(ParallelConvert, CopiesEndBeforeTheOutputGrows) {
  std::string csv = "id,name,score\n";
  for (int row = 0; row < 60000; ++row) {
    csv += std::to_string(row) + ",\"n " + std::to_string(row % 89) + "\"," +
           std::to_string(row * 0.75) + "\n";
  }
  const std::string expected = outcome_serial(csv, 4000, 100);
  for (int round = 0; round < 20; ++round) {
    for (const unsigned threads : {3u, 8u}) {
      SteppedBufferSink sink;
      ASSERT_TRUE(convert_csv_parallel(bytes_of(csv), {4000, 100, threads, 4096, 1}, sink));
      const std::string got = "ok:" + std::string(reinterpret_cast<const char*>(sink.output.data()),
                                                  sink.output.size());
      // Not printed: a megabyte of bytes says less than where they differ.
      ASSERT_TRUE(got == expected)
          << "threads " << threads << ": the bytes differ from "
          << std::mismatch(got.begin(), got.end(), expected.begin(), expected.end()).first -
                 got.begin();
    }
  }
}

// A progress check that holds the calling thread back at its first report
// (after its first chunk), so that the helpers take over before it converts
// every chunk alone.
ProgressCheck holding_back_first_report() {
  return [first = true](std::uint64_t, std::uint64_t) mutable {
    if (std::exchange(first, false)) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return true;
  };
}

// A sink that places every section, in a buffer it does not offer for
// writing in place, and writes placed sections slowly, so that copies pile
// up and several threads take them; now and then it places slowly too,
// while the others fill their window.
class SlowCopySink final : public OutputSink {
 public:
  explicit SlowCopySink(std::size_t room) { output_.reserve(room); }

  Status<ConvertFailure> write(std::span<const std::uint8_t> bytes) override {
    output_.append(bytes.data(), bytes.size());
    return {};
  }

  bool writes_anywhere(std::size_t) const noexcept override { return true; }

  std::optional<std::uint64_t> place(std::size_t size) override {
    if (output_.capacity() - output_.size() < size) return std::nullopt;
    if (++places_ % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const std::uint64_t at = output_.size();
    output_.append_uninitialized(size);
    return at;
  }

  Status<ConvertFailure> write_placed(std::uint64_t place,
                                      std::span<const std::uint8_t> bytes) override {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    std::memcpy(output_.data() + place, bytes.data(), bytes.size());
    return {};
  }

  std::string outcome() const {
    return "ok:" + std::string(reinterpret_cast<const char*>(output_.data()), output_.size());
  }

 private:
  ByteBuffer output_;
  int places_ = 0;
};

TEST(ParallelConvert, SlowPlacesAndCopiesKeepTheOrder) {
  std::string csv = "id,name\n";
  for (int row = 0; row < 20000; ++row) {
    csv += std::to_string(row) + ",n" + std::to_string(row % 7) + "\n";
  }
  const std::string expected = outcome_serial(csv, 40, 10);
  for (int round = 0; round < 3; ++round) {
    SlowCopySink sink(4 * csv.size() + 4096);
    ASSERT_TRUE(convert_csv_parallel(bytes_of(csv), {40, 10, 8, 4096, 1}, sink,
                                     holding_back_first_report()));
    ASSERT_TRUE(sink.outcome() == expected) << "round " << round;
  }
}

// Several bad rows: in the chunks the calling thread converts before the
// helpers take over, in the chunk it hands over with, and in chunks the
// helpers convert meanwhile. The first in the input is the one reported.
TEST(ParallelConvert, TheFirstOfSeveralErrorsIsReportedWhereverItFalls) {
  constexpr int kRows = 3000;
  constexpr int kChunk = 37;
  const std::vector<std::vector<int>> bad_rows = {
      {3, 1500, 2999}, {40, 41, 2000}, {kChunk * 5, kChunk * 40}, {2500, 2600}, {2999}};
  for (const std::vector<int>& bad : bad_rows) {
    std::string csv = "id,name,score\n";
    for (int row = 0; row < kRows; ++row) {
      const bool broken = std::find(bad.begin(), bad.end(), row) != bad.end();
      csv += std::to_string(row) + ",\"n " + std::to_string(row % 13) + "\"," +
             (broken ? "\xFF" : std::to_string(row * 0.25)) + "\n";
    }
    SCOPED_TRACE(bad.front());
    for (const std::uint64_t sample : {std::uint64_t{10}, std::uint64_t{100}}) {
      expect_same_everywhere(csv, kChunk, sample);
    }
  }
}

// A thread with nothing left takes the last rows of a chunk still under way
// (its cells long, those of the chunk before it short; 128 columns, so
// that a converter reads few rows at a time). Those rows convert the same
// joined to the chunk's: numbers, texts in the input, and texts the reader
// copies (escaped quotes, line breaks), which the part keeps until the chunk
// is written. A bad cell among them is reported where the one-thread
// conversion meets it, or a bad cell before them instead.
TEST(ParallelConvert, RowsTakenFromAChunkUnderWayConvertAsTheChunk) {
  constexpr int kChunk = 2000;
  constexpr int kColumns = 128;
  const std::vector<std::vector<int>> bad_rows = {
      {}, {2 * kChunk - 1}, {2 * kChunk - 300}, {kChunk + 10, 2 * kChunk - 1}};
  for (const std::vector<int>& bad : bad_rows) {
    std::string csv = "id";
    for (int column = 1; column < kColumns; ++column) csv += ",c" + std::to_string(column);
    csv += "\n";
    for (int row = 0; row < 2 * kChunk; ++row) {
      const bool broken = std::find(bad.begin(), bad.end(), row) != bad.end();
      csv += std::to_string(row);
      const std::size_t length = row < kChunk ? 1 : 8 + static_cast<std::size_t>(row % 8);
      for (int column = 1; column < kColumns; ++column) {
        const std::string text(length, static_cast<char>('a' + (row + column) % 26));
        if (column % 5 == 0) {
          csv += "," + std::to_string(row * column);
        } else if (row >= kChunk && (row + column) % 7 == 0) {
          csv += ",\"" + text + "\"\"\n\"";
        } else {
          csv += "," + text;
        }
      }
      csv += broken ? ",\xFF\n" : "\n";
    }
    SCOPED_TRACE(bad.empty() ? -1 : bad.front());
    const std::string expected = outcome_serial(csv, kChunk, 100);
    // With room, the chunk is written in place, its columns shared with the
    // thread that took its last rows.
    for (int round = 0; round < 20; ++round) {
      for (unsigned threads : {2u, 3u}) {
        for (const Room room : {Room::None, Room::Ample}) {
          const ResultFaults faults = faults_to_try(room)[round % faults_to_try(room).size()];
          // Megabytes each: compared whole, not diffed.
          ASSERT_TRUE(outcome_parallel(csv, {kChunk, 100, threads, kDefaultPartSize, 1, 0, faults},
                                       room) == expected)
              << "round " << round << ", threads " << threads << ", room "
              << static_cast<int>(room);
        }
      }
    }
  }
}

// Every corpus file cut into small chunks shared between threads (the
// package's own tests convert these chunks on one thread).
// Rows of one shape (an integer, a text, a number), with texts the reader
// must copy (escaped quotes, line breaks) and cells that do not convert.
std::string shaped_csv(int rows, int seed) {
  std::string csv = "id,name,score\n";
  for (int row = 0; row < rows; ++row) {
    const int value = row * seed;
    std::string name = (value % 3 == 0)
                           ? "\"say \"\"hi\"\" " + std::to_string(value) + "\n\""
                           : "n" + std::string(static_cast<std::size_t>(value % 40), 'x');
    std::string score = (value % 11 == 0) ? "oops" : std::to_string(value * 0.25);
    csv += std::to_string(value) + "," + name + "," + score + "\n";
  }
  return csv;
}

// Workers hand their converters and sections to the next call: whatever one
// input left in them must not show in the next one's bytes or errors.
TEST(ParallelConvert, MemoryKeptBetweenCallsCarriesNothingOver) {
  WarmMemory::process_wide().release();
  const std::vector<std::string> inputs = {
      shaped_csv(900, 7), shaped_csv(120, 3), shaped_csv(900, 5) + "1,\"unclosed\n",
      shaped_csv(40, 1),  shaped_csv(900, 7), shaped_csv(700, 13) + "2,3,4,5\n"};
  for (unsigned threads : {1u, 2u, 4u}) {
    for (const std::string& csv : inputs) {
      const ParallelOptions options{37, 50, threads, 64, 1};
      ASSERT_EQ(outcome_parallel(csv, options), outcome_serial(csv, 37, 50));
      EXPECT_GT(WarmMemory::process_wide().kept_converters(), 0u);
    }
  }
  // Another chunk size or other columns find nothing to take, and still match.
  expect_same_everywhere(shaped_csv(300, 2), 41, 50);
  expect_same_everywhere("a,b\n1,2\n3,4\n", 1, 1);

  WarmMemory::process_wide().release();
  EXPECT_EQ(WarmMemory::process_wide().kept_converters(), 0u);
  EXPECT_EQ(WarmMemory::process_wide().kept_section_bytes(), 0u);
}

TEST(ParallelConvert, KeptMemoryIsGivenBackAfterTheLastCall) {
  const std::string csv = shaped_csv(900, 7);
  ASSERT_EQ(outcome_parallel(csv, {37, 50, 2, 64, 1}), outcome_serial(csv, 37, 50));
  // Given back by its own thread a moment later (generously bounded here).
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (WarmMemory::process_wide().kept_converters() > 0 &&
         std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(WarmMemory::process_wide().kept_converters(), 0u);
  EXPECT_EQ(WarmMemory::process_wide().kept_section_bytes(), 0u);
}

TEST(ParallelConvert, CorpusFilesMatchTheOneThreadConversion) {
  const auto files = vrex::testing::corpus_files();
  if (files.empty()) GTEST_SKIP() << "no corpus beside the project";
  for (const auto& [path, csv] : files) {
    const std::string expected = outcome_serial(csv, 7, 5);
    for (std::size_t part_size : {std::size_t{64}, kDefaultPartSize}) {
      ASSERT_EQ(outcome_parallel(csv, {7, 5, 2, part_size, 1}), expected)
          << path << ", part size " << part_size;
    }
  }
}

TEST(ParallelConvert, FileSinkReportsTheSystemError) {
  FileSink sink(-1);
  auto written = sink.write(bytes_of("x"));
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().kind, ConvertFailure::Kind::Output);
}

// A sink that places every section it can and fails to write the
// `failing`-th of all it is given (the file's start is the 0th, chunk k the
// (k + 1)-th), placed or not: its failure is reported when it comes before a
// bad row in order, the bad row's when that comes first.
class FailingSink final : public OutputSink {
 public:
  explicit FailingSink(std::size_t failing) : failing_(failing) {}

  Status<ConvertFailure> write(std::span<const std::uint8_t> bytes) override {
    end_ += bytes.size();
    return sections_++ == failing_ ? full() : Status<ConvertFailure>{};
  }

  bool writes_anywhere(std::size_t) const noexcept override { return true; }

  std::optional<std::uint64_t> place(std::size_t size) override {
    const std::lock_guard lock(mutex_);
    if (sections_++ == failing_) failing_place_ = end_;
    end_ += size;
    return end_ - size;
  }

  Status<ConvertFailure> write_placed(std::uint64_t place, std::span<const std::uint8_t>) override {
    std::unique_lock lock(mutex_);
    if (place != failing_place_) return {};
    lock.unlock();
    // A failing write takes its time: later chunks fail meanwhile.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return full();
  }

 private:
  static Status<ConvertFailure> full() {
    return Unexpected<ConvertFailure>{ConvertFailure{ConvertFailure::Kind::Output, "full", 28}};
  }

  std::size_t failing_;
  std::size_t sections_ = 0;
  std::uint64_t end_ = 0;
  std::mutex mutex_;  // places are taken while earlier ones are written
  std::optional<std::uint64_t> failing_place_;
};

TEST(ParallelConvert, AFailedWriteComesInOrderWithBadRows) {
  // 40 chunks of 50 rows; row 1525 is in chunk 30.
  std::string csv = "id,name,score\n";
  for (int row = 0; row < 2000; ++row) {
    csv += std::to_string(row) + ",n," + (row == 1525 ? "\xFF" : std::to_string(row)) + "\n";
  }
  for (int round = 0; round < 20; ++round) {
    for (const unsigned threads : {1u, 2u, 4u}) {
      for (const std::size_t failing : {std::size_t{2}, std::size_t{30}, std::size_t{31}}) {
        FailingSink sink(failing);
        auto converted = convert_csv_parallel(bytes_of(csv), {50, 10, threads, 256, 1}, sink);
        ASSERT_FALSE(converted);
        // Chunk 29 is section 30, written before chunk 30 is read.
        EXPECT_EQ(converted.error().kind,
                  failing <= 30 ? ConvertFailure::Kind::Output : ConvertFailure::Kind::Conversion)
            << threads << " threads, failing section " << failing;
      }
    }
  }
}

// Records which threads wrote; may forbid writes off the calling thread.
class WatchedSink final : public OutputSink {
 public:
  explicit WatchedSink(bool anywhere) : anywhere_(anywhere) {}

  Status<ConvertFailure> write(std::span<const std::uint8_t> bytes) override {
    if (std::this_thread::get_id() == calling_) {
      ++on_calling_thread;
    } else {
      ++elsewhere;
    }
    bytes_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return {};
  }

  bool writes_anywhere(std::size_t) const noexcept override { return anywhere_; }

  std::string outcome() const { return "ok:" + bytes_; }

  int on_calling_thread = 0;
  int elsewhere = 0;

 private:
  bool anywhere_;
  std::thread::id calling_ = std::this_thread::get_id();
  std::string bytes_;
};

// The calling thread converts and writes chunks too, so a call may, by the
// luck of scheduling, write everything there even where the sink allows
// otherwise (on a loaded machine, 200 calls in a row did). Held back at its
// first report, it leaves the helpers chunks to write; still, of up to 200
// calls, some must have written elsewhere.
TEST(ParallelConvert, WorkersWriteOnlyWhereTheSinkAllows) {
  const std::string csv = shaped_csv(4000, 7);
  const std::string expected = outcome_serial(csv, 50, 10);
  for (const bool anywhere : {false, true}) {
    int elsewhere = 0;
    for (int call = 0; call < (anywhere ? 200 : 20) && (!anywhere || elsewhere == 0); ++call) {
      WatchedSink sink(anywhere);
      ASSERT_TRUE(convert_csv_parallel(bytes_of(csv), {50, 10, 3, 512, 1}, sink,
                                       holding_back_first_report()));
      ASSERT_EQ(sink.outcome(), expected) << "anywhere " << anywhere;
      elsewhere += sink.elsewhere;
    }
    if (anywhere) {
      EXPECT_GT(elsewhere, 0);
    } else {
      EXPECT_EQ(elsewhere, 0);
    }
  }
}

TEST(ParallelConvert, ProgressCanStopTheConversion) {
  std::string csv = "a\n";
  for (int row = 0; row < 1000; ++row) csv += "1\n";
  ByteBuffer output;
  BufferSink sink(output);
  std::uint64_t last_total = 0;
  auto converted = convert_csv_parallel(bytes_of(csv), {10, 10, 2, 64}, sink,
                                        [&](std::uint64_t, std::uint64_t total) {
                                          last_total = total;
                                          return false;
                                        });
  ASSERT_FALSE(converted);
  EXPECT_EQ(converted.error().kind, ConvertFailure::Kind::Stopped);
  EXPECT_EQ(last_total, csv.size());
}

// A stop asked for while the threads convert: the first check (before any
// chunk) outlasts the time between checks, so the next one comes as soon as
// the calling thread has converted a chunk, or waited for one to take.
TEST(ParallelConvert, ProgressStopsTheConversionUnderWay) {
  const std::string csv = shaped_csv(4000, 7);
  for (const unsigned threads : {2u, 3u}) {
    ByteBuffer output;
    BufferSink sink(output);
    std::vector<std::uint64_t> done_seen;
    auto converted =
        convert_csv_parallel(bytes_of(csv), {50, 10, threads, 512, 1}, sink,
                             [&](std::uint64_t done, std::uint64_t total) {
                               EXPECT_EQ(total, csv.size());
                               done_seen.push_back(done);
                               if (done_seen.size() > 1) return false;
                               std::this_thread::sleep_for(std::chrono::milliseconds(150));
                               return true;
                             });
    ASSERT_FALSE(converted);
    EXPECT_EQ(converted.error().kind, ConvertFailure::Kind::Stopped);
    ASSERT_EQ(done_seen.size(), 2u);
    EXPECT_LE(done_seen[0], done_seen[1]);
  }
}

// Random bytes of `alphabet`; with sparse quotes, most 64-byte blocks have
// none, which the scans step through a run at a time.
std::string random_scan_text(std::mt19937_64& random, std::string_view alphabet, std::size_t length,
                             bool sparse_quotes) {
  std::string text;
  for (std::size_t index = 0; index < length; ++index) {
    char byte = alphabet[random() % alphabet.size()];
    if (sparse_quotes && byte == '"' && random() % 64 != 0) byte = 'q';
    text += byte;
  }
  return text;
}

// Block summaries against the plain machine, from every start state.
TEST(RecordScan, SummariesAgreeWithTheByteMachine) {
  std::mt19937_64 random(7);
  for (int round = 0; round < 3000; ++round) {
    const std::string text = random_scan_text(random, ",\"\r\nxxxyz\xC3\xA9",
                                              random() % (round < 1000 ? 12 : 9000), round >= 2000);
    const BlockSummary summary = summarize_block(bytes_of(text));
    for (std::size_t state = 0; state < kScanStateCount; ++state) {
      const ReferenceWalk walk = walk_reference(bytes_of(text), static_cast<ScanState>(state));
      ASSERT_EQ(summary.end_state[state], walk.end_state) << text;
      ASSERT_EQ(summary.record_starts[state], walk.record_starts) << text;
    }
  }
}

// Walks to the n-th record end against the byte-at-a-time walk, from every
// start state, for stops inside and past the bytes.
TEST(RecordScan, SkippingRecordsAgreesWithTheByteWalk) {
  std::mt19937_64 random(9);
  for (int round = 0; round < 900; ++round) {
    const std::string text = random_scan_text(random, ",\"\r\nxxxyzz",
                                              random() % (round < 300 ? 40 : 5000), round >= 600);
    for (std::size_t state = 0; state < kScanStateCount; ++state) {
      for (const std::uint64_t records : {0, 1, 2, 7, 40, 1000}) {
        const auto from = static_cast<ScanState>(state);
        const ScanStop fast = skip_records(bytes_of(text), from, records);
        const ScanStop plain = skip_records_reference(bytes_of(text), from, records);
        ASSERT_EQ(fast.found, plain.found) << text;
        ASSERT_EQ(fast.offset, plain.offset) << text;
        ASSERT_EQ(fast.state, plain.state) << text;
        ASSERT_EQ(fast.line_feeds, plain.line_feeds) << text;
        ASSERT_EQ(fast.record_starts, plain.record_starts) << text;
      }
    }
  }
}

}  // namespace
}  // namespace vrex::ext
