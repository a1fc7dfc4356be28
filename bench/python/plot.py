"""The chart of a benchmark run: median MB/s per tool and data set, whiskers lowest to highest."""

from __future__ import annotations

from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
from report import GOAL_MB_PER_S, tool_figures
from tools import TOOLS

# One colour per conversion; the all-threads run of it is lighter and hatched.
COLOURS = {
    "vrex": "#d62728",
    "pyarrow": "#1f77b4",
    "polars": "#2ca02c",
    "duckdb": "#9467bd",
    "duckdb-pq": "#e377c2",
    "pandas": "#8c564b",
}


def colour(tool_key: str) -> str:
    return COLOURS[tool_key.removesuffix("-1").removesuffix("-all")]


def plot(run: dict, path: Path) -> None:
    names = list(run["sets"])
    figures = {name: tool_figures(run["sets"][name]) for name in names}
    width = 0.8 / len(TOOLS)
    figure, axes = plt.subplots(figsize=(13, 7), dpi=100)
    for index, tool in enumerate(TOOLS):
        positions = [slot + (index - len(TOOLS) / 2 + 0.5) * width for slot in range(len(names))]
        medians = [figures[name][tool.key]["median"] for name in names]
        below = [medians[i] - figures[name][tool.key]["low"] for i, name in enumerate(names)]
        above = [figures[name][tool.key]["high"] - medians[i] for i, name in enumerate(names)]
        bars = axes.bar(
            positions,
            medians,
            width,
            yerr=[below, above],
            capsize=2,
            label=f"{tool.label} ({'1 thread' if tool.threads == '1' else 'all threads'})",
            color=colour(tool.key),
            alpha=1.0 if tool.threads == "1" else 0.55,
            hatch=None if tool.threads == "1" else "//",
            edgecolor="white" if tool.threads == "1" else "black",
            linewidth=0.4,
        )
        if tool.key == "vrex":
            axes.bar_label(bars, labels=[f"{m:,.0f}" for m in medians], fontsize=8, padding=2)
    axes.axhline(GOAL_MB_PER_S, color="#d62728", linestyle=":", linewidth=1)
    axes.text(-0.45, GOAL_MB_PER_S, "goal for vrex", color="#d62728", va="bottom", fontsize=8)
    labels = [f"{name}\n({run['sets'][name]['info']['bytes'] / 1e6:.0f} MB)" for name in names]
    axes.set_xticks(range(len(names)), labels)
    axes.set_ylabel("MB/s of CSV input (median; whiskers: lowest to highest)")
    axes.set_title("CSV in memory to a typed binary table")
    axes.legend(fontsize=7, ncol=4, loc="upper center", bbox_to_anchor=(0.5, -0.12))
    axes.grid(axis="y", alpha=0.3)
    figure.tight_layout()
    figure.savefig(path)
    plt.close(figure)
