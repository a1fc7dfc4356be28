"""Converting CSV files on a Dask cluster: many files, one task per file, or
one huge file cut into parts that every worker helps with.

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
file that fails is reported in its result; the others go on.

    result = convert_large_file("/shared/export.csv", "/shared/export.vrex", client=client)

One huge file: the client reads the header and the sample, workers summarise
byte ranges of the file, the client joins the summaries into record-aligned
parts, workers convert the parts into piece files beside the target, and then
copy the pieces into place in the target. The file is the one a single
conversion of the whole input would write, byte for byte.

Needs the extra: pip install 'vrex[dask]'.
"""

from __future__ import annotations

import contextlib
import logging
import mmap
import os
import secrets
import shutil
import stat
import time
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

__all__ = ["DEFAULT_LARGE_PART_SIZE", "FileResult", "convert_files", "convert_large_file"]

#: Bytes of input per part of a huge file: a part is one task, and should take
#: long enough (about a second here) that the scheduler's cost per task is small.
DEFAULT_LARGE_PART_SIZE = 64 << 20

_log = logging.getLogger("vrex.dask")


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


def convert_large_file(
    source: str | os.PathLike,
    target: str | os.PathLike,
    chunk_size: int = DEFAULT_CHUNK_SIZE,
    sample_rows: int = DEFAULT_SAMPLE_ROWS,
    *,
    client=None,
    part_size: int | None = None,
) -> FileResult:
    """Convert one CSV file into one .vrex file with every worker of a cluster.

    `target` holds exactly the bytes ``csv_to_vrex`` gives for the whole of
    `source`; when the input is bad, the result's `error` is the message that
    call raises (the first fault, when there are several) and nothing is
    written. `source` and `target`'s folder must be the same files on every
    worker and on the client (a shared file system); workers write their
    pieces into a hidden folder beside `target`, then copy each into place in
    a temporary file that the client renames to `target` once complete. The
    pieces and the temporary file are removed on every outcome,
    KeyboardInterrupt included. A worker lost mid-run has its tasks
    run again elsewhere (its pieces are written under temporary names and
    renamed only when complete); when the cluster gives up on a task, the
    result says so and nothing is written.

    `part_size` is the bytes of input per task (default 64 MiB); it changes
    how the work is cut, never the result. `client` is a `distributed.Client`;
    None means the current default client. The source must not change while
    it is converted: a change of its size or modification time is reported.

    Raises ValueError before anything runs when `target` would replace the
    source, TypeError or ValueError for a bad `part_size`.
    """
    try:
        import distributed
    except ImportError as error:
        raise ImportError("vrex.dask needs Dask: pip install 'vrex[dask]'") from error
    from vrex import _engine

    stretch_size = _large_part_size(part_size)
    source, target = os.fspath(source), os.fspath(target)
    problem = check_targets([(source, target)])
    if problem is not None:
        raise ValueError(problem)

    started = time.perf_counter()
    try:
        with _mapped(source) as (data, identity):
            start, types, rest_byte, rest_line, first_row, complete = _engine.table_start(
                data, chunk_size, sample_rows
            )
    except OSError as error:
        return FileResult(source, target, f"cannot read: {error.strerror or error}")
    except ValueError as error:
        return FileResult(source, target, str(error), _size_or_zero(source))
    input_size = identity[0]
    timings = {"start": time.perf_counter() - started}

    folder = os.path.dirname(os.path.abspath(target))
    pieces = os.path.join(folder, f".{os.path.basename(target)}.{secrets.token_hex(6)}.pieces")
    futures: list = []
    try:
        try:
            os.mkdir(pieces, 0o700)
        except OSError as error:
            return FileResult(source, target, f"cannot write {target}: {error.strerror or error}")
        piece_list: list[tuple[str, int]] = []
        holders: dict = {}
        run = uuid.uuid4().hex[:12]
        if not complete and rest_byte < input_size:
            if client is None:
                client = distributed.get_client()
            began = time.perf_counter()
            begins = list(range(rest_byte, input_size, stretch_size))
            futures = client.map(
                _summarize_on_worker,
                [source] * len(begins),
                begins,
                [min(begin + stretch_size, input_size) for begin in begins],
                identity=identity,
                key=[f"vrex-large-{run}-summary-{k}" for k in range(len(begins))],
                pure=False,
            )
            outcome = _first_failure_in_order(client, futures)
            if isinstance(outcome, str):
                return FileResult(source, target, outcome, input_size)
            summaries = outcome
            jobs, end_row = _engine.join_stretches(
                rest_byte, rest_line, first_row, input_size, stretch_size, chunk_size, summaries
            )
            timings["summaries"] = time.perf_counter() - began
            began = time.perf_counter()
            # A part's bytes are about those of the stretch it begins in: its
            # task goes to the worker that read that stretch, whose page cache
            # holds them, unless that worker is busy or gone.
            readers = _holders(client, futures)
            futures = [
                client.submit(
                    _convert_part_on_worker,
                    source,
                    index,
                    job,
                    identity=identity,
                    pieces=pieces,
                    types=types,
                    chunk_size=chunk_size,
                    end_row=end_row,
                    key=f"vrex-large-{run}-part-{index}",
                    pure=False,
                    workers=readers.get((job[0] - rest_byte) // stretch_size) or None,
                    allow_other_workers=True,
                )
                for index, job in enumerate(jobs)
            ]
            outcome = _first_failure_in_order(client, futures)
            if isinstance(outcome, str):
                return FileResult(source, target, outcome, input_size)
            piece_list = outcome
            timings["parts"] = time.perf_counter() - began
            holders = _holders(client, futures)
            futures = []
        began = time.perf_counter()
        try:
            output_size = _assemble(
                client, target, start, piece_list, holders, _engine.table_end(), run
            )
        except OSError as error:
            return FileResult(source, target, f"cannot write {target}: {error.strerror or error}")
        if isinstance(output_size, str):
            return FileResult(source, target, f"cannot write {target}: {output_size}", input_size)
        timings["join"] = time.perf_counter() - began
    finally:
        if futures:
            client.cancel(futures)
        _remove_folder(pieces)
    _log.info(
        "%s: %d bytes in, %d out; %s",
        source,
        input_size,
        output_size,
        ", ".join(f"{step} {seconds:.3f} s" for step, seconds in timings.items()),
        extra={"vrex_timings": timings},
    )
    return FileResult(source, target, None, input_size, output_size)


def _large_part_size(part_size: int | None) -> int:
    if part_size is None:
        return DEFAULT_LARGE_PART_SIZE
    if isinstance(part_size, bool) or not isinstance(part_size, int):
        raise TypeError(f"part_size must be an int or None, not {type(part_size).__name__}")
    if part_size < 1:
        raise ValueError("part_size must be at least 1")
    return part_size


def _size_or_zero(path: str) -> int:
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


@contextlib.contextmanager
def _mapped(source: str):
    """The source's bytes, mapped read-only, and its (size, modification time)."""
    with open(source, "rb") as stream:
        status = os.fstat(stream.fileno())
        if not stat.S_ISREG(status.st_mode):
            raise OSError(0, "not a regular file (workers must be able to read it by name)")
        identity = (status.st_size, status.st_mtime_ns)
        if status.st_size == 0:
            yield b"", identity
            return
        with mmap.mmap(stream.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
            yield mapped, identity


_CHANGED = "the input changed while it was converted"


def _summarize_on_worker(source: str, begin: int, end: int, identity) -> bytes | str:
    """One task: the summary of a stretch of the source, or why there is none."""
    from vrex import _engine

    with _mapped(source) as (data, found):
        if found != identity:
            return _CHANGED
        return _engine.summarize_stretch(data, begin, end)


def _convert_part_on_worker(
    source: str, index: int, job, identity, pieces: str, types, chunk_size: int, end_row: int
) -> tuple[str, int] | str:
    """One task: a part's slices in a piece file, or the conversion's message.

    The piece gets its name only once it is complete, so a task run again
    after its worker was lost replaces it whole. The pieces folder is made by
    the client only: once the client has removed it, a late task fails here
    instead of leaving files behind.
    """
    from vrex import _engine

    piece = os.path.join(pieces, f"{index:09d}.piece")
    temporary = f"{piece}.{secrets.token_hex(6)}.tmp"
    with _mapped(source) as (data, found):
        if found != identity:
            return _CHANGED
        descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
        failure, renamed = None, False
        try:
            with os.fdopen(descriptor, "wb", buffering=0) as output:
                try:
                    _engine.convert_part(data, output.fileno(), types, chunk_size, job, end_row)
                except ValueError as error:
                    failure = str(error)
                size = os.fstat(output.fileno()).st_size
            if failure is None:
                os.rename(temporary, piece)
                renamed = True
        finally:
            if not renamed:
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(temporary)
    if failure is not None:
        return failure
    return piece, size


def _first_failure_in_order(client, futures):
    """Every task's value in order, or the first failure in order as a message.

    A conversion's message is a str result; a task that raised (its worker
    lost too often, say) is reported as such. Once a task fails, the ones
    after it are cancelled: only those before it can still come first.
    """
    import distributed

    limit = len(futures)
    failed: dict[int, str] = {}
    position = {future.key: index for index, future in enumerate(futures)}
    for future in distributed.as_completed(futures):
        index = position[future.key]
        if index >= limit:
            continue
        if future.status == "error":
            failed[index] = f"task failed: {future.exception()!r}"
        elif future.status == "cancelled":
            failed[index] = "task failed: cancelled"
        else:
            value = future.result()
            if not isinstance(value, str):
                continue
            failed[index] = value
        limit = index
        client.cancel(futures[index + 1 :])
    if failed:
        return failed[min(failed)]
    return [future.result() for future in futures]


def _holders(client, futures) -> dict[int, list[str]]:
    """Which workers hold each task's result: they read or wrote its bytes,
    which their page cache holds. A hint only; empty when not known."""
    try:
        who_has = client.who_has(futures)
    except Exception:
        return {}
    return {index: list(who_has.get(future.key, ())) for index, future in enumerate(futures)}


def _assemble(client, target, start, pieces, holders, end, run) -> int | str:
    """Writes start + pieces + end into `target` through a temporary file and a rename.

    The client writes the start and the end; each piece is copied into place
    by a task, preferably on the worker that wrote it, so the output's bytes
    move in parallel and never through the client. Returns the file's size,
    or a failed task's message (the temporary file is then removed).
    """
    from vrex._convert import _umask

    folder, name = os.path.split(os.path.abspath(target))
    temporary = os.path.join(folder, f".{name}.{secrets.token_hex(8)}.tmp")
    descriptor = os.open(temporary, os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
    try:
        try:
            offsets = [len(start)]
            for _, size in pieces:
                offsets.append(offsets[-1] + size)
            total = offsets[-1] + len(end)
            os.ftruncate(descriptor, total)
            _write_all_at(descriptor, start, 0)
            _write_all_at(descriptor, end, offsets[-1])
            if pieces:
                failure = _place_pieces(client, temporary, pieces, offsets, holders, run)
                if failure is not None:
                    raise _PlacementFailed(failure)
            os.fchmod(descriptor, 0o666 & ~_umask())
            os.fsync(descriptor)
        finally:
            os.close(descriptor)
        os.replace(temporary, target)
    except _PlacementFailed as failure:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        return str(failure)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise
    return total


class _PlacementFailed(Exception):
    pass


def _place_pieces(client, temporary, pieces, offsets, holders, run) -> str | None:
    """Copies every piece into place with one task each; None, or why one failed.

    A piece is removed as soon as its copy is done, and its task forgotten
    (so the scheduler never runs it again without its piece): the input, the
    pieces and the output never all take their full size on disk at once.
    """
    import distributed

    futures = {}
    for index, (path, size) in enumerate(pieces):
        future = client.submit(
            _place_piece_on_worker,
            path,
            temporary,
            offsets[index],
            size,
            key=f"vrex-large-{run}-place-{index}",
            pure=False,
            workers=holders.get(index) or None,
            allow_other_workers=True,
        )
        futures[future.key] = future
    pending = {key: index for index, key in enumerate(futures)}
    try:
        stream = distributed.as_completed(list(futures.values()))
        for future in stream:
            index = pending[future.key]
            if future.status != "finished":
                error = future.exception() if future.status == "error" else "cancelled"
                return f"task failed: {error!r}"
            with contextlib.suppress(FileNotFoundError):
                os.unlink(pieces[index][0])
            del futures[future.key]
        return None
    finally:
        if futures:
            client.cancel(list(futures.values()))


def _place_piece_on_worker(piece: str, temporary: str, offset: int, size: int) -> int:
    """One task: a piece's bytes copied into the output at `offset`.

    The output is opened, never created: once the client has removed it, a
    late task fails instead of leaving a file behind.
    """
    source = os.open(piece, os.O_RDONLY | os.O_CLOEXEC)
    try:
        output = os.open(temporary, os.O_WRONLY | os.O_CLOEXEC)
        try:
            # Made durable by the client's fsync of the whole output (and on a
            # network file system, by this close).
            _copy_range(source, output, size, offset)
        finally:
            os.close(output)
    finally:
        os.close(source)
    return size


def _write_all_at(descriptor: int, data: bytes, offset: int) -> None:
    view = memoryview(data)
    while view:
        written = os.pwrite(descriptor, view, offset)
        view, offset = view[written:], offset + written


def _copy_range(source: int, output: int, size: int, offset: int) -> None:
    """Copies `size` bytes from the start of `source` to `offset` in `output`,
    in the kernel when it can (copy_file_range), else a block at a time."""
    done = 0
    kernel_copy = getattr(os, "copy_file_range", None)
    while done < size:
        if kernel_copy is not None:
            try:
                copied = kernel_copy(source, output, size - done, done, offset + done)
            except OSError:
                kernel_copy = None  # across file systems, say
                continue
        else:
            block = os.pread(source, min(size - done, 8 << 20), done)
            copied = len(block)
            if copied:
                _write_all_at(output, block, offset + done)
        if copied == 0:
            raise OSError(0, "a piece ended early")
        done += copied


def _remove_folder(folder: str) -> None:
    """Removes `folder` and what is in it, even while late tasks still write there."""
    for _ in range(50):
        try:
            shutil.rmtree(folder)
        except FileNotFoundError:
            return
        except OSError:
            time.sleep(0.1)  # a late task made a file between listing and removal
            continue
        return
