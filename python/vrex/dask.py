"""Converting many CSV files on a Dask cluster: one task per file.

    from distributed import Client
    from vrex.dask import convert_files

    client = Client("tcp://scheduler:8786")          # or Client(LocalCluster())
    results = convert_files(paths, out_dir="/shared/converted", client=client)
    failed = [r for r in results if not r.ok]

Each task reads its CSV file, converts it and writes the .vrex file itself, so
the paths must name the same files on every worker (a shared file system).
Nothing but the paths and a small result per file travels through the
scheduler. A conversion holds its interpreter's lock while it runs, so give
workers one thread each (threads_per_worker=1) and one process per core. A
file that fails is reported in its result; the others go on. Needs the extra:
pip install 'vrex[dask]'.
"""

from __future__ import annotations

import os
import uuid
from collections.abc import Iterable

from vrex.conversion import (
    DEFAULT_CHUNK_SIZE,
    DEFAULT_SAMPLE_ROWS,
    FileResult,
    check_targets,
    convert_file,
    default_target,
)

__all__ = ["FileResult", "convert_files"]


def convert_files(
    paths: Iterable[str | os.PathLike],
    out_dir: str | os.PathLike | None = None,
    client=None,
    *,
    chunk_size: int = DEFAULT_CHUNK_SIZE,
    sample_rows: int = DEFAULT_SAMPLE_ROWS,
) -> list[FileResult]:
    """Convert each CSV file into a .vrex file, one cluster task per file.

    Outputs go next to their inputs (IN with its suffix replaced by .vrex), or
    into `out_dir`, which the workers create when missing. Paths are used as
    given: a relative path is relative to each worker's working folder, so give
    absolute ones when the workers run elsewhere. `client` is a
    `distributed.Client`; None means the current default client. Returns one
    `FileResult` per path, in the order of `paths`: `ok`, `error` (the
    conversion's message), `target`, `input_bytes` and `output_bytes`.

    Raises ValueError before anything is submitted when two inputs would be
    written to one output, or an output would replace an input.
    """
    try:
        import distributed
    except ImportError as error:
        raise ImportError("vrex.dask needs Dask: pip install 'vrex[dask]'") from error

    # "-" is a file name here, not standard input.
    sources = [os.path.join(".", "-") if os.fspath(p) == "-" else os.fspath(p) for p in paths]
    pairs = [(source, default_target(source, out_dir)) for source in sources]
    problem = check_targets(pairs)
    if problem is not None:
        raise ValueError(problem)
    if not pairs:
        return []
    if client is None:
        client = distributed.get_client()

    run = uuid.uuid4().hex[:12]
    futures = client.map(
        _convert_on_worker,
        [source for source, _ in pairs],
        [target for _, target in pairs],
        chunk_size=chunk_size,
        sample_rows=sample_rows,
        # Fresh keys per call: a second call with the same paths must run again.
        key=[f"vrex-convert-{run}-{k}" for k in range(len(pairs))],
        pure=False,
        retries=0,
    )
    results = []
    for (source, target), future in zip(pairs, futures, strict=True):
        try:
            results.append(future.result())
        except Exception as error:  # the task itself failed, e.g. its worker died
            results.append(FileResult(source, target, f"task failed: {error!r}"))
    return results


def _convert_on_worker(source: str, target: str, chunk_size: int, sample_rows: int) -> FileResult:
    """One task: the output folder is made where the file is written, on the worker."""
    folder = os.path.dirname(target)
    if folder:
        try:
            os.makedirs(folder, exist_ok=True)
        except OSError as error:
            return FileResult(source, target, f"cannot make {folder}: {error.strerror or error}")
    return convert_file(source, target, chunk_size, sample_rows)
