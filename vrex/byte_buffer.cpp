#include "vrex/byte_buffer.h"

#include <cstdlib>
#include <new>

namespace vrex {

namespace {

constexpr std::size_t kMinimumCapacity = 4096;

}  // namespace

void ByteBuffer::reserve(std::size_t capacity) {
  if (capacity <= capacity_) return;
  if (storage_ != nullptr) {
    data_ = storage_->grow(size_, capacity);
  } else {
    void* grown = std::realloc(data_, capacity);
    if (grown == nullptr) throw std::bad_alloc();
    data_ = static_cast<std::uint8_t*>(grown);
  }
  capacity_ = capacity;
}

void ByteBuffer::grow_for(std::size_t extra) {
  if (extra > SIZE_MAX - size_) throw std::bad_alloc();
  std::size_t needed = size_ + extra;
  std::size_t doubled = capacity_ > SIZE_MAX / 2 ? SIZE_MAX : capacity_ * 2;
  std::size_t capacity = doubled > needed ? doubled : needed;
  reserve(capacity < kMinimumCapacity ? kMinimumCapacity : capacity);
}

void ByteBuffer::release() noexcept {
  if (storage_ == nullptr) std::free(data_);
  data_ = nullptr;
  size_ = 0;
  capacity_ = 0;
}

}  // namespace vrex
