#include "parallel/warm_memory.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace vrex::ext {
namespace {

// Moves the calling thread to `core` alone; false where it may not run there.
bool run_on(int core) {
  cpu_set_t cores;
  CPU_ZERO(&cores);
  CPU_SET(core, &cores);
  return sched_setaffinity(0, sizeof(cores), &cores) == 0 && sched_getcpu() == core;
}

// Restores the thread's cores when the test ends, however it ends.
class CoresRestored {
 public:
  CoresRestored() { sched_getaffinity(0, sizeof(cores_), &cores_); }

  ~CoresRestored() { sched_setaffinity(0, sizeof(cores_), &cores_); }

  CoresRestored(const CoresRestored&) = delete;
  CoresRestored& operator=(const CoresRestored&) = delete;

  const cpu_set_t& cores() const { return cores_; }

 private:
  cpu_set_t cores_{};
};

// A converter kept on one core goes to a thread on that core, whichever was
// kept first; a thread on a core with none kept takes any that fits. Tile
// sizes tell the converters apart.
TEST(WarmMemory, AConverterGoesBackToTheCoreItWasKeptOn) {
  const CoresRestored restored;
  std::vector<int> cores;
  for (int core = 0; core < CPU_SETSIZE && cores.size() < 2; ++core) {
    if (CPU_ISSET(core, &restored.cores())) cores.push_back(core);
  }
  if (cores.size() < 2 || !run_on(cores[1]) || !run_on(cores[0])) {
    GTEST_SKIP() << "needs two cores this thread can be moved between";
  }

  WarmMemory& kept = WarmMemory::process_wide();
  kept.release();
  const std::vector<ValueType> types = {ValueType::Long, ValueType::String};
  const std::vector<std::uint8_t> input = {'1', ',', 'a', '\n'};
  const std::uint64_t chunk_size = 50;
  auto keep_on = [&](int core, std::size_t tile_rows) {
    ASSERT_TRUE(run_on(core));
    kept.keep_converter(ChunkConverter(RowQueue(input, types.size()), types, chunk_size, tile_rows),
                        types, chunk_size);
  };
  auto tile_taken_on = [&](int core) -> std::optional<std::size_t> {
    if (!run_on(core)) return std::nullopt;
    std::optional<ChunkConverter> converter = kept.take_converter(input, types, chunk_size);
    if (!converter) return std::nullopt;
    return converter->rows_per_ask();
  };

  keep_on(cores[0], 64);
  keep_on(cores[1], 128);
  EXPECT_EQ(tile_taken_on(cores[1]), 128u);
  EXPECT_EQ(tile_taken_on(cores[0]), 64u);

  keep_on(cores[0], 64);
  EXPECT_EQ(tile_taken_on(cores[1]), 64u);
  EXPECT_EQ(tile_taken_on(cores[1]), std::nullopt);
  kept.release();
}

}  // namespace
}  // namespace vrex::ext
