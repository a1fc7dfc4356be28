"""Turns a benchmark run into RESULTS.md and the chart: figures, goals, machine."""

from __future__ import annotations

import os
import platform
import statistics
import subprocess
from importlib import metadata
from pathlib import Path

from tools import TOOLS, TOOLS_BY_KEY

MB = 1_000_000
GOAL_MB_PER_S = 1000.0
GOAL_VS_SINGLE = 3.0
GOAL_VS_ALL = 1.5
MEMORY_SLACK = 64 * MB
# Hand-written text from this heading on survives a new run.
NOTES_HEADING = "## Notes"


def machine_state() -> dict:
    """Load and the busiest other processes, to tell a quiet machine from a busy one."""
    busy = subprocess.run(
        ["ps", "-eo", "pcpu=,comm=", "--sort=-pcpu"], capture_output=True, text=True
    ).stdout.splitlines()
    others = [line.strip() for line in busy[:8] if line.strip() and float(line.split()[0]) >= 5.0]
    return {"loadavg": Path("/proc/loadavg").read_text().split()[:3], "busy": others}


def machine_description() -> dict:
    fields: dict[str, str] = {}
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if not line.strip():
            break  # the first processor says it all
        name, _, value = line.partition(":")
        fields[name.strip()] = value.strip()
    flags = set(fields.get("flags", "").split())
    simd = [flag for flag in ("sse4_2", "avx2", "avx512f", "avx512bw") if flag in flags]
    cpu = (
        f"{fields.get('model name', 'unknown')} (family {fields.get('cpu family', '?')}, "
        f"model {fields.get('model', '?')}{', virtual machine' if 'hypervisor' in flags else ''}; "
        f"{' '.join(simd) or 'no SIMD flags'})"
    )
    memory_kib = int(Path("/proc/meminfo").read_text().split()[1])
    source = subprocess.run(
        ["git", "describe", "--always", "--dirty"],
        capture_output=True,
        text=True,
        cwd=Path(__file__).resolve().parent,
    ).stdout.strip()
    versions = {}
    for name in ("vrex", "pyarrow", "polars", "duckdb", "pandas"):
        try:
            versions[name] = metadata.version(name)
        except metadata.PackageNotFoundError:
            versions[name] = "not installed"
    return {
        "cpu": cpu,
        "cores": os.cpu_count(),
        "memory_gib": round(memory_kib / 2**20, 1),
        "kernel": platform.release(),
        "python": platform.python_version(),
        "source": source or "unknown",
        "versions": versions,
    }


def throughputs(input_bytes: int, seconds: list[float]) -> list[float]:
    return [input_bytes / MB / value for value in seconds]


def tool_figures(data_set: dict) -> dict[str, dict]:
    """Median, lowest and highest MB/s of input per tool, with memory and output sizes."""
    input_bytes = data_set["info"]["bytes"]
    figures = {}
    for key, result in data_set["tools"].items():
        rates = throughputs(input_bytes, result["seconds"])
        cpu_rates = throughputs(input_bytes, result.get("cpu_seconds", []))
        figures[key] = {
            "median": statistics.median(rates),
            "cpu_median": statistics.median(cpu_rates) if cpu_rates else None,
            "low": min(rates),
            "high": max(rates),
            "runs": len(rates),
            "peak_bytes": result.get("peak_bytes"),
            "output_bytes": result.get("output_bytes"),
        }
    return figures


def best_peer(figures: dict[str, dict], threads: str) -> tuple[str, float]:
    peers = [tool.key for tool in TOOLS if tool.threads == threads and tool.key != "vrex"]
    key = max(peers, key=lambda peer: figures[peer]["median"])
    return key, figures[key]["median"]


def goals(data_set: dict) -> dict:
    figures = tool_figures(data_set)
    ours = figures["vrex"]
    single_key, single_rate = best_peer(figures, "1")
    all_key, all_rate = best_peer(figures, "all")
    memory_bound = ours["output_bytes"] + MEMORY_SLACK
    return {
        "rate": ours["median"],
        "cpu_rate": ours["cpu_median"],
        "single_key": single_key,
        "vs_single": ours["median"] / single_rate,
        "all_key": all_key,
        "vs_all": ours["median"] / all_rate,
        "peak": ours["peak_bytes"],
        "memory_bound": memory_bound,
    }


def mark(reached: bool) -> str:
    return "yes" if reached else "**no**"


