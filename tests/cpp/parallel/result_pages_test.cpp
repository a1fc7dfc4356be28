#include "parallel/result_pages.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace vrex::ext {
namespace {

// Whether every page holding [begin, end) is in memory.
bool resident(const std::uint8_t* begin, const std::uint8_t* end) {
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(begin) & ~(page - 1);
  const auto last = reinterpret_cast<std::uintptr_t>(end);
  std::vector<unsigned char> pages((last - first + page - 1) / page);
  if (mincore(reinterpret_cast<void*>(first), last - first, pages.data()) != 0) return false;
  return std::all_of(pages.begin(), pages.end(), [](unsigned char flags) { return flags & 1; });
}

std::uint8_t pattern(std::size_t byte) { return static_cast<std::uint8_t>(byte * 7 + 1); }

// The rest of the input is expected to take room at the rate of what was
// converted so far: those pages are faulted in, up to the room's end, and the
// bytes written stay as they are.
TEST(ResultPages, FaultsInTheRoomTheRestOfTheInputShouldTake) {
  constexpr std::size_t kRoom = std::size_t{6} << 20;
  constexpr std::size_t kMiB = std::size_t{1} << 20;

  struct Case {
    std::size_t written;     // bytes in the buffer
    std::uint64_t read;      // input bytes they came from
    std::uint64_t input;     // the input's size
    std::size_t faulted_to;  // where the pages should be in place through
  };

  for (const Case& c : {
           Case{5000, 10000, 5 * kMiB, 5000 + (5 * kMiB - 10000) / 2},  // half a byte a byte
           Case{100, 100, 3 * kMiB, 3 * kMiB},                          // as many bytes out as in
           Case{4096, 1000, 10 * kMiB, kRoom},                          // more than the room
           Case{2 * kMiB, 2 * kMiB, 2 * kMiB, 2 * kMiB},                // nothing left to read
       }) {
    SCOPED_TRACE(c.written);
    ByteBuffer buffer;
    buffer.reserve(kRoom);
    for (std::size_t byte = 0; byte < c.written; ++byte) buffer.push_back(pattern(byte));
    const bool faulted = fault_in(buffer, 0, 1);  // whether the kernel can
    fault_in_rest(buffer, c.read, c.input);
    for (std::size_t byte = 0; byte < c.written; ++byte)
      ASSERT_EQ(buffer.data()[byte], pattern(byte));
    ASSERT_EQ(buffer.size(), c.written);
    // Kernels before 5.14 (and some emulators) leave the faults to the writes.
    if (faulted && c.faulted_to > c.written) {
      EXPECT_TRUE(resident(buffer.data() + c.written, buffer.data() + c.faulted_to - 1));
    }
  }
}

}  // namespace
}  // namespace vrex::ext
