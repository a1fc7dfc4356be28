"""What a huge page costs to fault in on the CPU that freed it, and on another.

    python bench/python/result_pages_bench.py --rounds 30

Each round fills 32 MiB of huge pages on CPU 0 and frees them there, then
fills a fresh 32 MiB on CPU 0 (the pages just freed are that CPU's to hand
out again) or on CPU 1 (which takes pages from the shared pool), alternating.
In a virtual machine whose host takes freed memory back, the shared pool's
pages can cost far more to fault in. Linux only; needs two CPUs.
"""

from __future__ import annotations

import argparse
import ctypes
import functools
import mmap
import os
import statistics
import threading
import time

SIZE = 32 << 20
HUGE = 2 << 20


def on_cpu(cpu: int, work) -> float:
    """Runs `work` on a thread pinned to `cpu`; its time in milliseconds."""
    spent = []

    def pinned() -> None:
        os.sched_setaffinity(0, {cpu})
        began = time.perf_counter()
        work()
        spent.append((time.perf_counter() - began) * 1e3)

    thread = threading.Thread(target=pinned)
    thread.start()
    thread.join()
    return spent[0]


def huge_block() -> tuple[mmap.mmap, int]:
    """An anonymous mapping with SIZE bytes of huge pages in it, and where they begin."""
    block = mmap.mmap(-1, SIZE + HUGE, flags=mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS)
    start = ctypes.addressof(ctypes.c_char.from_buffer(block))
    aligned = (start + HUGE - 1) & ~(HUGE - 1)
    block.madvise(mmap.MADV_HUGEPAGE, aligned - start, SIZE)
    return block, aligned


def fill(address: int) -> None:
    ctypes.memset(address, 1, SIZE)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", default=30, type=int)
    options = parser.parse_args()
    times: dict[int, list[float]] = {0: [], 1: []}
    for _ in range(options.rounds):
        for cpu in (0, 1):
            freed, address = huge_block()
            on_cpu(0, functools.partial(fill, address))
            on_cpu(0, freed.close)
            fresh, address = huge_block()
            times[cpu].append(on_cpu(cpu, functools.partial(fill, address)))
            on_cpu(0, fresh.close)
    for cpu, label in ((0, "on the CPU that freed them"), (1, "on the other CPU")):
        spent = sorted(times[cpu])
        print(
            f"32 MiB of huge pages faulted in {label}: median {statistics.median(spent):.2f} ms, "
            f"90th percentile {spent[len(spent) * 9 // 10]:.2f}, most {spent[-1]:.2f}"
        )


if __name__ == "__main__":
    main()
