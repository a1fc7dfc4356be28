#include "parallel/result_pages.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <vector>

namespace vrex::ext {
namespace {

const std::size_t kPage = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));

// A room of fresh small pages, none of them in memory until touched.
class FreshRoom final : public ByteStorage {
 public:
  explicit FreshRoom(std::size_t size)
      : size_(size),
        start_(mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)) {
    if (start_ != MAP_FAILED) madvise(start_, size_, MADV_NOHUGEPAGE);
  }

  ~FreshRoom() {
    if (start_ != MAP_FAILED) munmap(start_, size_);
  }

  FreshRoom(const FreshRoom&) = delete;
  FreshRoom& operator=(const FreshRoom&) = delete;

  std::uint8_t* grow(std::size_t /*kept*/, std::size_t capacity) override {
    if (start_ == MAP_FAILED || capacity > size_) throw std::bad_alloc();
    return static_cast<std::uint8_t*>(start_);
  }

 private:
  std::size_t size_;
  void* start_;
};

// Whether each page holding [begin, end) is in memory.
std::vector<bool> residency(const std::uint8_t* begin, const std::uint8_t* end) {
  const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(begin) & ~(kPage - 1);
  const auto last = reinterpret_cast<std::uintptr_t>(end);
  std::vector<unsigned char> pages((last - first + kPage - 1) / kPage);
  if (mincore(reinterpret_cast<void*>(first), last - first, pages.data()) != 0) return {};
  std::vector<bool> resident;
  resident.reserve(pages.size());
  for (const unsigned char flags : pages) resident.push_back((flags & 1) != 0);
  return resident;
}

bool all_resident(const std::uint8_t* begin, const std::uint8_t* end) {
  const std::vector<bool> pages = residency(begin, end);
  return !pages.empty() && std::all_of(pages.begin(), pages.end(), [](bool in) { return in; });
}

// Kernels before 5.14 refuse to fault pages in, and an emulator may take the
// call as a mere hint.
bool faulting_in_works_here() {
  FreshRoom room(4 * kPage);
  ByteBuffer probe(room);
  probe.reserve(4 * kPage);
  return fault_in(probe, 0, 4 * kPage) && all_resident(probe.data(), probe.data() + 4 * kPage);
}

std::uint8_t pattern(std::size_t byte) { return static_cast<std::uint8_t>(byte * 7 + 1); }

// The rest of the input is expected to take room at the rate of what was
// converted so far: those pages are faulted in, no further and within the
// room, and the bytes written stay as they are.
TEST(ResultPages, FaultsInTheRoomTheRestOfTheInputShouldTake) {
  if (!faulting_in_works_here()) GTEST_SKIP() << "pages cannot be faulted in here";
  const std::size_t room_size = 1536 * kPage;

  struct Case {
    std::size_t written;     // bytes in the buffer
    std::uint64_t read;      // input bytes they came from
    std::uint64_t input;     // the input's size
    std::size_t faulted_to;  // where the pages should be in place through
  };

  for (const Case& c : {
           Case{5000, 10000, 1000 * kPage, 5000 + (1000 * kPage - 10000) / 2},  // half as many
           Case{100, 100, 700 * kPage, 700 * kPage},                            // as many
           Case{4096, 1000, 2000 * kPage, room_size},                           // past the room
           Case{300 * kPage, 300 * kPage, 300 * kPage, 300 * kPage},            // nothing left
       }) {
    SCOPED_TRACE(c.written);
    FreshRoom room(room_size);
    ByteBuffer buffer(room);
    buffer.reserve(room_size);
    for (std::size_t byte = 0; byte < c.written; ++byte) buffer.push_back(pattern(byte));
    fault_in(buffer, buffer.size(), rest_end(buffer, buffer.size(), c.read, c.input));
    ASSERT_EQ(buffer.size(), c.written);
    for (std::size_t byte = 0; byte < c.written; ++byte)
      ASSERT_EQ(buffer.data()[byte], pattern(byte));
    const std::vector<bool> pages = residency(buffer.data(), buffer.data() + room_size);
    ASSERT_EQ(pages.size(), room_size / kPage);
    const std::size_t last_faulted = (c.faulted_to - 1) / kPage;
    for (std::size_t page = 0; page < pages.size(); ++page) {
      EXPECT_EQ(pages[page], page <= last_faulted) << "page " << page;
    }
  }
}

// A thread about to write a range faults in every page the range touches,
// however it is aligned, and none beyond.
TEST(ResultPages, FaultsInEveryPageARangeTouches) {
  if (!faulting_in_works_here()) GTEST_SKIP() << "pages cannot be faulted in here";

  struct Case {
    std::size_t begin;
    std::size_t size;
    std::size_t first_page;
    std::size_t last_page;  // past the last page faulted in
  };

  for (const Case& c : {
           Case{0, kPage, 0, 1},
           Case{100, 2 * kPage, 0, 3},
           Case{kPage - 1, 2, 0, 2},
           Case{3 * kPage, 1, 3, 4},
           Case{5 * kPage, 0, 0, 0},
       }) {
    SCOPED_TRACE(c.begin);
    FreshRoom room(8 * kPage);
    ByteBuffer buffer(room);
    buffer.reserve(8 * kPage);
    ASSERT_TRUE(fault_in(buffer.data() + c.begin, c.size));
    const std::vector<bool> pages = residency(buffer.data(), buffer.data() + 8 * kPage);
    ASSERT_EQ(pages.size(), 8U);
    for (std::size_t page = 0; page < pages.size(); ++page) {
      EXPECT_EQ(pages[page], page >= c.first_page && page < c.last_page) << "page " << page;
    }
  }
}

}  // namespace
}  // namespace vrex::ext
