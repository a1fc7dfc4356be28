// Huge pages. First touch of a fresh 4 KiB page costs more than writing it in
// virtual machines; a 2 MiB page costs far less per byte, as long as the memory
// behind it is still there. A virtual machine's kernel hands free memory back
// to the host a moment after it is freed, in blocks of 2 MiB and more; a huge
// page built from such blocks then costs more to touch than small pages would.
// So huge pages are asked for only while memory a large call released moments
// ago is likely what the kernel hands out next: when conversions follow each
// other (the caller drops one result as the next call starts), from the third
// of a series on; not for the first one, one after a pause, or one after
// other code in the process touched fresh memory in between (another
// library's conversion: the huge pages faulted after one took 17 ms each,
// 500 ms for a 50 MB table that takes 70 on small pages). The second
// waits too: right after a call whose output was small pages, a call's huge
// pages were built from memory the host had taken back (with another
// library's conversions between pairs of calls, a call on 2 threads ran up
// to twice as slow on wide tables). Measured: see "huge pages" in
// bench/RESULTS.md.
//
// Trimming. A big conversion leaves the allocator holding freed chunks in its
// heap (the row queue, tiles, column builders); giving them back after calls
// on 32 MiB or more returns the process's memory to where it was, at a cost
// that is small next to the call.
#include "memory_policy.h"

#include <sys/mman.h>
#include <sys/resource.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace vrex::ext {

namespace {

constexpr std::size_t kHugePageSize = std::size_t{2} << 20;
constexpr std::size_t kSmallPageSize = std::size_t{4} << 10;
// Older headers lack it; older kernels refuse it, which costs nothing.
#ifdef MADV_POPULATE_WRITE
constexpr int kPopulateWrite = MADV_POPULATE_WRITE;
#else
constexpr int kPopulateWrite = 23;
#endif
constexpr std::size_t kSmallestAdvised = 4 * kHugePageSize;
constexpr std::chrono::steady_clock::duration kWarmFor = std::chrono::seconds(1);
constexpr std::size_t kSmallestTrimmedInput = std::size_t{32} << 20;

// When a call that used a large output last ended, on the steady clock; zero
// for never; and whether that call had begun moments after another ended.
std::atomic<std::int64_t> last_large_call_end{0};
std::atomic<bool> last_large_call_followed_one{false};
// The process's page faults when it ended, and the room its output took.
std::atomic<long> faults_at_last_large_call_end{0};
std::atomic<std::size_t> last_large_output_capacity{0};

// Whether the call under way on this thread began moments after a call that
// used a large output ended; whether its result has huge pages.
thread_local bool this_call_follows_one = false;
thread_local bool this_call_result_huge = false;

std::int64_t now() noexcept { return std::chrono::steady_clock::now().time_since_epoch().count(); }

// Which memory the kernel gives huge pages to.
enum class HugePagesFor { None, Advised, All };

HugePagesFor huge_pages_for() noexcept {
  static const HugePagesFor given_to = [] {
    std::FILE* settings = std::fopen("/sys/kernel/mm/transparent_hugepage/enabled", "re");
    if (settings == nullptr) return HugePagesFor::None;
    std::array<char, 128> line{};
    const bool read = std::fgets(line.data(), static_cast<int>(line.size()), settings) != nullptr;
    std::fclose(settings);
    if (!read) return HugePagesFor::None;
    if (std::strstr(line.data(), "[always]") != nullptr) return HugePagesFor::All;
    if (std::strstr(line.data(), "[madvise]") != nullptr) return HugePagesFor::Advised;
    return HugePagesFor::None;
  }();
  return given_to;
}

// Whether the kernel gives huge pages only to memory advised to use them:
// there, advising against them gives memory what it had never advised.
bool huge_pages_only_where_asked() noexcept { return huge_pages_for() == HugePagesFor::Advised; }

// Page faults this process has taken that needed no read from disk.
long minor_faults() noexcept {
  rusage usage{};
  return getrusage(RUSAGE_SELF, &usage) == 0 ? usage.ru_minflt : 0;
}

}  // namespace

void conversion_begins() noexcept {
  this_call_result_huge = false;
  const std::int64_t ended = last_large_call_end.load(std::memory_order_relaxed);
  this_call_follows_one = ended != 0 && now() - ended <= kWarmFor.count();
  if (this_call_follows_one) {
    // Fresh memory touched since, worth an eighth of that call's room: the
    // pages it freed have been taken. A loop of conversions faults a few
    // pages between calls; another library's conversion of the same input,
    // tens of thousands.
    const long faults =
        minor_faults() - faults_at_last_large_call_end.load(std::memory_order_relaxed);
    const std::size_t room = last_large_output_capacity.load(std::memory_order_relaxed);
    this_call_follows_one =
        static_cast<std::size_t>(std::max(faults, 0L)) * kSmallPageSize <= room / 8;
  }
}

void advise_huge_pages(void* data, std::size_t size) noexcept {
  this_call_result_huge = huge_pages_for() == HugePagesFor::All;
  if (size < kSmallestAdvised) return;
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + kHugePageSize - 1) & ~(kHugePageSize - 1);
  const std::uintptr_t last = (begin + size) & ~(kHugePageSize - 1);
  if (!this_call_follows_one || !last_large_call_followed_one.load(std::memory_order_relaxed)) {
    // The allocator may hand out again memory an earlier result was advised
    // to use huge pages for (a result of under 32 MiB, once the allocator
    // keeps such sizes rather than unmapping them): advised back, it gets
    // what memory never advised gets.
    if (last > first && huge_pages_only_where_asked()) {
      madvise(reinterpret_cast<void*>(first), last - first, MADV_NOHUGEPAGE);
    }
    return;
  }
  if (last > first && madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE) == 0) {
    this_call_result_huge = huge_pages_for() != HugePagesFor::None;
  }
  // The bytes before the first huge page get small pages: made in one call,
  // they cost a fraction of a fault each (up to 512 of them), which the first
  // chunk's write would otherwise take, tripling its time. The result fills
  // far more than this head.
  const std::uintptr_t head_begin = begin & ~(kSmallPageSize - 1);
  if (first > head_begin && first - begin <= size / 4) {
    madvise(reinterpret_cast<void*>(head_begin), first - head_begin, kPopulateWrite);
  }
}

bool result_on_huge_pages() noexcept { return this_call_result_huge; }

void after_parallel_conversion(std::size_t output_capacity) noexcept {
  if (output_capacity >= kSmallestAdvised) {
    last_large_call_followed_one.store(this_call_follows_one, std::memory_order_relaxed);
    last_large_output_capacity.store(output_capacity, std::memory_order_relaxed);
    faults_at_last_large_call_end.store(minor_faults(), std::memory_order_relaxed);
    last_large_call_end.store(now(), std::memory_order_relaxed);
  }
  this_call_follows_one = false;
  this_call_result_huge = false;
}

void after_conversion(std::size_t input_size, std::size_t output_capacity) noexcept {
  after_parallel_conversion(output_capacity);
#if defined(__GLIBC__)
  if (input_size >= kSmallestTrimmedInput) malloc_trim(0);
#else
  (void)input_size;
#endif
}

}  // namespace vrex::ext
