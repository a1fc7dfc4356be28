#include "parallel/result_pages.h"

#include <sys/mman.h>

#include <algorithm>

namespace vrex::ext {

namespace {

#ifdef MADV_POPULATE_WRITE
constexpr int kPopulateWrite = MADV_POPULATE_WRITE;
#else
constexpr int kPopulateWrite = 23;  // older headers lack it
#endif
constexpr std::uintptr_t kSmallPageSize = 4096;

}  // namespace

bool fault_in(ByteBuffer& buffer, std::size_t begin, std::size_t end) noexcept {
  end = std::min(end, buffer.capacity());
  if (end <= begin) return true;
  return fault_in(buffer.data() + begin, end - begin);
}

bool fault_in(const std::uint8_t* begin, std::size_t size) noexcept {
  if (size == 0) return true;
  const auto start = reinterpret_cast<std::uintptr_t>(begin);
  const std::uintptr_t first = start & ~(kSmallPageSize - 1);
  // NOLINTNEXTLINE(performance-no-int-to-ptr): madvise takes an address
  return madvise(reinterpret_cast<void*>(first), start + size - first, kPopulateWrite) == 0;
}

std::size_t rest_end(const ByteBuffer& buffer, std::size_t written, std::uint64_t input_read,
                     std::uint64_t input_size) noexcept {
  if (input_read == 0 || input_read >= input_size) return written;
  const double per_input_byte = static_cast<double>(written) / static_cast<double>(input_read);
  const double rest = per_input_byte * static_cast<double>(input_size - input_read);
  return static_cast<std::size_t>(
      std::min(static_cast<double>(written) + rest, static_cast<double>(buffer.capacity())));
}

}  // namespace vrex::ext
