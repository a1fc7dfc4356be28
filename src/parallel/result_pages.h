// Faults a result's pages in ahead of the writes into them.
//
// A huge page a process frees goes back to its CPU's own list, and a fault on
// that CPU moments later takes it from there. A fault on another CPU takes a
// page from the shared pool instead, which in a virtual machine is often
// memory the host has taken back: 32 MiB of huge pages took 1.4-2.1 ms to
// fault in on the CPU that had just freed them, and up to 314 ms on the other
// (see "Result pages" in bench/RESULTS.md). The last result was freed by the
// thread that called, so that thread faults the next result's pages in.
//
// It does so at once, as it joins the helpers after its first chunk: a
// thread that faulted pages in between its chunks would make every chunk of
// the other threads wait that much longer for its turn to be written. The
// fault-in runs ahead of the helpers' writes, which move at the pace of
// conversion.
//
// That holds for huge pages. Small pages cost the same on any CPU, and there
// a 2-thread call on text took 12-18% longer with one thread faulting the
// whole result in while the other converts than with each thread faulting
// in, in one call, the bytes it is about to write (`ResultFaults` in
// parallel_convert.h chooses).
#pragma once

#include <cstddef>
#include <cstdint>

#include "vrex/byte_buffer.h"

namespace vrex::ext {

// Faults the pages of [begin, end) of the buffer in on this thread, within
// its room. The bytes stay as they are. False when the kernel could not,
// which leaves the faults to the writes.
bool fault_in(ByteBuffer& buffer, std::size_t begin, std::size_t end) noexcept;

// The same for `size` bytes from `begin`, which must lie in mapped memory.
bool fault_in(const std::uint8_t* begin, std::size_t size) noexcept;

// With `input_read` of `input_size` bytes converted into the buffer's first
// `written` bytes, the end of the room the rest of the input should take at
// the same rate, within the buffer's room. Other threads may be placing
// bytes after `written` meanwhile: the buffer's size is not read.
std::size_t rest_end(const ByteBuffer& buffer, std::size_t written, std::uint64_t input_read,
                     std::uint64_t input_size) noexcept;

}  // namespace vrex::ext