def summary_table(run: dict) -> str:
    lines = [
        "| data set | vrex MB/s | vrex MB/s of CPU time | ≥ 1,000 | best 1-thread peer "
        "| vrex / it (≥ 3) | best all-thread peer | vrex / it (≥ 1.5) "
        "| peak memory above input | bound |",
        "|---|---:|---:|:-:|---|---:|---|---:|---:|---:|",
    ]
    for name, data_set in run["sets"].items():
        goal = goals(data_set)
        lines.append(
            f"| {name} | {goal['rate']:,.0f} | {goal['cpu_rate'] or 0:,.0f} "
            f"| {mark(goal['rate'] >= GOAL_MB_PER_S)} "
            f"| {goal['single_key']} "
            f"| {goal['vs_single']:.2f}× {mark(goal['vs_single'] >= GOAL_VS_SINGLE)} "
            f"| {goal['all_key']} | {goal['vs_all']:.2f}× {mark(goal['vs_all'] >= GOAL_VS_ALL)} "
            f"| {goal['peak'] / MB:,.0f} MB | {goal['memory_bound'] / MB:,.0f} MB "
            f"{mark(goal['peak'] <= goal['memory_bound'])} |"
        )
    return "\n".join(lines)


def megabytes(value: int | None) -> str:
    return "—" if value is None else f"{value / MB:,.1f}"


def rows_text(rows: int | None, expected: int) -> str:
    if rows is None:
        return "—"
    return "all" if rows == expected else f"**{rows:,} of {expected:,}**"


