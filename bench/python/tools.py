"""The conversions being timed: ours and those of the tools users would pick instead.

Each tool turns CSV bytes already in memory into a typed binary table and
reports the size of what it produced (None when the result is a table inside
the tool rather than bytes). Libraries are imported when a tool is prepared,
so a process pays only for the tools it runs.
"""

from __future__ import annotations

import io
import os
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path


@dataclass(frozen=True)
class Input:
    data: bytes  # the CSV document
    path: Path  # the same bytes in a file on a memory file system, for tools that read only files
    scratch: Path  # a folder on the same file system for tools that write only files
    # Quoted values hold line breaks: pyarrow must be told so, at a price, or it fails.
    line_breaks_in_values: bool = False


@dataclass(frozen=True)
class Outcome:
    output_bytes: int | None  # None: the table stays inside the tool
    rows: int | None  # counted only when asked for, since counting may cost time


# A prepared tool: converts one input; the flag asks it to count the rows it produced.
Convert = Callable[[Input, bool], Outcome]


@dataclass(frozen=True)
class Tool:
    key: str
    label: str
    threads: str  # "1" or "all": the process it runs in and the group it is compared within
    library: str  # the distribution whose version is reported
    prepare: Callable[[], Convert]
    slow: bool = False  # timed fewer times when the run is short of time


def prepare_vrex() -> Convert:
    from _vrex import csv_to_vrex

    def convert(source: Input, count_rows: bool) -> Outcome:
        output = csv_to_vrex(source.data)
        if not count_rows:
            return Outcome(len(output), None)
        import vrex

        return Outcome(len(output), vrex.read(output).num_rows)

    return convert


def prepare_pyarrow(use_threads: bool) -> Callable[[], Convert]:
    def prepare() -> Convert:
        import pyarrow as pa
        import pyarrow.csv as pacsv
        import pyarrow.ipc as paipc

        if not use_threads:
            pa.set_cpu_count(1)
            pa.set_io_thread_count(1)
        read_options = pacsv.ReadOptions(use_threads=use_threads)
        parse_options = {
            flag: pacsv.ParseOptions(newlines_in_values=flag) for flag in (False, True)
        }

        def convert(source: Input, count_rows: bool) -> Outcome:
            table = pacsv.read_csv(
                pa.BufferReader(source.data),
                read_options=read_options,
                parse_options=parse_options[source.line_breaks_in_values],
            )
            sink = pa.BufferOutputStream()
            with paipc.new_file(sink, table.schema) as writer:
                writer.write_table(table)
            return Outcome(sink.getvalue().size, table.num_rows)

        return convert

    return prepare


def prepare_polars() -> Convert:
    # The thread count is the process's: POLARS_MAX_THREADS is set before the import.
    import polars as pl

    def convert(source: Input, count_rows: bool) -> Outcome:
        frame = pl.read_csv(source.data)
        sink = io.BytesIO()
        frame.write_ipc(sink)
        return Outcome(sink.getbuffer().nbytes, frame.height)

    return convert


def prepare_duckdb(use_threads: bool, to_parquet: bool) -> Callable[[], Convert]:
    def prepare() -> Convert:
        import duckdb

        connection = duckdb.connect()
        if not use_threads:
            connection.execute("SET threads = 1")

        def count(relation: str) -> int:
            return connection.execute(f"SELECT count(*) FROM {relation}").fetchone()[0]

        def into_table(source: Input, count_rows: bool) -> Outcome:
            connection.execute(
                "CREATE OR REPLACE TABLE converted AS SELECT * FROM read_csv(?)", [str(source.path)]
            )
            rows = count("converted") if count_rows else None
            connection.execute("DROP TABLE converted")
            return Outcome(None, rows)

        def into_parquet(source: Input, count_rows: bool) -> Outcome:
            target = source.scratch / f"duckdb-{os.getpid()}.parquet"
            connection.execute(
                f"COPY (SELECT * FROM read_csv(?)) TO '{target}' (FORMAT parquet)",
                [str(source.path)],
            )
            size = target.stat().st_size
            rows = count(f"'{target}'") if count_rows else None
            target.unlink()
            return Outcome(size, rows)

        return into_parquet if to_parquet else into_table

    return prepare


def prepare_pandas() -> Convert:
    import pandas as pd

    def convert(source: Input, count_rows: bool) -> Outcome:
        frame = pd.read_csv(io.BytesIO(source.data))
        sink = io.BytesIO()
        frame.to_pickle(sink)
        return Outcome(sink.getbuffer().nbytes, len(frame))

    return convert


DUCKDB_TABLE = "DuckDB read_csv into a table"
TOOLS: list[Tool] = [
    Tool("vrex", "vrex csv_to_vrex", "1", "vrex", prepare_vrex),
    Tool("pyarrow-1", "pyarrow read_csv + IPC file", "1", "pyarrow", prepare_pyarrow(False)),
    Tool("polars-1", "polars read_csv + write_ipc", "1", "polars", prepare_polars),
    Tool("duckdb-1", DUCKDB_TABLE, "1", "duckdb", prepare_duckdb(False, False)),
    Tool("duckdb-pq-1", "DuckDB COPY to Parquet", "1", "duckdb", prepare_duckdb(False, True)),
    Tool("pandas", "pandas read_csv + to_pickle", "1", "pandas", prepare_pandas, slow=True),
    Tool("pyarrow-all", "pyarrow read_csv + IPC file", "all", "pyarrow", prepare_pyarrow(True)),
    Tool("polars-all", "polars read_csv + write_ipc", "all", "polars", prepare_polars),
    Tool("duckdb-all", DUCKDB_TABLE, "all", "duckdb", prepare_duckdb(True, False)),
    Tool("duckdb-pq-all", "DuckDB COPY to Parquet", "all", "duckdb", prepare_duckdb(True, True)),
]
TOOLS_BY_KEY = {tool.key: tool for tool in TOOLS}


def process_environment(threads: str) -> dict[str, str]:
    """The environment of a process that runs the tools of one thread setting."""
    environment = dict(os.environ)
    for name in ("POLARS_MAX_THREADS", "OMP_NUM_THREADS", "RAYON_NUM_THREADS"):
        environment.pop(name, None)
    if threads == "1":
        environment.update(POLARS_MAX_THREADS="1", OMP_NUM_THREADS="1", RAYON_NUM_THREADS="1")
    return environment
