"""Times csv_to_vrex against the tools users would pick instead, on data sets already in memory.

    python bench/python/run_bench.py --data build/bench-data --size-mb 100 --out bench

Two long-lived worker processes hold each data set in memory, one running the
single-threaded tools and one the tools with their default threads; the
repetitions alternate between tools (the order turns each round) so a change
of machine load is shared out rather than landing on one tool. Peak memory is
measured once per tool and data set in a fresh process: its highest resident
size minus the one it had with the input loaded. Writes RESULTS.md and
results.png into --out and the raw figures into --data.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import resource
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import report
from tools import TOOLS, TOOLS_BY_KEY, Input, process_environment

SCRATCH_ROOT = Path("/dev/shm") if Path("/dev/shm").is_dir() else Path("/tmp")
# The data sets whose quoted values hold line breaks.
LINE_BREAKS_IN_VALUES = {"text"}


# --- processes that run tools ---------------------------------------------


def protocol_channel():
    """The real standard output, for replies; fd 1 then points at stderr so
    anything a library prints cannot garble the replies."""
    channel = os.fdopen(os.dup(1), "w", buffering=1)
    os.dup2(2, 1)
    return channel


def serve(threads: str) -> int:
    """A worker: loads data sets and runs single conversions on command."""
    channel = protocol_channel()
    prepared = {tool.key: tool.prepare() for tool in TOOLS if tool.threads == threads}
    source: Input | None = None
    for line in sys.stdin:
        command = json.loads(line)
        if command["op"] == "load":
            source = None
            gc.collect()
            path = Path(command["path"])
            source = Input(
                path.read_bytes(), path, Path(command["scratch"]), command["line_breaks"]
            )
            reply = {"bytes": len(source.data)}
        elif command["op"] == "run":
            assert source is not None
            convert = prepared[command["tool"]]
            gc.collect()
            count_rows = command.get("count_rows", False)
            cpu_start, start = time.process_time(), time.perf_counter()
            outcome = convert(source, count_rows)
            seconds = time.perf_counter() - start
            cpu_seconds = time.process_time() - cpu_start
            reply = {
                "seconds": seconds,
                "cpu_seconds": cpu_seconds,
                "output_bytes": outcome.output_bytes,
                "rows": outcome.rows,
            }
        else:
            break
        channel.write(json.dumps(reply) + "\n")
    return 0


def measure_memory(tool_key: str, path: Path, scratch: Path, line_breaks: bool) -> int:
    """Runs one conversion in this fresh process and reports its peak memory."""
    channel = protocol_channel()
    convert = TOOLS_BY_KEY[tool_key].prepare()
    source = Input(path.read_bytes(), path, scratch, line_breaks)
    gc.collect()
    baseline_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    outcome = convert(source, False)
    peak_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    reply = {"peak_bytes": (peak_kib - baseline_kib) * 1024, "output_bytes": outcome.output_bytes}
    channel.write(json.dumps(reply) + "\n")
    return 0


class Worker:
    def __init__(self, threads: str) -> None:
        self.process = subprocess.Popen(
            [sys.executable, __file__, "--serve", threads],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            env=process_environment(threads),
        )

    def ask(self, **command) -> dict:
        assert self.process.stdin and self.process.stdout
        self.process.stdin.write(json.dumps(command) + "\n")
        self.process.stdin.flush()
        reply = self.process.stdout.readline()
        if not reply:
            raise RuntimeError(f"worker stopped while answering {command}")
        return json.loads(reply)

    def close(self) -> None:
        assert self.process.stdin
        self.process.stdin.write(json.dumps({"op": "quit"}) + "\n")
        self.process.stdin.close()
        self.process.wait()


def peak_memory(tool_key: str, path: Path, scratch: Path, line_breaks: bool) -> dict:
    tool = TOOLS_BY_KEY[tool_key]
    finished = subprocess.run(
        [sys.executable, __file__, "--memory", tool_key, str(path), str(scratch), str(line_breaks)],
        stdout=subprocess.PIPE,
        text=True,
        env=process_environment(tool.threads),
        check=True,
    )
    return json.loads(finished.stdout)


# --- the run ----------------------------------------------------------------


def time_data_set(
    workers: dict[str, Worker], name: str, path: Path, scratch: Path, reps: int, slow_reps: int
) -> dict:
    in_memory = scratch / path.name
    shutil.copyfile(path, in_memory)
    line_breaks = name in LINE_BREAKS_IN_VALUES
    try:
        for worker in workers.values():
            worker.ask(
                op="load", path=str(in_memory), scratch=str(scratch), line_breaks=line_breaks
            )
        results = {
            tool.key: {"seconds": [], "cpu_seconds": [], "output_bytes": None} for tool in TOOLS
        }
        # One warm-up run each (first-touch costs, lazy imports) that also counts
        # the rows, so a tool that silently drops or splits records shows.
        for tool in TOOLS:
            reply = workers[tool.threads].ask(op="run", tool=tool.key, count_rows=True)
            results[tool.key]["output_bytes"] = reply["output_bytes"]
            results[tool.key]["rows"] = reply["rows"]
        for round_index in range(reps):
            turn = round_index % len(TOOLS)
            for tool in TOOLS[turn:] + TOOLS[:turn]:
                if tool.slow and round_index >= slow_reps:
                    continue
                reply = workers[tool.threads].ask(op="run", tool=tool.key)
                results[tool.key]["seconds"].append(reply["seconds"])
                results[tool.key]["cpu_seconds"].append(reply["cpu_seconds"])
            print(f"  {name}: round {round_index + 1}/{reps}", file=sys.stderr)
        for tool in TOOLS:
            memory = peak_memory(tool.key, in_memory, scratch, line_breaks)
            results[tool.key]["peak_bytes"] = memory["peak_bytes"]
        return results
    finally:
        in_memory.unlink()


def count_instructions(csv_path: Path) -> dict | None:
    """Instructions of one csv_to_vrex call: a callgrind run with the call minus one without."""
    valgrind = shutil.which("valgrind")
    if valgrind is None or not csv_path.exists():
        return None
    setup = f"import _vrex\ndata = open({str(csv_path)!r}, 'rb').read()\n"
    totals = []
    with_call = setup + "_vrex.csv_to_vrex(data)\n"
    for script in (setup, with_call):
        out_file = SCRATCH_ROOT / f"vrex-callgrind-{os.getpid()}.out"
        subprocess.run(
            [valgrind, "--tool=callgrind", f"--callgrind-out-file={out_file}",
             sys.executable, "-c", script],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
            env={**os.environ, "PYTHONHASHSEED": "0"},
            check=True,
        )  # fmt: skip
        for line in out_file.read_text().splitlines():
            if line.startswith(("summary:", "totals:")):
                totals.append(int(line.split()[1]))
                break
        out_file.unlink()
    instructions = totals[1] - totals[0]
    return {
        "input_bytes": csv_path.stat().st_size,
        "instructions": instructions,
        "instructions_per_byte": instructions / csv_path.stat().st_size,
    }


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--serve", choices=["1", "all"], help=argparse.SUPPRESS)
    parser.add_argument("--memory", nargs=4, help=argparse.SUPPRESS)
    parser.add_argument("--data", type=Path, default=Path("build/bench-data"))
    parser.add_argument("--size-mb", type=int, default=100)
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--slow-reps", type=int, default=5, help="timed runs of pandas")
    parser.add_argument("--out", type=Path, default=Path("bench"))
    parser.add_argument("--phases-json", type=Path, help="output of phases_bench, to include")
    parser.add_argument("--no-callgrind", action="store_true")
    parser.add_argument("sets", nargs="*", help="default: numeric text mixed wide trips")
    args = parser.parse_args()
    if args.serve:
        return serve(args.serve)
    if args.memory:
        tool_key, path, scratch, line_breaks = args.memory
        return measure_memory(tool_key, Path(path), Path(scratch), line_breaks == "True")

    sets = args.sets or ["numeric", "text", "mixed", "wide", "trips"]
    scratch = SCRATCH_ROOT / f"vrex-bench-{os.getpid()}"
    scratch.mkdir()
    run = {"machine_before": report.machine_state(), "size_mb": args.size_mb, "sets": {}}
    run["started"] = time.strftime("%Y-%m-%d %H:%M:%S %Z")
    workers = {threads: Worker(threads) for threads in ("1", "all")}
    try:
        for name in sets:
            path = args.data / f"{name}-{args.size_mb}mb.csv"
            info = json.loads(path.with_suffix(".json").read_text())
            print(f"{name}: {info['bytes'] / 1e6:.1f} MB", file=sys.stderr)
            run["sets"][name] = {
                "info": info,
                "tools": time_data_set(workers, name, path, scratch, args.reps, args.slow_reps),
            }
    finally:
        for worker in workers.values():
            worker.close()
        shutil.rmtree(scratch, ignore_errors=True)
    run["finished"] = time.strftime("%Y-%m-%d %H:%M:%S %Z")
    run["machine_after"] = report.machine_state()
    run["machine"] = report.machine_description()
    if not args.no_callgrind:
        print("counting instructions (callgrind)", file=sys.stderr)
        run["callgrind"] = count_instructions(args.data / "numeric-10mb.csv")
    if args.phases_json and args.phases_json.exists():
        run["phases"] = json.loads(args.phases_json.read_text())

    raw_path = args.data / f"results-{args.size_mb}mb.json"
    raw_path.write_text(json.dumps(run, indent=1) + "\n")
    args.out.mkdir(parents=True, exist_ok=True)
    report.write_results(run, args.out / "RESULTS.md", args.out / "results.png")
    print(report.summary_table(run), file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
