// A conversion written into a caller's storage gives the same bytes and the
// same errors as one into a heap buffer, whatever the storage does between
// growths; exhausted memory at any growth throws and leaks nothing.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "pipeline/pipeline.h"
#include "support/moving_storage.h"

namespace vrex::ext {
namespace {

namespace fs = std::filesystem;

using vrex::testing::MovingStorage;

std::span<const std::uint8_t> bytes_of(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string read_file(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

// What a conversion gave: the file's bytes, or the message.
struct Outcome {
  bool converted = false;
  std::string text;

  bool operator==(const Outcome&) const = default;
};

Outcome on_heap(const std::string& csv, std::uint64_t chunk_size) {
  auto converted = convert_csv(bytes_of(csv), chunk_size, kDefaultSampleRows);
  if (!converted) return {false, converted.error()};
  return {true, std::string(reinterpret_cast<const char*>(converted->data()), converted->size())};
}

Outcome over_storage(const std::string& csv, std::uint64_t chunk_size, MovingStorage& storage) {
  ByteBuffer output(storage);
  auto converted = convert_csv(bytes_of(csv), chunk_size, kDefaultSampleRows, output);
  if (!converted) return {false, converted.error()};
  return {true, std::string(reinterpret_cast<const char*>(output.data()), output.size())};
}

// Inputs whose output outgrows the first reservation many times over, or
// fails part way.
std::vector<std::string> generated_inputs() {
  std::string wide;
  for (int column = 0; column < 2000; ++column)
    wide += (column ? ",c" : "c") + std::to_string(column);
  wide += "\n";
  for (int row = 0; row < 40; ++row) wide += std::to_string(row) + "\n";

  std::string texts = "id,name,price\n";
  for (int row = 0; row < 5000; ++row) {
    texts += std::to_string(row) + ",\"name, " + std::to_string(row * 7) + "\"," +
             std::to_string(row) + ".25\n";
  }
  std::string broken_at_end = texts + "1,2,\xff\n";
  return {"a\n", "a,b\n1,2\n", wide, texts, broken_at_end, "\xff\n", "a\n\"unclosed\n"};
}

TEST(OutputStorage, GeneratedInputsMatchTheHeapBuffer) {
  for (const std::string& csv : generated_inputs()) {
    for (std::uint64_t chunk_size : {std::uint64_t{1}, std::uint64_t{7}, kDefaultChunkSize}) {
      SCOPED_TRACE(csv.substr(0, 40) + " chunk_size " + std::to_string(chunk_size));
      MovingStorage storage;
      EXPECT_EQ(over_storage(csv, chunk_size, storage), on_heap(csv, chunk_size));
      EXPECT_FALSE(storage.kept_too_much());
    }
  }
}

TEST(OutputStorage, CorpusMatchesTheHeapBuffer) {
  const fs::path corpus = VREX_CORPUS_DIR;
  if (!fs::exists(corpus / "MANIFEST.tsv")) GTEST_SKIP() << "no corpus at " << corpus;
  int compared = 0;
  for (const auto& entry : fs::recursive_directory_iterator(corpus)) {
    if (entry.path().extension() != ".csv") continue;
    SCOPED_TRACE(entry.path().string());
    const std::string csv = read_file(entry.path());
    // Small chunks make many sections, so a failure part way is exercised too.
    for (std::uint64_t chunk_size : {std::uint64_t{3}, kDefaultChunkSize}) {
      MovingStorage storage;
      ASSERT_EQ(over_storage(csv, chunk_size, storage), on_heap(csv, chunk_size));
    }
    ++compared;
  }
  EXPECT_GT(compared, 700);
}

TEST(OutputStorage, ExhaustedMemoryAtAnyGrowthThrows) {
  const std::string csv = generated_inputs()[2];  // the wide one: many growths
  MovingStorage counting;
  const Outcome whole = over_storage(csv, 5, counting);
  ASSERT_TRUE(whole.converted);
  ASSERT_GT(counting.growths(), 3u);
  for (std::size_t failing = 1; failing <= counting.growths(); ++failing) {
    SCOPED_TRACE(failing);
    MovingStorage storage(failing);
    EXPECT_THROW(over_storage(csv, 5, storage), std::bad_alloc);
  }
}

}  // namespace
}  // namespace vrex::ext
