// Transparent huge pages for large buffers.
//
// First touch of a fresh 4 KiB page costs more than writing it in virtual
// machines; a 2 MiB page costs far less per byte.
#pragma once

#include <cstddef>

namespace vrex {

// Advises huge pages for the whole 2 MiB pages inside [data, data + size),
// for buffers of at least 8 MiB.
void advise_huge_pages(void* data, std::size_t size) noexcept;

}  // namespace vrex
