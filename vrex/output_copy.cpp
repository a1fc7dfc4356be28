#include "vrex/output_copy.h"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vrex {

void copy_to_output(void* target, const void* source, std::size_t count) noexcept {
#if defined(__SSE2__)
  if (count >= kStreamedCopyBytes) {
    auto* to = static_cast<std::uint8_t*>(target);
    const auto* from = static_cast<const std::uint8_t*>(source);
    // Plain stores up to the first whole cache line of the target, streamed
    // lines from there, plain stores for the tail.
    constexpr std::size_t kLine = 64;
    const std::size_t head = (kLine - reinterpret_cast<std::uintptr_t>(to) % kLine) % kLine;
    std::memcpy(to, from, head);
    std::size_t at = head;
    for (; count - at >= kLine; at += kLine) {
      for (std::size_t lane = 0; lane < kLine; lane += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + at + lane));
        _mm_stream_si128(reinterpret_cast<__m128i*>(to + at + lane), bytes);
      }
    }
    std::memcpy(to + at, from + at, count - at);
    // Streamed stores are weakly ordered: they are visible before any later
    // store (a buffer handed to another thread, say).
    _mm_sfence();
    return;
  }
#endif
  if (count != 0) std::memcpy(target, source, count);
}

}  // namespace vrex
