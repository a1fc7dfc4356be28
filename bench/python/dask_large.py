"""One huge CSV file: vrex.dask.convert_large_file on a local cluster against
vrex.convert_file in one process.

    python bench/python/dask_large.py --size-gb 2 --rounds 3 --scratch build/bench-large

The input is a generated data set (100 MB, seeded) whose data rows are repeated
up to the size asked for. Runs alternate tool by tool within each round, so
load from elsewhere falls on both alike. For each tool: wall time (median and
range), throughput, and CPU seconds of every process involved (the client's
and the workers'); for the cluster also its steps, the join among them. The
two outputs are compared byte for byte once. Prints Markdown.
"""

from __future__ import annotations

import argparse
import filecmp
import logging
import os
import resource
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
import make_data


def build_input(data: Path, scratch: Path, name: str, size: int) -> Path:
    """The set's header, then its data rows again and again up to `size` bytes."""
    path = scratch / f"{name}-{size // 10**6}mb.csv"
    if path.exists() and path.stat().st_size >= size:
        return path
    data.mkdir(parents=True, exist_ok=True)
    make_data.generate(data, name, 100)
    base = make_data.data_path(data, name, 100).read_bytes()
    header_end = base.index(b"\n") + 1
    body = base[header_end:]
    with open(path, "wb") as out:
        out.write(base[:header_end])
        written = header_end
        while written < size:
            out.write(body)
            written += len(body)
    return path


def worker_cpu(client) -> float:
    def used() -> float:
        usage = resource.getrusage(resource.RUSAGE_SELF)
        return usage.ru_utime + usage.ru_stime

    return sum(client.run(used).values())


def own_cpu() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


class StepTimes(logging.Handler):
    """Keeps the step timings convert_large_file logs."""

    def __init__(self) -> None:
        super().__init__()
        self.last: dict[str, float] = {}

    def emit(self, record: logging.LogRecord) -> None:
        self.last = getattr(record, "vrex_timings", {})


def spread(values: list[float]) -> str:
    return f"{statistics.median(values):.2f} ({min(values):.2f}–{max(values):.2f})"


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--data", type=Path, default=Path("build/bench-data"))
    parser.add_argument("--scratch", type=Path, default=Path("build/bench-large"))
    parser.add_argument("--set", default="mixed")
    parser.add_argument("--size-gb", type=float, default=2)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--part-mb", type=int, default=64)
    parser.add_argument("--keep", action="store_true", help="keep the input afterwards")
    parser.add_argument(
        "--no-compare",
        action="store_true",
        help="skip the byte comparison and remove each output at once (less disk at a time)",
    )
    options = parser.parse_args()

    import distributed

    import vrex
    from vrex.dask import convert_large_file

    options.scratch.mkdir(parents=True, exist_ok=True)
    source = build_input(options.data, options.scratch, options.set, int(options.size_gb * 1e9))
    size = source.stat().st_size
    one_target = options.scratch / "one-process.vrex"
    cluster_target = options.scratch / "cluster.vrex"
    steps = StepTimes()
    logging.getLogger("vrex.dask").addHandler(steps)
    logging.getLogger("vrex.dask").setLevel(logging.INFO)

    wall: dict[str, list[float]] = {"one process": [], "cluster": []}
    cpu: dict[str, list[float]] = {"one process": [], "cluster": []}
    step_times: dict[str, list[float]] = {}
    loads = []
    with (
        distributed.LocalCluster(
            n_workers=options.workers,
            threads_per_worker=1,
            processes=True,
            dashboard_address=None,
            silence_logs=logging.ERROR,
        ) as cluster,
        distributed.Client(cluster) as client,
    ):

        def one_process() -> None:
            vrex.convert_file(source, one_target)

        def on_cluster() -> None:
            result = convert_large_file(
                source, cluster_target, client=client, part_size=options.part_mb << 20
            )
            if not result.ok:
                raise SystemExit(result.error)

        for round_index in range(options.rounds):
            for label, run in (("one process", one_process), ("cluster", on_cluster)):
                loads.append(os.getloadavg()[0])
                cpu_before = own_cpu() + worker_cpu(client)
                start = time.perf_counter()
                run()
                wall[label].append(time.perf_counter() - start)
                cpu[label].append(own_cpu() + worker_cpu(client) - cpu_before)
                if label == "cluster":
                    output_size = cluster_target.stat().st_size
                    for step, seconds in steps.last.items():
                        step_times.setdefault(step, []).append(seconds)
                if options.no_compare:
                    (cluster_target if label == "cluster" else one_target).unlink()
            if round_index == 0 and not options.no_compare:
                same = filecmp.cmp(one_target, cluster_target, shallow=False)
                print(f"outputs identical: {same}", file=sys.stderr)
                if not same:
                    raise SystemExit("the outputs differ")

    print(f"### {options.set}, {size / 1e9:.2f} GB in, {output_size / 1e9:.2f} GB out\n")
    print(
        f"{options.workers} workers × 1 thread, parts of {options.part_mb} MiB, "
        f"{options.rounds} rounds; load average (1 min) at the runs' starts: "
        f"{min(loads):.1f}–{max(loads):.1f}\n"
    )
    print("| | wall s, median (range) | MB/s | CPU s, median |")
    print("|---|---|---|---|")
    for label in wall:
        rate = size / 1e6 / statistics.median(wall[label])
        cpu_seconds = statistics.median(cpu[label])
        print(f"| {label} | {spread(wall[label])} | {rate:.0f} | {cpu_seconds:.1f} |")
    print("\n| cluster step | s, median (range) |")
    print("|---|---|")
    for step, seconds in step_times.items():
        print(f"| {step} | {spread(seconds)} |")
    for path in (one_target, cluster_target):
        path.unlink(missing_ok=True)
    if not options.keep:
        source.unlink()


if __name__ == "__main__":
    main()
