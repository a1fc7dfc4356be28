#include "vrex/output_copy.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace vrex {
namespace {

// Every size around the streamed threshold and the line boundaries, from
// every alignment of source and target within a line: the same bytes as
// memcpy, and nothing written past the end.
TEST(OutputCopy, SameBytesAsMemcpyAtEverySizeAndAlignment) {
  constexpr std::size_t kGuard = 64;
  const std::vector<std::size_t> sizes = {0,
                                          1,
                                          15,
                                          16,
                                          63,
                                          64,
                                          65,
                                          kStreamedCopyBytes - 1,
                                          kStreamedCopyBytes,
                                          kStreamedCopyBytes + 1,
                                          kStreamedCopyBytes + 63,
                                          3 * kStreamedCopyBytes + 17};
  std::vector<std::uint8_t> source(sizes.back() + 2 * kGuard);
  for (std::size_t index = 0; index < source.size(); ++index) {
    source[index] = static_cast<std::uint8_t>(index * 131 + 7);
  }
  std::vector<std::uint8_t> copied(source.size() + 2 * kGuard);
  std::vector<std::uint8_t> expected(copied.size());
  for (std::size_t size : sizes) {
    for (std::size_t source_offset : {0, 1, 8, 33}) {
      for (std::size_t target_offset = 0; target_offset < 64; target_offset += 5) {
        std::memset(copied.data(), 0xEE, copied.size());
        std::memset(expected.data(), 0xEE, expected.size());
        copy_to_output(copied.data() + kGuard + target_offset, source.data() + source_offset, size);
        std::memcpy(expected.data() + kGuard + target_offset, source.data() + source_offset, size);
        ASSERT_EQ(copied, expected)
            << size << " bytes from offset " << source_offset << " to " << target_offset;
      }
    }
  }
}

}  // namespace
}  // namespace vrex
