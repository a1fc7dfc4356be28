// A growable byte buffer that appends without zero-filling first.
//
// std::vector<uint8_t> value-initialises every byte it grows by; the output of a
// conversion is written once, so that pass over fresh memory is pure waste.
// Exhausted memory throws std::bad_alloc, which the module boundary reports.
//
// The bytes live on the heap, owned by the buffer, unless the buffer is made
// over a ByteStorage: then the storage owns them and must outlive the buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>
#include <utility>

#include "vrex/byte_storage.h"

namespace vrex {

class ByteBuffer {
 public:
  ByteBuffer() = default;

  // A buffer whose bytes `storage` keeps; it starts empty.
  explicit ByteBuffer(ByteStorage& storage) noexcept : storage_(&storage) {}

  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;

  ByteBuffer(ByteBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)),
        storage_(std::exchange(other.storage_, nullptr)) {}

  ByteBuffer& operator=(ByteBuffer&& other) noexcept {
    if (this != &other) {
      release();
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
      storage_ = std::exchange(other.storage_, nullptr);
    }
    return *this;
  }

  ~ByteBuffer() { release(); }

  const std::uint8_t* data() const noexcept { return data_; }

  std::uint8_t* data() noexcept { return data_; }

  std::size_t size() const noexcept { return size_; }

  std::size_t capacity() const noexcept { return capacity_; }

  bool empty() const noexcept { return size_ == 0; }

  std::span<const std::uint8_t> bytes() const noexcept { return {data_, size_}; }

  // Grows the buffer by `count` bytes and returns where they start; the caller
  // fills them before anything reads them.
  std::uint8_t* append_uninitialized(std::size_t count) {
    if (capacity_ - size_ < count) grow_for(count);
    std::uint8_t* place = data_ + size_;
    size_ += count;
    return place;
  }

  void append(const void* source, std::size_t count) {
    if (count != 0) std::memcpy(append_uninitialized(count), source, count);
  }

  void push_back(std::uint8_t byte) {
    if (size_ == capacity_) grow_for(1);
    data_[size_++] = byte;
  }

  void reserve(std::size_t capacity);

  // Drops bytes from the end; the capacity stays.
  void truncate(std::size_t size) noexcept {
    if (size < size_) size_ = size;
  }

  void clear() noexcept { size_ = 0; }

 private:
  void grow_for(std::size_t extra);
  void release() noexcept;

  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  ByteStorage* storage_ = nullptr;  // null: the heap, and the buffer owns data_
};

}  // namespace vrex

namespace vrex {

// A growable array of trivially copyable values on top of ByteBuffer: it
// grows by realloc (large blocks move by remapping, not copying) and appends
// without zero-filling.
template <class T>
class PodArray {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  std::size_t size() const noexcept { return bytes_.size() / sizeof(T); }

  bool empty() const noexcept { return bytes_.empty(); }

  T* data() noexcept { return reinterpret_cast<T*>(bytes_.data()); }

  const T* data() const noexcept { return reinterpret_cast<const T*>(bytes_.data()); }

  T& operator[](std::size_t index) noexcept { return data()[index]; }

  const T& operator[](std::size_t index) const noexcept { return data()[index]; }

  void push_back(const T& value) {
    std::memcpy(bytes_.append_uninitialized(sizeof(T)), &value, sizeof(T));
  }

  void append(const T* values, std::size_t count) { bytes_.append(values, count * sizeof(T)); }

  // Drops the first `count` values, moving the rest to the front.
  void erase_front(std::size_t count) noexcept {
    std::size_t kept = size() - count;
    if (kept != 0) std::memmove(data(), data() + count, kept * sizeof(T));
    bytes_.truncate(kept * sizeof(T));
  }

  void clear() noexcept { bytes_.clear(); }

 private:
  ByteBuffer bytes_;
};

}  // namespace vrex
