#include "vrex/huge_pages.h"

#include <sys/mman.h>

#include <atomic>
#include <chrono>
#include <cstdint>

namespace vrex {

namespace {

constexpr std::size_t kHugePageSize = std::size_t{2} << 20;
constexpr std::size_t kSmallestAdvised = 4 * kHugePageSize;
constexpr std::chrono::steady_clock::duration kWarmFor = std::chrono::seconds(1);

// When a large buffer was last released, on the steady clock; zero for never.
std::atomic<std::int64_t> last_large_release{0};

std::int64_t now() noexcept { return std::chrono::steady_clock::now().time_since_epoch().count(); }

}  // namespace

void note_release(std::size_t size) noexcept {
  if (size >= kSmallestAdvised) last_large_release.store(now(), std::memory_order_relaxed);
}

void advise_huge_pages(void* data, std::size_t size) noexcept {
  if (size < kSmallestAdvised) return;
  const std::int64_t released = last_large_release.load(std::memory_order_relaxed);
  if (released == 0 || now() - released > kWarmFor.count()) return;
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + kHugePageSize - 1) & ~(kHugePageSize - 1);
  const std::uintptr_t last = (begin + size) & ~(kHugePageSize - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace vrex
