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

// Faulting pages in leaves the bytes written as they are and reaches the end
// asked for, or the end of the room when that comes first.
TEST(ResultPages, FaultsInThroughTheEndAskedAndKeepsTheBytes) {
  constexpr std::size_t kRoom = std::size_t{6} << 20;

  struct Case {
    std::size_t written;  // bytes written before
    std::size_t through;  // the end asked for
  };

  for (const Case& c : {Case{0, std::size_t{1} << 20}, Case{5000, std::size_t{3} << 20},
                        Case{100, kRoom * 4}, Case{std::size_t{2} << 20, 4096}}) {
    SCOPED_TRACE(c.written);
    ByteBuffer buffer;
    buffer.reserve(kRoom);
    for (std::size_t byte = 0; byte < c.written; ++byte) {
      buffer.push_back(static_cast<std::uint8_t>(byte * 7 + 1));
    }
    ResultPages pages(c.written);
    const bool faulted = pages.fault_in_through(buffer, c.through);
    for (std::size_t byte = 0; byte < c.written; ++byte) {
      ASSERT_EQ(buffer.data()[byte], static_cast<std::uint8_t>(byte * 7 + 1));
    }
    const std::size_t end = std::min(c.through, buffer.capacity());
    // Kernels before 5.14 (and some emulators) leave the faults to the writes.
    if (faulted && end > c.written) {
      EXPECT_TRUE(resident(buffer.data() + c.written, buffer.data() + end));
    }
  }
}

}  // namespace
}  // namespace vrex::ext
