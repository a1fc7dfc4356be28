// ByteBuffer on the heap and over a caller's storage, against a plain vector.
#include "vrex/byte_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <random>
#include <string_view>
#include <vector>

#include "support/moving_storage.h"

namespace vrex {
namespace {

using testing::MovingStorage;

enum class Operation { Append, PushBack, AppendUninitialized, Truncate, Reserve, Clear };

// Applies one random operation to `buffer` and the same to `reference`.
void apply_random_operation(std::mt19937& random, ByteBuffer& buffer,
                            std::vector<std::uint8_t>& reference) {
  const auto operation = static_cast<Operation>(random() % 6);
  const std::size_t count = random() % 3 == 0 ? random() % 20000 : random() % 64;
  const auto byte = static_cast<std::uint8_t>(random());
  switch (operation) {
    case Operation::Append: {
      std::vector<std::uint8_t> bytes(count, byte);
      buffer.append(bytes.data(), bytes.size());
      reference.insert(reference.end(), bytes.begin(), bytes.end());
      break;
    }
    case Operation::PushBack:
      buffer.push_back(byte);
      reference.push_back(byte);
      break;
    case Operation::AppendUninitialized: {
      std::uint8_t* place = buffer.append_uninitialized(count);
      for (std::size_t index = 0; index < count; ++index) {
        place[index] = static_cast<std::uint8_t>(byte + index);
        reference.push_back(static_cast<std::uint8_t>(byte + index));
      }
      break;
    }
    case Operation::Truncate: {
      const std::size_t size = reference.empty() ? 0 : random() % (reference.size() + 1);
      buffer.truncate(size);
      reference.resize(size);
      break;
    }
    case Operation::Reserve:
      buffer.reserve(reference.size() + count);
      break;
    case Operation::Clear:
      if (random() % 8 == 0) {
        buffer.clear();
        reference.clear();
      }
      break;
  }
}

TEST(ByteBuffer, HeapAndStorageBackedBuffersMatchAVector) {
  for (std::uint32_t seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 random(seed);
    MovingStorage storage;
    ByteBuffer on_heap;
    ByteBuffer over_storage(storage);
    std::vector<std::uint8_t> reference;
    for (int step = 0; step < 300; ++step) {
      std::mt19937 twin = random;
      std::vector<std::uint8_t> twin_reference = reference;
      apply_random_operation(random, on_heap, reference);
      apply_random_operation(twin, over_storage, twin_reference);
      ASSERT_EQ(on_heap.size(), reference.size());
      ASSERT_GE(over_storage.capacity(), over_storage.size());
      ASSERT_TRUE(std::equal(reference.begin(), reference.end(), on_heap.data()));
      ASSERT_TRUE(std::equal(reference.begin(), reference.end(), over_storage.data()));
    }
    EXPECT_FALSE(storage.kept_too_much());
    EXPECT_GT(storage.growths(), 0u);
  }
}

TEST(ByteBuffer, MovingAStorageBackedBufferLeavesTheBlockToTheStorage) {
  MovingStorage storage;
  ByteBuffer first(storage);
  first.append("abc", 3);
  ByteBuffer second(std::move(first));
  EXPECT_EQ(second.size(), 3u);
  EXPECT_EQ(first.size(), 0u);  // NOLINT(bugprone-use-after-move): moved-from is empty
  second.append("def", 3);
  EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(second.data()), second.size()),
            "abcdef");
  // Assigning a heap buffer over it forgets the storage's block without
  // freeing it; the storage frees it (a double free would fail under ASan).
  ByteBuffer on_heap;
  on_heap.append("x", 1);
  second = std::move(on_heap);
  second.append("yz", 2);
  EXPECT_EQ(second.size(), 3u);
}

TEST(ByteBuffer, ExhaustedStorageThrowsAndTheBufferCanBeDestroyed) {
  for (std::size_t failing = 1; failing <= 3; ++failing) {
    MovingStorage storage(failing);
    ByteBuffer buffer(storage);
    const std::vector<std::uint8_t> bytes(5000, 7);
    EXPECT_THROW(
        {
          for (int round = 0; round < 16; ++round) buffer.append(bytes.data(), bytes.size());
        },
        std::bad_alloc);
    EXPECT_EQ(storage.growths(), failing);
  }
}

}  // namespace
}  // namespace vrex
