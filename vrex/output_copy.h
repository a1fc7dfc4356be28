// Copies into a file's bytes, which nothing reads again soon after they are
// written. Large copies store around the cache: the target's lines are not
// read in only to be overwritten, and the input still being converted (and,
// on other cores, their own work) keeps the shared cache.
#pragma once

#include <cstddef>

namespace vrex {

// Copies of fewer bytes than this are plain ones: a streamed line that is
// written again soon (the next field of a small array) costs a trip to memory.
inline constexpr std::size_t kStreamedCopyBytes = std::size_t{32} * 1024;

// memcpy's contract and bytes; past kStreamedCopyBytes, streamed where the
// processor has stores that bypass the cache.
void copy_to_output(void* target, const void* source, std::size_t count) noexcept;

}  // namespace vrex
