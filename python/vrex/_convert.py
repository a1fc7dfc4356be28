"""Conversion on all cores: CSV bytes to VREX bytes, or a CSV file to a VREX file."""

from __future__ import annotations

import functools
import mmap
import os
import stat
from collections.abc import Callable

from vrex import _engine
from vrex._temporary import file_beside
from vrex._threads import thread_count

DEFAULT_PART_SIZE: int = _engine.DEFAULT_PART_SIZE

ProgressCallback = Callable[[int, int], object]


@functools.cache
def _umask() -> int:
    # Read where the system tells: setting it briefly would race with other
    # threads of the process creating files.
    try:
        with open("/proc/self/status", encoding="ascii") as status:
            for line in status:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError):
        pass
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def _part_size(part_size: int | None) -> int:
    if part_size is None:
        return DEFAULT_PART_SIZE
    if isinstance(part_size, bool) or not isinstance(part_size, int):
        raise TypeError(f"part_size must be an int or None, not {type(part_size).__name__}")
    if part_size < 1:
        raise ValueError("part_size must be at least 1")
    return part_size


def convert(
    data,
    chunk_size: int = 10000,
    sample_rows: int = 1000,
    *,
    threads: int | None = None,
    part_size: int | None = None,
) -> bytes:
    """Convert CSV bytes to VREX bytes on several threads.

    The result, and the ValueError raised for bad input, are exactly those of
    ``csv_to_vrex(data, chunk_size, sample_rows)``: when an input has several
    faults, the one that call would meet first is reported.

    Args:
        data: ``bytes`` or any read-only contiguous buffer (a ``memoryview``
            of bytes, an ``mmap`` opened with ``ACCESS_READ``). Writable
            buffers (``bytearray``, a writable ``memoryview``) are refused
            with TypeError, since their bytes could change while they are
            converted: pass ``bytes(data)`` instead. The buffer is held for
            the whole call.
        chunk_size: Rows per table slice (default 10 000).
        sample_rows: Rows read to infer the column types (default 1 000).
        threads: Threads to convert on; None means every core this process
            may use (``os.sched_getaffinity``), 1 runs on the calling thread.
        part_size: Bytes per block when the threads count a chunk's records
            to find where the next chunk begins (default 256 KiB): a block is
            read whole where quotes pair up in it, and byte by byte where the
            chunk ends. It changes how the work is cut, never the result; 1
            cuts into the most blocks possible.

    The interpreter lock is released while the conversion runs. Memory beyond
    the input and the result: about two chunks per thread in flight, plus 8
    bytes per chunk (where it begins).

    Calls that follow each other reuse the workers' memory: after a call on
    several threads, its converters (up to 8, each a chunk's values, kept
    only for chunks of at most 4 Mi cells) and its finished-section buffers
    (up to 16 and 256 MiB) are kept for ten seconds, then given back.
    """
    return _engine.convert(
        data, chunk_size, sample_rows, thread_count(threads), _part_size(part_size), None
    )


def convert_file(
    source: str | os.PathLike,
    target: str | os.PathLike,
    chunk_size: int = 10000,
    sample_rows: int = 1000,
    *,
    threads: int | None = None,
    part_size: int | None = None,
    progress: ProgressCallback | None = None,
) -> None:
    """Convert the CSV file ``source`` into the VREX file ``target``.

    The file written holds exactly the bytes ``convert`` gives for the
    source's bytes. The source is mapped read-only; the output goes to a
    temporary file in the target's folder, renamed to ``target`` only once it
    is complete. On any failure (KeyboardInterrupt included) the temporary
    file is removed and ``target`` is left as it was: never a partial file.

    ``progress(bytes_done, bytes_total)``, when given, is called from the
    calling thread now and then (about ten times a second at most, and once
    at the end) with the source bytes converted so far; an exception it
    raises stops the conversion and propagates.

    Memory: the output is never held whole. Anonymous memory stays under
    ``(3 * threads + 2)`` chunks' worth (a chunk in flight holds its rows'
    field views, 16 bytes a cell, and its converted slice; for 10 000 rows of
    a dozen columns about 3 MB), plus the sample, plus 8 bytes per chunk
    (where it begins), plus the worker memory kept for ten seconds after a call
    (see ``convert``).
    The mapped source is page cache and not counted. Other arguments are as
    for ``convert``.
    """
    threads_used = thread_count(threads)
    size = _part_size(part_size)
    target = os.fspath(target)
    with open(source, "rb") as source_file:
        status = os.fstat(source_file.fileno())
        if not stat.S_ISREG(status.st_mode):
            # A pipe or device cannot be mapped: its bytes are read whole.
            mapped, data = None, source_file.read()
        elif status.st_size:
            mapped, data = mmap.mmap(source_file.fileno(), 0, access=mmap.ACCESS_READ), None
        else:
            mapped, data = None, b""
    try:
        with file_beside(target, ".part") as (temporary, output):
            _engine.convert_to_file(
                mapped if mapped is not None else data,
                output.fileno(),
                chunk_size,
                sample_rows,
                threads_used,
                size,
                progress,
            )
            os.fsync(output.fileno())
            os.replace(temporary, target)
    finally:
        if mapped is not None:
            mapped.close()
