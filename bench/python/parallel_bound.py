"""vrex.convert on 2 threads against what this machine gives work that shares nothing.

    python bench/python/parallel_bound.py --data build/bench-data --rounds 15 numeric text

Two processes stay up for the whole run. Each round, in turn: process 0 converts
the whole input on one thread; both convert half of it each (cut at a record
boundary, the header repeated), on one thread, at once; process 0 converts the
whole input on 2 threads. The halves need no count, no shared turn and no join:
their time is the best any split of the work over two threads could reach
here, in the same minutes as the 2-thread calls it is set against. Each call's
result is freed inside its timing, as in parallel_bench.py.
"""

from __future__ import annotations

import argparse
import multiprocessing
import statistics
import time
from pathlib import Path

MODES = ("one thread", "two halves at once", "2 threads")


def halves(data: bytes) -> tuple[bytes, bytes]:
    """The input cut at the first record boundary past its middle, the header on both halves.

    A line break ends a record where an even number of quotes precede it, which holds for
    the generated sets (well-formed quoting, line breaks inside quoted values on text).
    """
    header_end = data.index(b"\n") + 1
    cut = data.index(b"\n", len(data) // 2)
    quotes = data.count(b'"', 0, cut)
    while quotes % 2 == 1:
        following = data.index(b"\n", cut + 1)
        quotes += data.count(b'"', cut, following)
        cut = following
    return data[: cut + 1], data[:header_end] + data[cut + 1 :]


def worker(index: int, path: str, rounds: int, barrier, results) -> None:
    import vrex

    data = Path(path).read_bytes()
    half = halves(data)[index]
    calls = {
        MODES[0]: lambda: vrex.convert(data, threads=1),
        MODES[1]: lambda: vrex.convert(half, threads=1),
        MODES[2]: lambda: vrex.convert(data, threads=2),
    }
    # Process 0 makes every call; process 1 only converts its half.
    mine = set(MODES) if index == 0 else {MODES[1]}
    for mode in mine:
        calls[mode]()  # warm up
    for _ in range(rounds):
        for mode, call in calls.items():
            barrier.wait()
            if mode in mine:
                start = time.perf_counter()
                len(call())
                results.put((mode, time.perf_counter() - start))
            barrier.wait()


def measure(path: Path, rounds: int) -> dict[str, list[float]]:
    context = multiprocessing.get_context("spawn")
    barrier = context.Barrier(2)
    results = context.Queue()
    workers = [
        context.Process(target=worker, args=(index, str(path), rounds, barrier, results))
        for index in range(2)
    ]
    for process in workers:
        process.start()
    seconds: dict[str, list[float]] = {mode: [] for mode in MODES}
    pending_half: list[float] = []
    for _ in range(rounds * 4):
        mode, elapsed = results.get()
        if mode == MODES[1]:
            # The halves' round lasts as long as the slower of the two.
            pending_half.append(elapsed)
            if len(pending_half) == 2:
                seconds[mode].append(max(pending_half))
                pending_half.clear()
        else:
            seconds[mode].append(elapsed)
    for process in workers:
        process.join()
    return seconds


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--data", default="build/bench-data")
    parser.add_argument("--size-mb", default=50, type=int)
    parser.add_argument("--rounds", default=15, type=int)
    parser.add_argument("sets", nargs="+")
    options = parser.parse_args()

    print(
        "| set | one thread, ms | two halves at once, ms | 2 threads, ms "
        "| halves / one thread | 2 threads / one thread | 2 threads / halves |"
    )
    print("|---|---:|---:|---:|---:|---:|---:|")
    for name in options.sets:
        seconds = measure(Path(options.data) / f"{name}-{options.size_mb}mb.csv", options.rounds)
        one, both, two = (statistics.median(seconds[mode]) for mode in MODES)
        print(
            f"| {name} | {one * 1e3:.1f} | {both * 1e3:.1f} | {two * 1e3:.1f} "
            f"| {one / both:.2f}× | {one / two:.2f}× | {both / two:.2f}× |",
            flush=True,
        )


if __name__ == "__main__":
    main()
