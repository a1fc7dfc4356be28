"""Times reading converted files back against parsing their CSV sources again.

    python bench/python/read_back.py --data build/bench-data --size-mb 100 mixed text

For each data set the CSV (made by make_data.py) is converted once with
csv_to_vrex and stored beside it. Then, in one process and alternating
between tools every repetition (the order turns each round), it times:

- vrex.read(bytes already in memory) + to_arrow()
- vrex.read_file(path) + to_arrow(), + to_pandas(), + to_polars(), columns
  decoded on every core the process may use (the default)
- vrex.read_file(path, threads=1) + to_arrow(), on the calling thread alone
- the same read with texts as Arrow string views into the file instead of
  copies with 32-bit offsets (`_reader.read_file_sliced(text_views=True)`),
  + to_arrow(), + to_pandas(), + to_polars(): the layout measured, not used
- pyarrow.csv.read_csv of the source CSV, with its default threads and with one

Working memory of read_file + to_arrow() is measured in a fresh process: the
highest anonymous resident memory while it runs (sampled every half
millisecond, so the mapped file's page cache is not counted) minus the
figure before, next to the size of the Arrow buffers it returns.

Prints a Markdown section and writes the raw figures to
DATA/read-back-SIZEmb.json; with --results FILE it also puts the section into
FILE (bench/RESULTS.md), replacing the one an earlier run put there.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path

MEMORY_PROBE = r"""
import sys, threading, time
import pyarrow as pa
import vrex

def anon_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("RssAnon:"):
                return int(line.split()[1])

path = sys.argv[1]
before = anon_kib()
allocated_before = pa.total_allocated_bytes()
peak = before
running = True

def sample():
    global peak
    while running:
        peak = max(peak, anon_kib())
        time.sleep(0.0005)

