#include "vrex/huge_pages.h"

#include <sys/mman.h>

#include <cstdint>

namespace vrex {

namespace {

constexpr std::size_t kHugePageSize = std::size_t{2} << 20;
constexpr std::size_t kSmallestAdvised = 4 * kHugePageSize;

}  // namespace

void advise_huge_pages(void* data, std::size_t size) noexcept {
  if (size < kSmallestAdvised) return;
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + kHugePageSize - 1) & ~(kHugePageSize - 1);
  const std::uintptr_t last = (begin + size) & ~(kHugePageSize - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace vrex
