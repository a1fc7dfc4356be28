#include "parallel/result_pages.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>

namespace vrex::ext {

namespace {

#ifdef MADV_POPULATE_WRITE
constexpr int kPopulateWrite = MADV_POPULATE_WRITE;
#else
constexpr int kPopulateWrite = 23;  // older headers lack it
#endif
constexpr std::uintptr_t kSmallPageSize = 4096;

}  // namespace

bool ResultPages::fault_in_through(ByteBuffer& buffer, std::size_t end) noexcept {
  end = std::min(end, buffer.capacity());
  if (end <= faulted_) return true;
  const auto base = reinterpret_cast<std::uintptr_t>(buffer.data());
  const std::uintptr_t first = (base + faulted_) & ~(kSmallPageSize - 1);
  faulted_ = end;
  // NOLINTNEXTLINE(performance-no-int-to-ptr): madvise takes an address
  return madvise(reinterpret_cast<void*>(first), base + end - first, kPopulateWrite) == 0;
}

}  // namespace vrex::ext
