"""Converting CSV files into .vrex files: the library under the command line and the cluster recipe.

Failures come back as values (`FileResult.error`), never as exceptions, so one
bad file never stops a batch.
"""

from __future__ import annotations

import os
import sys
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

from vrex._temporary import file_beside

#: The name that stands for standard input or standard output.
STDIO = "-"
DEFAULT_CHUNK_SIZE = 10000
DEFAULT_SAMPLE_ROWS = 1000


@dataclass(frozen=True)
class FileResult:
    """What became of one input file."""

    source: str
    #: The file written, "-" for standard output, None when nothing was planned.
    target: str | None
    #: The failure's message, None when the file converted.
    error: str | None = None
    input_bytes: int = 0
    output_bytes: int = 0

    @property
    def ok(self) -> bool:
        return self.error is None


def default_target(source: str, out_dir: str | os.PathLike | None = None) -> str:
    """IN with its suffix replaced by .vrex, beside IN or inside `out_dir`."""
    name = os.path.basename(source)
    stem, suffix = os.path.splitext(name)
    target_name = (stem if suffix else name) + ".vrex"
    folder = os.path.dirname(source) if out_dir is None else os.fspath(out_dir)
    return os.path.join(folder, target_name)


def check_targets(pairs: Sequence[tuple[str, str]]) -> str | None:
    """Why these (source, target) pairs cannot all be written, or None when they can.

    Two inputs must not share one output, and no output may replace an input.
    """
    sources = {_identity(source) for source, _ in pairs if source != STDIO}
    seen: dict[Any, str] = {}
    for source, target in pairs:
        if target == STDIO:
            continue
        key = _identity(target)
        if key in sources:
            return f"{source}: the output {target} would replace an input"
        if key in seen:
            return f"{seen[key]} and {source} would both be written to {target}"
        seen[key] = source
    return None


def _identity(path: str) -> Any:
    """The same key for two names of one existing file; the absolute name otherwise."""
    try:
        status = os.stat(path)
    except OSError:
        return os.path.abspath(path)
    return (status.st_dev, status.st_ino)


def convert_file(
    source: str,
    target: str,
    chunk_size: int = DEFAULT_CHUNK_SIZE,
    sample_rows: int = DEFAULT_SAMPLE_ROWS,
    *,
    threads: int | None = None,
    progress: Callable[[int, int], object] | None = None,
) -> FileResult:
    """Convert one CSV file into one .vrex file; failures come back in the result.

    `source` or `target` "-" mean standard input and output. A file target is
    written under a temporary name in its folder and renamed when complete, so
    it is either the whole new file or untouched. File to file, the conversion
    streams on `threads` threads and calls `progress(bytes_done, bytes_total)`.
    """
    from _vrex import csv_to_vrex

    if source != STDIO and target != STDIO:
        return _convert_file_to_file(source, target, chunk_size, sample_rows, threads, progress)

    try:
        data = read_source(source)
    except OSError as error:
        return FileResult(source, target, f"cannot read: {os_reason(error)}")
    try:
        vrex_bytes = csv_to_vrex(data, chunk_size, sample_rows)
    except (KeyboardInterrupt, SystemExit):
        raise
    except ValueError as error:
        return FileResult(source, target, str(error), len(data))
    except MemoryError:
        return FileResult(source, target, "out of memory", len(data))
    except BaseException as error:  # an internal fault of the converter
        return FileResult(source, target, f"internal error: {error}", len(data))
    input_size = len(data)
    del data
    try:
        if target == STDIO:
            sys.stdout.buffer.write(vrex_bytes)
            sys.stdout.buffer.flush()
        else:
            write_atomically(target, vrex_bytes)
    except OSError as error:
        return FileResult(source, target, f"cannot write {target}: {os_reason(error)}")
    return FileResult(source, target, None, input_size, len(vrex_bytes))


def _convert_file_to_file(source, target, chunk_size, sample_rows, threads, progress) -> FileResult:
    from vrex._convert import convert_file as stream_file

    try:
        input_size = os.path.getsize(source)
        with open(source, "rb"):
            pass
    except OSError as error:
        return FileResult(source, target, f"cannot read: {os_reason(error)}")
    try:
        stream_file(source, target, chunk_size, sample_rows, threads=threads, progress=progress)
    except (KeyboardInterrupt, SystemExit):
        raise
    except ValueError as error:
        return FileResult(source, target, str(error), input_size)
    except MemoryError:
        return FileResult(source, target, "out of memory", input_size)
    except OSError as error:
        return FileResult(source, target, f"cannot write {target}: {os_reason(error)}")
    except BaseException as error:  # an internal fault of the converter
        return FileResult(source, target, f"internal error: {error}", input_size)
    return FileResult(source, target, None, input_size, os.path.getsize(target))


def read_source(source: str) -> bytes:
    """The whole of a file, or of standard input for "-"."""
    if source == STDIO:
        return sys.stdin.buffer.read()
    with open(source, "rb") as stream:
        return stream.read()


def os_reason(error: OSError) -> str:
    """The system's words for an error, without the errno and file name around them."""
    return error.strerror or str(error)


def write_atomically(path: str, data: bytes) -> None:
    """Write `data` to `path` through a temporary file in the same folder and a rename.

    An interrupt at any point, even while the temporary file is being made,
    leaves no temporary file behind. The file gets the mode a plain open()
    would give it (the umask applies).
    """
    with file_beside(path, ".tmp") as (temporary, stream):
        stream.write(data)
        stream.flush()
        os.fsync(stream.fileno())
        os.replace(temporary, path)