def data_set_table(data_set: dict) -> str:
    figures = tool_figures(data_set)
    ours = figures["vrex"]["median"]
    lines = [
        "| tool | threads | MB/s median | MB/s lowest–highest | runs | vrex / tool "
        "| peak MB above input | output MB | rows |",
        "|---|:-:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    expected_rows = data_set["info"]["rows"]
    for tool in TOOLS:
        figure = figures[tool.key]
        ratio = "—" if tool.key == "vrex" else f"{ours / figure['median']:.2f}×"
        name = f"**{tool.label}**" if tool.key == "vrex" else tool.label
        lines.append(
            f"| {name} | {tool.threads} | {figure['median']:,.0f} "
            f"| {figure['low']:,.0f}–{figure['high']:,.0f} | {figure['runs']} | {ratio} "
            f"| {megabytes(figure['peak_bytes'])} | {megabytes(figure['output_bytes'])} "
            f"| {rows_text(data_set['tools'][tool.key].get('rows'), expected_rows)} |"
        )
    return "\n".join(lines)


def describe_data(run: dict) -> str:
    lines = ["| data set | MB | rows | sha256 (first 16) |", "|---|---:|---:|---|"]
    for name, data_set in run["sets"].items():
        info = data_set["info"]
        lines.append(
            f"| {name} | {info['bytes'] / MB:,.1f} | {info['rows']:,} | `{info['sha256'][:16]}` |"
        )
    return "\n".join(lines)


def describe_machine(run: dict) -> str:
    machine = run["machine"]
    versions = ", ".join(f"{name} {version}" for name, version in machine["versions"].items())
    lines = [
        f"- CPU: {machine['cpu']}, {machine['cores']} cores; {machine['memory_gib']} GiB memory; "
        f"Linux {machine['kernel']}; Python {machine['python']}",
        f"- Versions: {versions} (vrex built from commit `{machine.get('source', 'unknown')}`)",
        f"- Run: {run['started']} to {run['finished']}",
    ]
    for moment in ("before", "after"):
        state = run[f"machine_{moment}"]
        busy = "; ".join(state["busy"]) or "none above 5% CPU"
        lines.append(
            f"- Load average {moment} the run: {' '.join(state['loadavg'])}; "
            f"busiest processes (% CPU, name): {busy}"
        )
    return "\n".join(lines)


def describe_callgrind(run: dict) -> str:
    counted = run.get("callgrind")
    if not counted:
        return "Not measured (valgrind or the 10 MB numeric set missing)."
    return (
        f"One `csv_to_vrex` call on the 10 MB `numeric` set ({counted['input_bytes']:,} bytes): "
        f"**{counted['instructions']:,} instructions**, "
        f"{counted['instructions_per_byte']:.2f} per input byte "
        "(callgrind: a Python process that makes the call minus one that only loads the input)."
    )


def describe_phases(run: dict) -> str:
    phases = run.get("phases")
    if not phases:
        return "Not measured in this run."
    lines = [
        "`bench/pipeline/phases_bench.cpp` (C++, no Python) runs each phase over a whole data set; "
        "times are CPU time of the one thread. Split: the fast splitter alone. Read: the CSV "
        "reader (splitting and the UTF-8 check). Queue: reading plus the row queue (push rows, "
        "gather each chunk's columns). Convert: every chunk column built as the pipeline builds it "
        "(`ColumnSliceBuilder` over padded texts gathered beforehand). Write: "
        "`write_column_slice` of slices built beforehand. Fresh pages: "
        "one write to each 4 KiB page of a fresh block the output's size, the page-fault cost "
        "of the result, whose pages the module touches once as it writes them in place. Whole: "
        "`convert_csv` with the default sizes into fresh output memory, as the module does. "
        "System ms and minor faults are per call, where counted.",
        "",
        "| phase/data set | MB/s of input | ms (CPU) | system ms | minor faults |",
        "|---|---:|---:|---:|---:|",
    ]
    for entry in phases["benchmarks"]:
        if entry.get("run_type") == "aggregate":
            continue
        rate = entry.get("bytes_per_second", 0.0) / MB
        scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[entry["time_unit"]]
        system = f"{entry['sys_ms']:,.1f}" if "sys_ms" in entry else ""
        faults = f"{entry['minor_faults']:,.0f}" if "minor_faults" in entry else ""
        lines.append(
            f"| {entry['name']} | {rate:,.0f} | {entry['cpu_time'] * scale:,.1f} "
            f"| {system} | {faults} |"
        )
    return "\n".join(lines)


METHOD = """\
- Every tool converts CSV bytes that are already in memory into a typed binary table:
  `csv_to_vrex(data)` with default arguments; pyarrow `csv.read_csv` then the IPC file writer into a
  buffer; polars `read_csv` then `write_ipc` into a buffer; DuckDB `read_csv` into a table (dropped
  after the clock stops) or `COPY ... TO` Parquet; pandas `read_csv` then `to_pickle` into a buffer.
  DuckDB reads a copy of the input in a file on a memory file system (`/dev/shm`), as it reads
  only files.
  pyarrow gets `newlines_in_values=True` on `text` only, whose quoted values hold line breaks
  (without it, it fails there); every other argument is each tool's default.
- Threads: "1" runs in a process with `POLARS_MAX_THREADS=1`, pyarrow's `use_threads=False` and
  CPU count 1, DuckDB `SET threads = 1`; "all" runs with each tool's defaults. pandas is
  single-threaded. vrex always runs on one thread.
- Timing: two long-lived processes (one per thread setting) hold the input; after one untimed
  warm-up run per tool, the rounds alternate between tools, the order turning each round.
  MB/s is input bytes (10^6) divided by the wall time of one conversion; "MB/s of CPU time"
  divides by the process's CPU time instead, which other load on the machine disturbs less.
- Rows: the warm-up run of every tool counts the rows it produced (vrex: its output read back);
  "all" means every generated record arrived as one row.
- Peak memory: a fresh process per tool and data set; the highest resident size during one
  conversion minus the resident size with the library loaded and the input read. The bound for
  vrex is the input plus its output (written in place into the result) plus 64 MB for one chunk,
  so above the input: the output plus 64 MB.
"""


def write_results(run: dict, results_path: Path, chart_path: Path) -> None:
    import plot

    plot.plot(run, chart_path)
    notes = ""
    if results_path.exists():
        previous = results_path.read_text()
        if NOTES_HEADING in previous:
            notes = previous[previous.index(NOTES_HEADING) :]
    sections = [
        "# Benchmark results",
        f"Made by `bash scripts/bench.sh` (data sets of {run['size_mb']} MB). "
        "Raw figures: `build/bench-data/results-*.json`.",
        "## Machine",
        describe_machine(run),
        "## Goals",
        summary_table(run),
        f"![MB/s of input per tool and data set]({chart_path.name})",
        "## Instruction count",
        describe_callgrind(run),
    ]
    for name, data_set in run["sets"].items():
        sections += [f"## {name}", data_set_table(data_set)]
    sections += [
        "## Per-phase profile",
        describe_phases(run),
        "## Data",
        describe_data(run),
        "## Method",
        METHOD,
    ]
    text = "\n\n".join(section.rstrip("\n") for section in sections) + "\n"
    if notes:
        text += "\n" + notes
    results_path.write_text(text)


__all__ = ["machine_description", "machine_state", "summary_table", "write_results", "TOOLS_BY_KEY"]
