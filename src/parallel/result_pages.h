// Faults a result's pages in on the calling thread, ahead of the workers'
// writes.
//
// A huge page a process frees goes back to its CPU's own list, and a fault on
// that CPU moments later takes it from there. A fault on another CPU takes a
// page from the shared pool instead, which in a virtual machine is often
// memory the host has taken back: 32 MiB of huge pages took 1.4-1.9 ms to
// fault in on the CPU that had just freed them, and up to 350 ms on the other
// (see "result pages" in bench/RESULTS.md). The last result was freed by the
// thread that called, so that thread faults the next result's pages in, a
// few chunks ahead of where the workers write.
#pragma once

#include <cstddef>

#include "vrex/byte_buffer.h"

namespace vrex::ext {

class ResultPages {
 public:
  // `faulted` bytes of the buffer are in place already.
  explicit ResultPages(std::size_t faulted = 0) noexcept : faulted_(faulted) {}

  // Faults the buffer's pages in up to `end` (within its room), on this
  // thread. The buffer may be written meanwhile by the thread whose turn it
  // is: faulting a page in leaves its bytes as they are. False when the
  // kernel could not, which leaves the faults to the writes.
  bool fault_in_through(ByteBuffer& buffer, std::size_t end) noexcept;

 private:
  std::size_t faulted_;
};

}  // namespace vrex::ext
