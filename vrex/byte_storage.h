// Where a ByteBuffer keeps its bytes when the caller chooses the memory.
//
// A buffer normally owns a block from the heap. A caller that wants the bytes
// to end up somewhere else (an object its runtime hands out, a mapped file)
// gives the buffer a storage instead: the storage owns one block, and the
// buffer asks it to grow the block as appends run out of room. The format
// library never learns what the block is.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vrex {

class ByteStorage {
 public:
  ByteStorage() = default;
  ByteStorage(const ByteStorage&) = delete;
  ByteStorage& operator=(const ByteStorage&) = delete;

  // Makes the block at least `capacity` bytes long, keeping its first `kept`
  // bytes, and returns where it starts now (it may move). Exhausted memory
  // throws std::bad_alloc and leaves the block as it was or releases it; the
  // buffer is not used again after that.
  virtual std::uint8_t* grow(std::size_t kept, std::size_t capacity) = 0;

 protected:
  ~ByteStorage() = default;
};

}  // namespace vrex