sampler = threading.Thread(target=sample)
sampler.start()
table = vrex.read_file(path)
arrow = table.to_arrow()
running = False
sampler.join()
peak = max(peak, anon_kib())
print(peak - before, arrow.get_total_buffer_size() // 1024,
      (pa.total_allocated_bytes() - allocated_before) // 1024)
"""


def convert(csv_path: Path) -> Path:
    import vrex

    target = csv_path.with_suffix(".vrex")
    if not target.exists() or target.stat().st_mtime < csv_path.stat().st_mtime:
        target.write_bytes(vrex.csv_to_vrex(csv_path.read_bytes()))
    return target


# The data sets whose quoted values hold line breaks.
LINE_BREAKS_IN_VALUES = {"text"}


def tools(csv_path: Path, vrex_path: Path, vrex_bytes: bytes, line_breaks: bool):
    import pyarrow.csv as pacsv

    import vrex
    from vrex import _reader

    parse = pacsv.ParseOptions(newlines_in_values=line_breaks)

    def with_views():
        return vrex.Table(
            _reader.read_file_sliced(
                vrex_path, threads=len(os.sched_getaffinity(0)), text_views=True
            )
        )

    return {
        "read(bytes) + to_arrow": lambda: vrex.read(vrex_bytes).to_arrow(),
        "read_file + to_arrow": lambda: vrex.read_file(vrex_path).to_arrow(),
        "read_file(threads=1) + to_arrow": lambda: vrex.read_file(vrex_path, threads=1).to_arrow(),
        "read_file + to_pandas": lambda: vrex.read_file(vrex_path).to_pandas(),
        "read_file + to_polars": lambda: vrex.read_file(vrex_path).to_polars(),
        "read_file, text views + to_arrow": lambda: with_views().to_arrow(),
        "read_file, text views + to_pandas": lambda: with_views().to_pandas(),
        "read_file, text views + to_polars": lambda: with_views().to_polars(),
        "pyarrow.csv.read_csv, all threads": lambda: pacsv.read_csv(csv_path, parse_options=parse),
        "pyarrow.csv.read_csv, 1 thread": lambda: pacsv.read_csv(
            csv_path, read_options=pacsv.ReadOptions(use_threads=False), parse_options=parse
        ),
    }


def time_tools(runs: dict, reps: int) -> tuple[dict[str, list[float]], dict[str, list[float]]]:
    """Wall-clock and CPU seconds (all threads) of each run."""
    names = list(runs)
    seconds: dict[str, list[float]] = {name: [] for name in names}
    cpu: dict[str, list[float]] = {name: [] for name in names}
    for name in names:  # one warm-up each: imports, page cache
        runs[name]()
    for rep in range(reps):
        order = names[rep % len(names) :] + names[: rep % len(names)]
        for name in order:
            gc.collect()
            start, start_cpu = time.perf_counter(), time.process_time()
            result = runs[name]()
            seconds[name].append(time.perf_counter() - start)
            cpu[name].append(time.process_time() - start_cpu)
            del result
    return seconds, cpu


def working_memory(vrex_path: Path) -> dict[str, int]:
    out = subprocess.run(
        [sys.executable, "-c", MEMORY_PROBE, str(vrex_path)],
        check=True,
        capture_output=True,
        text=True,
    ).stdout.split()
    peak, arrays, arrow_allocated = (int(v) for v in out)
    return {"peak_kib": peak, "arrays_kib": arrays, "arrow_allocated_kib": arrow_allocated}


BEGIN = "<!-- read-back: written by bench/python/read_back.py -->"
END = "<!-- end of read-back -->"


def put_section(results: Path, section: str) -> None:
    """Replaces the read-back section of `results`, or appends one."""
    text = results.read_text() if results.exists() else ""
    block = f"{BEGIN}\n{section.strip()}\n{END}\n"
    if BEGIN in text and END in text:
        before, rest = text.split(BEGIN, 1)
        text = before + block + rest.split(END, 1)[1].lstrip("\n")
    else:
        text = text.rstrip("\n") + "\n\n" + block
    results.write_text(text)


def load() -> str:
    return " ".join(f"{value:.2f}" for value in os.getloadavg())


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("sets", nargs="*", default=["mixed", "text"])
    parser.add_argument("--data", type=Path, default=Path("build/bench-data"))
    parser.add_argument("--size-mb", type=int, default=100)
    parser.add_argument("--reps", type=int, default=7)
    parser.add_argument("--results", type=Path, help="a RESULTS.md to put the section into")
    options = parser.parse_args()

    import pandas
    import polars
    import pyarrow

    figures = {"load_before": load(), "sets": {}}
    section = [
        "## Read back",
        "",
        "Reading converted files back (`vrex.read`, `vrex.read_file`) into Arrow, pandas and "
        "polars, against pyarrow parsing the source CSV again. One process, tools alternating "
        f"every repetition, {options.reps} timed runs each after a warm-up; MB/s are of the "
        f"converted file. vrex decodes columns on the {len(os.sched_getaffinity(0))} cores this "
        "process may use unless `threads=1` is given. Working memory: the highest anonymous "
        "resident memory during `read_file` + `to_arrow()` in a fresh process (the mapped "
        "file's page cache not counted) against the Arrow buffers returned.",
        "",
        f"Python {platform.python_version()}, pyarrow {pyarrow.__version__}, polars "
        f"{polars.__version__}, pandas {pandas.__version__}; load average before: "
        f"{figures['load_before']}.",
    ]
    lines = []
    for name in options.sets:
        csv_path = options.data / f"{name}-{options.size_mb}mb.csv"
        if not csv_path.exists():
            print(f"skipping {name}: {csv_path} was not generated", file=sys.stderr)
            continue
        vrex_path = convert(csv_path)
        file_mb = vrex_path.stat().st_size / 1e6
        runs = tools(csv_path, vrex_path, vrex_path.read_bytes(), name in LINE_BREAKS_IN_VALUES)
        seconds, cpu = time_tools(runs, options.reps)
        memory = working_memory(vrex_path)
        figures["sets"][name] = {
            "file_mb": file_mb,
            "seconds": seconds,
            "cpu_seconds": cpu,
            "memory": memory,
        }
        csv_key = "pyarrow.csv.read_csv, all threads"
        csv_median = statistics.median(seconds[csv_key])
        csv_cpu = statistics.median(cpu[csv_key])
        lines.append(f"\n### {name}: {file_mb:.1f} MB converted from {csv_path.name}\n")
        lines.append(
            "| step | median s | min–max s | MB/s of file | MB/s of CPU time "
            "| pyarrow CSV / it, wall | pyarrow CSV / it, CPU |"
        )
        lines.append("|---|---:|---:|---:|---:|---:|---:|")
        for tool, values in seconds.items():
            median = statistics.median(values)
            cpu_median = statistics.median(cpu[tool])
            lines.append(
                f"| {tool} | {median:.3f} | {min(values):.3f}–{max(values):.3f} "
                f"| {file_mb / median:,.0f} | {file_mb / cpu_median:,.0f} "
                f"| {csv_median / median:.1f}× | {csv_cpu / cpu_median:.1f}× |"
            )
        excess = memory["peak_kib"] - memory["arrays_kib"]
        lines.append(
            "\nWorking memory of read_file + to_arrow(): "
            f"{memory['peak_kib'] / 1024:.0f} MB at its "
            f"peak, of which the returned Arrow buffers are {memory['arrays_kib'] / 1024:.0f} MB: "
            f"{excess / 1024:.0f} MB above them; Arrow's allocator grew by "
            f"{memory['arrow_allocated_kib'] / 1024:.1f} MB."
        )
        print("\n".join(lines), flush=True)
        section += lines
        lines = []
    figures["load_after"] = load()
    out = options.data / f"read-back-{options.size_mb}mb.json"
    out.write_text(json.dumps(figures, indent=1))
    print(f"\nLoad average before: {figures['load_before']}; after: {figures['load_after']}.")
    section.append(f"\nLoad average after: {figures['load_after']}.")
    if options.results is not None:
        put_section(options.results, "\n".join(section))
    return 0


if __name__ == "__main__":
    sys.exit(main())
