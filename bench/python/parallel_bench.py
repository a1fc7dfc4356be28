"""vrex.convert on 1 and 2 threads next to the peers on all their threads.

    python bench/python/parallel_bench.py --data build/bench-data --rounds 5 numeric text mixed wide

Runs alternate tool by tool within each round, so load from elsewhere falls on
every tool alike; prints one Markdown table per set: MB/s median and range.

With --repeat N each tool's time in a round is that of N calls back to back
(per call): calls that follow each other, as when converting files in a loop
and as the ceiling below measures, rather than each call after another
tool's.

With --ceiling it also measures what two cores of this machine give work that
shares nothing: the one-thread conversion in two processes at once against one
process alone, alternating. That ratio bounds what any 2-thread run can reach.
"""

from __future__ import annotations

import argparse
import multiprocessing
import statistics
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
import tools


def vrex_convert(threads: int):
    import vrex

    def convert(source: tools.Input, count_rows: bool) -> tools.Outcome:
        return tools.Outcome(len(vrex.convert(source.data, threads=threads)), None)

    return convert


def _convert_repeatedly(data: bytes, times: int, start, seconds) -> None:
    from _vrex import csv_to_vrex

    csv_to_vrex(data)  # warm up
    start.wait()
    began = time.perf_counter()
    for _ in range(times):
        csv_to_vrex(data)
    seconds.put(time.perf_counter() - began)


def machine_ceiling(data: bytes, rounds: int, times: int = 4) -> tuple[float, list[float]]:
    """Throughput of two processes at once over one alone, median and all rounds."""
    context = multiprocessing.get_context("fork")
    ratios = []
    for _ in range(rounds):
        elapsed = {}
        for processes in (1, 2):
            start = context.Barrier(processes + 1)
            seconds = context.Queue()
            workers = [
                context.Process(target=_convert_repeatedly, args=(data, times, start, seconds))
                for _ in range(processes)
            ]
            for worker in workers:
                worker.start()
            start.wait()
            spans = [seconds.get() for _ in workers]
            for worker in workers:
                worker.join()
            elapsed[processes] = max(spans)
        ratios.append(2 * elapsed[1] / elapsed[2])
    return statistics.median(ratios), ratios


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--data", default="build/bench-data")
    parser.add_argument("--size-mb", default=100, type=int)
    parser.add_argument("--rounds", default=5, type=int)
    parser.add_argument("--ceiling", action="store_true")
    parser.add_argument("--repeat", default=1, type=int)
    # vrex alone: 1 and 2 threads alternate with nothing in between whose
    # freed memory the next call would pay for in page faults.
    parser.add_argument("--no-peers", action="store_true")
    parser.add_argument("sets", nargs="+")
    options = parser.parse_args()

    contenders = {
        "vrex.convert, 1 thread": vrex_convert(1),
        "vrex.convert, 2 threads": vrex_convert(2),
    }
    if not options.no_peers:
        contenders["pyarrow read_csv + IPC file, all"] = tools.prepare_pyarrow(True)()
        contenders["polars read_csv + write_ipc, all"] = tools.prepare_polars()
        contenders["DuckDB read_csv into a table, all"] = tools.prepare_duckdb(True, False)()
    with tempfile.TemporaryDirectory(dir="/dev/shm") as scratch:
        for name in options.sets:
            path = Path(options.data) / f"{name}-{options.size_mb}mb.csv"
            data = path.read_bytes()
            copy = Path(scratch) / path.name
            copy.write_bytes(data)
            source = tools.Input(data, copy, Path(scratch), line_breaks_in_values=(name == "text"))
            seconds: dict[str, list[float]] = {label: [] for label in contenders}
            for convert in contenders.values():
                convert(source, False)  # warm up
            for _ in range(options.rounds):
                for label, convert in contenders.items():
                    start = time.perf_counter()
                    for _ in range(options.repeat):
                        convert(source, False)
                    seconds[label].append((time.perf_counter() - start) / options.repeat)
            megabytes = len(data) / 1e6
            one = statistics.median(seconds["vrex.convert, 1 thread"])
            print(f"\n### {name} ({megabytes:.0f} MB)\n")
            print("| tool | MB/s median | MB/s lowest–highest | time vs vrex 2 threads |")
            print("|---|---:|---:|---:|")
            two = statistics.median(seconds["vrex.convert, 2 threads"])
            for label, runs in seconds.items():
                median = statistics.median(runs)
                print(
                    f"| {label} | {megabytes / median:.0f} | {megabytes / max(runs):.0f}–"
                    f"{megabytes / min(runs):.0f} | {median / two:.2f}× |"
                )
            print(f"\n2 threads / 1 thread: {one / two:.2f}×", flush=True)
            if options.ceiling:
                median, ratios = machine_ceiling(data, options.rounds)
                spread = ", ".join(f"{ratio:.2f}" for ratio in ratios)
                print(
                    f"\nTwo one-thread conversions at once / one alone: {median:.2f}× "
                    f"(rounds: {spread})",
                    flush=True,
                )


if __name__ == "__main__":
    main()
