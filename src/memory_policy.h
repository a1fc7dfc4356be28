// How the module uses memory beyond asking for it: huge pages for the result
// and giving freed memory back after a large call. The library underneath only
// allocates; every such decision is made here. Which thread faults a parallel
// conversion's result in follows from whether its pages are huge
// (parallel/result_pages.h).
#pragma once

#include <cstddef>

namespace vrex::ext {

// Called as a conversion begins, on its calling thread, before its output
// is made.
void conversion_begins() noexcept;

// Asks for huge pages over the whole 2 MiB pages inside [data, data + size)
// when they are likely to pay (see memory_policy.cpp).
void advise_huge_pages(void* data, std::size_t size) noexcept;

// Whether the pages of the result advised last on this thread, during the
// call under way, are likely huge: advised so, or every allocation gets them.
bool result_on_huge_pages() noexcept;

// Called once a one-thread conversion is over, whether it succeeded or not,
// with the input's size and the room the output took.
void after_conversion(std::size_t input_size, std::size_t output_capacity) noexcept;

// The same for a conversion on worker threads, which trims nothing: each
// call's workers are new threads whose large buffers the next call's
// workers find in the allocator's pools; given back, they would be paid for
// again in page faults on every call (a quarter of the time on wide tables).
void after_parallel_conversion(std::size_t output_capacity) noexcept;

}  // namespace vrex::ext
