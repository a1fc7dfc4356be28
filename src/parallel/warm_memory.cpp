#include "parallel/warm_memory.h"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <thread>
#include <utility>

namespace vrex::ext {

namespace {

// The core the calling thread runs on now; -1 where the system cannot say.
int current_core() noexcept {
#if defined(__linux__)
  return sched_getcpu();
#else
  return -1;
#endif
}

}  // namespace

WarmMemory& WarmMemory::process_wide() {
  // Never destroyed: the releasing thread may still wait on it while the
  // process exits.
  alignas(WarmMemory) static unsigned char place[sizeof(WarmMemory)];
  static WarmMemory* const store = [] {
    auto* made = ::new (place) WarmMemory();
    // A child forked while another thread held the lock would find it held
    // for ever: the lock is taken across the fork and let go on both sides.
    pthread_atfork([] { process_wide().mutex_.lock(); }, [] { process_wide().mutex_.unlock(); },
                   [] { process_wide().mutex_.unlock(); });
    return made;
  }();
  return *store;
}

ByteBuffer WarmMemory::take_section() {
  std::lock_guard lock(mutex_);
  if (sections_.empty()) return ByteBuffer();
  ByteBuffer section = std::move(sections_.back());
  sections_.pop_back();
  section.truncate(0);
  return section;
}

std::optional<WarmMemory::KeptConverter> WarmMemory::take_kept(std::span<const ValueType> types,
                                                               std::uint64_t chunk_size) {
  const int core = current_core();
  std::lock_guard lock(mutex_);
  auto fits = [&](const KeptConverter& kept) {
    return kept.chunk_size == chunk_size && std::ranges::equal(kept.types, types);
  };
  auto match = std::find_if(converters_.begin(), converters_.end(), [&](const KeptConverter& kept) {
    return core >= 0 && kept.core == core && fits(kept);
  });
  if (match == converters_.end()) {
    match = std::find_if(converters_.begin(), converters_.end(), fits);
  }
  if (match == converters_.end()) return std::nullopt;
  std::optional<KeptConverter> found(std::move(*match));
  converters_.erase(match);
  return found;
}

std::optional<ChunkConverter> WarmMemory::take_converter(std::span<const std::uint8_t> input,
                                                         std::span<const ValueType> types,
                                                         std::uint64_t chunk_size) {
  std::optional<KeptConverter> found = take_kept(types, chunk_size);
  if (!found) return std::nullopt;
  found->converter.rebind(input, types);
  return std::move(found->converter);
}

std::optional<ChunkConverter> WarmMemory::take_converter(RowQueue& rows,
                                                         std::span<const ValueType> types,
                                                         std::uint64_t chunk_size) {
  std::optional<KeptConverter> found = take_kept(types, chunk_size);
  if (!found) return std::nullopt;
  found->converter.rebind(std::move(rows), types);
  return std::move(found->converter);
}

void WarmMemory::keep_sections(std::vector<ByteBuffer> sections) {
  std::vector<ByteBuffer> dropped;  // freed outside the lock
  std::lock_guard lock(mutex_);
  for (ByteBuffer& section : sections) {
    if (section.capacity() > 0) sections_.push_back(std::move(section));
  }
  // The smallest go first: a large buffer is the one worth keeping.
  std::sort(sections_.begin(), sections_.end(),
            [](const ByteBuffer& a, const ByteBuffer& b) { return a.capacity() < b.capacity(); });
  std::size_t bytes = 0;
  for (const ByteBuffer& section : sections_) bytes += section.capacity();
  std::size_t first_kept = 0;
  while (first_kept < sections_.size() &&
         (sections_.size() - first_kept > kMostSections || bytes > kMostSectionBytes)) {
    bytes -= sections_[first_kept].capacity();
    dropped.push_back(std::move(sections_[first_kept]));
    ++first_kept;
  }
  sections_.erase(sections_.begin(), sections_.begin() + static_cast<std::ptrdiff_t>(first_kept));
  if (!sections_.empty() && !keep_until_later()) dropped.swap(sections_);
}

void WarmMemory::keep_converter(ChunkConverter converter, std::span<const ValueType> types,
                                std::uint64_t chunk_size) {
  if (!converter.between_chunks() || chunk_size * types.size() > kMostConverterCells) return;
  KeptConverter kept{std::vector<ValueType>(types.begin(), types.end()), chunk_size, current_core(),
                     std::move(converter)};
  kept.converter.rebind({}, kept.types);
  std::optional<KeptConverter> dropped;  // freed outside the lock
  std::lock_guard lock(mutex_);
  if (converters_.size() == kMostConverters) {
    dropped.emplace(std::move(converters_.front()));
    converters_.erase(converters_.begin());
  }
  converters_.push_back(std::move(kept));
  if (!keep_until_later()) {
    dropped.emplace(std::move(converters_.back()));
    converters_.pop_back();
  }
}

bool WarmMemory::keep_until_later() {
  release_at_ = std::chrono::steady_clock::now() + kKeptFor;
  // A forked child has no releasing thread even if its parent had one.
  const long process = static_cast<long>(getpid());
  if (releaser_process_ == process) return true;
  try {
    std::thread([this] { wait_and_release(); }).detach();
  } catch (...) {
    return false;  // without a thread to give it back later, nothing more is kept
  }
  releaser_process_ = process;
  return true;
}

void WarmMemory::wait_and_release() {
  std::vector<ByteBuffer> sections;
  std::vector<KeptConverter> converters;
  std::unique_lock lock(mutex_);
  while (std::chrono::steady_clock::now() < release_at_) {
    deadline_moved_.wait_until(lock, release_at_);
  }
  sections.swap(sections_);
  converters.swap(converters_);
  releaser_process_ = 0;
  lock.unlock();
}

void WarmMemory::release() {
  std::vector<ByteBuffer> sections;
  std::vector<KeptConverter> converters;
  std::lock_guard lock(mutex_);
  sections.swap(sections_);
  converters.swap(converters_);
}

std::size_t WarmMemory::kept_section_bytes() {
  std::lock_guard lock(mutex_);
  std::size_t bytes = 0;
  for (const ByteBuffer& section : sections_) bytes += section.capacity();
  return bytes;
}

std::size_t WarmMemory::kept_converters() {
  std::lock_guard lock(mutex_);
  return converters_.size();
}

}  // namespace vrex::ext
