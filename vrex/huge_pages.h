// Transparent huge pages for large buffers.
//
// First touch of a fresh 4 KiB page costs more than writing it in virtual
// machines; a 2 MiB page costs far less per byte, as long as the memory behind
// it is still there. A virtual machine's kernel hands free memory back to the
// host a moment after it is freed, in blocks of 2 MiB and more; a huge page
// built from such blocks then costs more to touch than small pages would. So
// huge pages are asked for only while memory released by a large buffer
// moments ago is likely what the kernel hands out next: when conversions
// follow each other, not for the first one or one after a pause.
#pragma once

#include <cstddef>

namespace vrex {

// Advises huge pages for the whole 2 MiB pages inside [data, data + size),
// for buffers of at least 8 MiB, when a large buffer was released within the
// last second.
void advise_huge_pages(void* data, std::size_t size) noexcept;

// Records that a buffer of `size` bytes goes back to the allocator now.
void note_release(std::size_t size) noexcept;

}  // namespace vrex
