#include "vrex/byte_buffer.h"

#include <sys/mman.h>

#include <cstdlib>
#include <new>

namespace vrex {

namespace {

constexpr std::size_t kMinimumCapacity = 4096;
constexpr std::size_t kHugePageSize = std::size_t{2} << 20;

// Large buffers ask for transparent huge pages: first touch of fresh 4 KiB
// pages costs more than writing them in these virtual machines.
void advise_huge_pages(std::uint8_t* data, std::size_t capacity) noexcept {
  if (capacity < 4 * kHugePageSize) return;
  auto first = (reinterpret_cast<std::uintptr_t>(data) + kHugePageSize - 1) & ~(kHugePageSize - 1);
  auto last = (reinterpret_cast<std::uintptr_t>(data) + capacity) & ~(kHugePageSize - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace

void ByteBuffer::reserve(std::size_t capacity) {
  if (capacity <= capacity_) return;
  void* grown = std::realloc(data_, capacity);
  if (grown == nullptr) throw std::bad_alloc();
  data_ = static_cast<std::uint8_t*>(grown);
  capacity_ = capacity;
  advise_huge_pages(data_, capacity_);
}

void ByteBuffer::grow_for(std::size_t extra) {
  if (extra > SIZE_MAX - size_) throw std::bad_alloc();
  std::size_t needed = size_ + extra;
  std::size_t doubled = capacity_ > SIZE_MAX / 2 ? SIZE_MAX : capacity_ * 2;
  std::size_t capacity = doubled > needed ? doubled : needed;
  reserve(capacity < kMinimumCapacity ? kMinimumCapacity : capacity);
}

void ByteBuffer::release() noexcept {
  std::free(data_);
  data_ = nullptr;
  size_ = 0;
  capacity_ = 0;
}

}  // namespace vrex
