"""Texts as one block plus offsets, or as Arrow string views into the file?

    python bench/python/text_layouts.py --data build/bench-data --size-mb 100 mixed text

For the converted sets (read_back.py makes them) this prints, per set:
- how many texts there are, their bytes, and the share short enough (12
  bytes or fewer) that a 16-byte view holds them inline;
- the memory of each layout: block + 8-byte offsets, against 16 bytes a view
  (plus the mapped file, which views keep alive);
- the CPU time of building 16-byte views, taking Arrow's own cast from
  large_string to string_view as the stand-in for a reader that writes views
  (a view is written per text either way, the texts themselves not copied);
- the time polars takes to take each layout in.

Repetitions alternate; medians and min-max are printed.
"""

from __future__ import annotations

import argparse
import statistics
import time
from pathlib import Path

import polars as pl
import pyarrow as pa
import pyarrow.compute as pc

import vrex


def timed(run, reps: int) -> list[float]:
    times = []
    for _ in range(reps):
        start = time.process_time()
        run()
        times.append(time.process_time() - start)
    return times


def spread(values: list[float]) -> str:
    return f"{statistics.median(values):.3f} s ({min(values):.3f}–{max(values):.3f})"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("sets", nargs="*", default=["mixed", "text"])
    parser.add_argument("--data", type=Path, default=Path("build/bench-data"))
    parser.add_argument("--size-mb", type=int, default=100)
    parser.add_argument("--reps", type=int, default=5)
    options = parser.parse_args()
    for name in options.sets:
        path = options.data / f"{name}-{options.size_mb}mb.vrex"
        table = vrex.read_file(path).to_arrow()
        texts = [c.cast(pa.large_string()) for c in table.columns if pa.types.is_string(c.type)]
        count = sum(len(c) for c in texts)
        text_bytes = sum(chunk.buffers()[2].size for c in texts for chunk in c.chunks)
        lengths = [pc.binary_length(c) for c in texts]
        short = sum(pc.sum(pc.less_equal(n, 12)).as_py() or 0 for n in lengths)
        text_table = pa.table({f"c{k}": c for k, c in enumerate(texts)})
        as_views = text_table.cast(
            pa.schema([(f, pa.string_view()) for f in text_table.column_names])
        )
        build, polars_block, polars_views = [], [], []
        for _ in range(options.reps):
            build += timed(lambda t=text_table, v=as_views: t.cast(v.schema), 1)
            polars_block += timed(lambda t=text_table: pl.from_arrow(t, rechunk=False), 1)
            polars_views += timed(lambda v=as_views: pl.from_arrow(v, rechunk=False), 1)
        print(
            f"\n{name}: {count:,} texts, {text_bytes / 1e6:.1f} MB of text, "
            f"{100 * short / count:.0f}% of them 12 bytes or shorter"
        )
        print(f"  block + offsets: {(text_bytes + 8 * (count + len(texts))) / 1e6:.1f} MB")
        print(
            f"  string views:    {16 * count / 1e6:.1f} MB, plus the "
            f"{path.stat().st_size / 1e6:.1f} MB mapped file kept alive"
        )
        print(f"  writing the views (CPU): {spread(build)}")
        print(
            f"  polars takes in the block layout: {spread(polars_block)}; "
            f"the view layout: {spread(polars_views)}"
        )


if __name__ == "__main__":
    main()
