"""The `vrex` command: convert CSV files into .vrex files, and look inside .vrex files.

Exit status: 0 when every file converted (or the file was read), 1 when some
file failed (each failure is one line on standard error), 2 for usage errors.
"""

from __future__ import annotations

import argparse
import contextlib
import functools
import os
import signal
import sys
import tempfile
import unicodedata
from collections.abc import Callable, Sequence
from concurrent.futures import ProcessPoolExecutor, as_completed
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass
from typing import IO, Any

STDIO = "-"
DEFAULT_CHUNK_SIZE = 10000
DEFAULT_SAMPLE_ROWS = 1000
_UINT64_MAX = 2**64 - 1


# ---------------------------------------------------------------------------
# Converting one file: shared by the command and the cluster recipe.


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
        data = sys.stdin.buffer.read() if source == STDIO else _read(source)
    except OSError as error:
        return FileResult(source, target, f"cannot read: {_reason(error)}")
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
        return FileResult(source, target, f"cannot write {target}: {_reason(error)}")
    return FileResult(source, target, None, input_size, len(vrex_bytes))


def _convert_file_to_file(source, target, chunk_size, sample_rows, threads, progress) -> FileResult:
    from vrex._convert import convert_file as stream_file

    try:
        input_size = os.path.getsize(source)
        with open(source, "rb"):
            pass
    except OSError as error:
        return FileResult(source, target, f"cannot read: {_reason(error)}")
    try:
        stream_file(source, target, chunk_size, sample_rows, threads=threads, progress=progress)
    except (KeyboardInterrupt, SystemExit):
        raise
    except ValueError as error:
        return FileResult(source, target, str(error), input_size)
    except MemoryError:
        return FileResult(source, target, "out of memory", input_size)
    except OSError as error:
        return FileResult(source, target, f"cannot write {target}: {_reason(error)}")
    except BaseException as error:  # an internal fault of the converter
        return FileResult(source, target, f"internal error: {error}", input_size)
    return FileResult(source, target, None, input_size, os.path.getsize(target))


def _read(path: str) -> bytes:
    with open(path, "rb") as stream:
        return stream.read()


def _reason(error: OSError) -> str:
    return error.strerror or str(error)


def write_atomically(path: str, data: bytes) -> None:
    """Write `data` to `path` through a temporary file in the same folder and a rename."""
    folder, name = os.path.split(path)
    descriptor, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".tmp", dir=folder or ".")
    try:
        with os.fdopen(descriptor, "wb") as stream:
            # mkstemp makes the file private; give it the mode a plain open() would.
            os.fchmod(stream.fileno(), 0o666 & ~_umask())
            stream.write(data)
            stream.flush()
            os.fsync(stream.fileno())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise


@functools.cache
def _umask() -> int:
    # Read without setting it where the system tells: setting it briefly would
    # race with other threads of the process creating files.
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


# ---------------------------------------------------------------------------
# Command line


def _whole_number(minimum: int):
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"must be at least {minimum}, not {value}")
        if value > _UINT64_MAX:
            raise argparse.ArgumentTypeError(f"must be at most {_UINT64_MAX}")
        return value

    return parse


def _version() -> str:
    try:
        from importlib.metadata import version

        return version("vrex")
    except Exception:  # running from a source tree without package metadata
        return "unknown"


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="vrex",
        description="Convert CSV files into VREX binary table files, and look inside them.",
        epilog="Run 'vrex COMMAND --help' for the options of a command.",
    )
    parser.add_argument("--version", action="version", version=f"vrex {_version()}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    convert = commands.add_parser(
        "convert",
        help="convert CSV files into .vrex files",
        description=(
            "Convert CSV files (UTF-8, first row the column names) into .vrex files.\n"
            "Several files convert in parallel, one process per core. Each output is\n"
            "written under a temporary name and renamed when complete, so a failed\n"
            "conversion leaves no partial file and an existing output untouched."
        ),
        epilog=(
            "examples:\n"
            "  vrex convert orders.csv                 writes orders.vrex\n"
            "  vrex convert data/*.csv                 each beside its input, in parallel\n"
            "  vrex convert orders.csv -o out.vrex\n"
            "  vrex convert data/*.csv -o converted/   the outputs into a folder\n"
            "  vrex convert - < orders.csv > orders.vrex\n"
            "\n"
            "exit status: 0 all converted, 1 some failed (one line each on standard\n"
            "error), 2 usage error"
        ),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    convert.set_defaults(command_parser=convert)
    convert.add_argument(
        "inputs", nargs="+", metavar="IN.csv", help="CSV files to convert; '-' reads standard input"
    )
    convert.add_argument(
        "-o",
        "--output",
        metavar="OUT",
        help=(
            "the output file, '-' for standard output, or an existing folder to write "
            "into (a folder when there are several inputs); default: beside each "
            "input, its name with the suffix replaced by .vrex (standard output for "
            "standard input)"
        ),
    )
    convert.add_argument(
        "--chunk-size",
        type=_whole_number(1),
        default=DEFAULT_CHUNK_SIZE,
        metavar="N",
        help=f"rows per table slice (default {DEFAULT_CHUNK_SIZE})",
    )
    convert.add_argument(
        "--sample-rows",
        type=_whole_number(0),
        default=DEFAULT_SAMPLE_ROWS,
        metavar="N",
        help=f"rows read to choose each column's type (default {DEFAULT_SAMPLE_ROWS})",
    )

    inspect = commands.add_parser(
        "inspect",
        help="show the schema, rows, slices and invalid cells of a .vrex file",
        description=(
            "Show what a .vrex file holds: size, rows, table slices, and per column its "
            "name, type and count of invalid cells."
        ),
    )
    inspect.add_argument(
        "file", metavar="FILE.vrex", help="the file to read; '-' reads standard input"
    )
    inspect.add_argument(
        "--head",
        type=_whole_number(0),
        default=0,
        metavar="N",
        help="also print the first N rows as a table (invalid cells are blank)",
    )
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    options = parser.parse_args(argv)
    try:
        if options.command == "convert":
            return _convert_command(options)
        return _inspect_command(options)
    except KeyboardInterrupt:
        print("vrex: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (`vrex inspect ... | head`); say nothing more.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1


def _plan(inputs: list[str], output: str | None) -> tuple[list[tuple[str, str]], str | None]:
    """(source, target) pairs for the inputs, or the usage error that prevents them."""
    if inputs.count(STDIO) > 1:
        return [], "standard input ('-') can be read only once"
    into_folder = output is not None and output != STDIO and os.path.isdir(output)
    if len(inputs) == 1 and not into_folder:
        source = inputs[0]
        if output is None:
            output = STDIO if source == STDIO else default_target(source)
        elif output.endswith(os.sep):
            return [], f"no such folder: {output}"
        return [(source, output)], None
    if output is not None and not into_folder:
        return [], "with several inputs, -o must name an existing folder"
    if STDIO in inputs:
        return [], "standard input has no file name: convert it on its own"
    return [(source, default_target(source, output)) for source in inputs], None


def _convert_command(options: argparse.Namespace) -> int:
    pairs, problem = _plan(options.inputs, options.output)
    problem = problem or check_targets(pairs)
    if problem is None and any(target == STDIO for _, target in pairs) and sys.stdout.isatty():
        problem = "refusing to write binary data to a terminal: give -o FILE or redirect the output"
    if problem is not None:
        options.command_parser.error(problem)  # exits with status 2, as argparse's own errors

    progress = _Progress(pairs, sys.stderr) if sys.stderr.isatty() else None
    sizes = (options.chunk_size, options.sample_rows)
    failed = 0
    # Closed on the way out, so an interrupt waits for the workers to clean up.
    with contextlib.closing(_run(pairs, sizes, progress)) as results:
        for result in results:
            if not result.ok:
                failed += 1
                line = f"vrex: {_display_name(result.source)}: {result.error}"
                if progress is not None:
                    progress.note(line)
                else:
                    print(line, file=sys.stderr)
            if progress is not None:
                progress.advance(result)
    if progress is not None:
        progress.finish()
    return 1 if failed else 0


def _display_name(source: str) -> str:
    return "<stdin>" if source == STDIO else source


def _run(pairs: list[tuple[str, str]], sizes: tuple[int, int], progress: _Progress | None):
    """Results as the conversions finish: in this process for one file, else in a pool."""
    if len(pairs) == 1:
        source, target = pairs[0]
        if progress is not None:
            progress.draw()
        yield convert_file(source, target, *sizes,
                           progress=progress.partial if progress is not None else None)
        return
    workers = min(os.cpu_count() or 1, len(pairs))
    executor = ProcessPoolExecutor(max_workers=workers, initializer=_start_worker)
    try:
        futures = {
            executor.submit(_convert_in_worker, source, target, *sizes): (source, target)
            for source, target in pairs
        }
        if progress is not None:
            progress.draw()
        for future in as_completed(futures):
            source, target = futures[future]
            try:
                yield future.result()
            except BrokenProcessPool:
                yield FileResult(source, target, "the conversion process died (out of memory?)")
    finally:
        executor.shutdown(wait=True, cancel_futures=True)


# A worker turns Ctrl-C into KeyboardInterrupt only while it converts (so the
# conversion can remove its temporary file); idle, it waits for the pool to end.
_converting = False


def _start_worker() -> None:
    signal.signal(signal.SIGINT, _on_worker_interrupt)


def _on_worker_interrupt(signum, frame) -> None:
    if _converting:
        raise KeyboardInterrupt


def _convert_in_worker(source: str, target: str, chunk_size: int, sample_rows: int) -> FileResult:
    global _converting
    _converting = True
    try:
        # Files convert side by side, one thread each.
        return convert_file(source, target, chunk_size, sample_rows, threads=1)
    except KeyboardInterrupt:
        return FileResult(source, target, "interrupted")
    finally:
        _converting = False


class _Progress:
    """A one-line progress bar on a terminal: files and CSV bytes done."""

    def __init__(self, pairs: list[tuple[str, str]], stream: IO[str]) -> None:
        self._stream = stream
        self._files = len(pairs)
        self._sizes = {source: _size(source) for source, _ in pairs}
        self._total_bytes = sum(self._sizes.values())
        self._done_files = 0
        self._done_bytes = 0
        self._failed = 0
        self._written_bytes = 0
        self._partial_bytes = 0

    def partial(self, done: int, total: int) -> None:
        """Bytes done of the one file converting in this process."""
        self._partial_bytes = done
        self.draw()

    def advance(self, result: FileResult) -> None:
        self._partial_bytes = 0
        self._done_files += 1
        self._done_bytes += self._sizes.get(result.source, 0)
        self._written_bytes += result.output_bytes
        self._failed += not result.ok
        self.draw()

    def note(self, line: str) -> None:
        self._clear()
        print(line, file=self._stream)
        self.draw()

    def draw(self) -> None:
        width = _terminal_width(self._stream)
        done_bytes = self._done_bytes + self._partial_bytes
        share = (
            done_bytes / self._total_bytes
            if self._total_bytes
            else (self._done_files / self._files)
        )
        text = (
            f" {self._done_files}/{self._files} files"
            f"  {_megabytes(done_bytes)}/{_megabytes(self._total_bytes)} MB"
        )
        if self._failed:
            text += f"  {self._failed} failed"
        bar_width = max(10, min(40, width - len(text) - 8))
        filled = round(share * bar_width)
        line = f"vrex [{'#' * filled}{'.' * (bar_width - filled)}]{text}"
        # Padded to the full width: the line it overwrites may have been longer.
        self._stream.write("\r" + line[: width - 1].ljust(width - 1))
        self._stream.flush()

    def finish(self) -> None:
        self._clear()
        converted = self._done_files - self._failed
        summary = (
            f"vrex: converted {converted} of {self._files} file{'s' if self._files != 1 else ''}"
            f" ({_megabytes(self._done_bytes)} MB of CSV into {_megabytes(self._written_bytes)} MB)"
        )
        print(summary, file=self._stream)

    def _clear(self) -> None:
        self._stream.write("\r" + " " * (_terminal_width(self._stream) - 1) + "\r")


def _size(source: str) -> int:
    if source == STDIO:
        return 0
    try:
        return os.path.getsize(source)
    except OSError:
        return 0


def _megabytes(count: int) -> str:
    return f"{count / 1e6:.1f}"


def _terminal_width(stream: IO[str]) -> int:
    try:
        return os.get_terminal_size(stream.fileno()).columns or 80
    except (OSError, ValueError):
        return 80


# ---------------------------------------------------------------------------
# inspect


def _inspect_command(options: argparse.Namespace) -> int:
    import vrex

    name = _display_name(options.file)
    try:
        data = sys.stdin.buffer.read() if options.file == STDIO else _read(options.file)
    except OSError as error:
        print(f"vrex: {name}: cannot read: {_reason(error)}", file=sys.stderr)
        return 1
    try:
        table = vrex.read(data)
    except ValueError as error:
        print(f"vrex: {name}: {error}", file=sys.stderr)
        return 1
    print(describe(table, name, len(data)))
    if options.head and table.columns:
        print()
        print(format_head(table, options.head))
    return 0


def describe(table: Any, name: str, size: int) -> str:
    """The summary and the schema table that `vrex inspect` prints."""
    major, minor = table.version
    columns = list(table)
    lines = [
        f"file     {name} ({size:,} bytes, version {major}.{minor})",
        f"rows     {table.num_rows:,}",
        f"slices   {_describe_slices(table.slice_rows)}",
        f"columns  {len(columns):,}",
        "",
    ]
    rows = [["name", "type", "invalid"]]
    rows += [[_printable(c.name), c.type, f"{c.invalid_count:,}"] for c in columns]
    lines += _align(rows, right={2})
    return "\n".join(lines)


def _describe_slices(slice_rows: list[int]) -> str:
    """'3 of 1,000 rows each', or runs such as '10,000 rows x 4, 17 rows' when they differ."""
    if not slice_rows:
        return "0"
    if len(slice_rows) == 1:
        return f"1 of {slice_rows[0]:,} rows"
    if len(set(slice_rows)) == 1:
        return f"{len(slice_rows):,} of {slice_rows[0]:,} rows each"
    runs: list[list[int]] = []
    for rows in slice_rows:
        if runs and runs[-1][0] == rows:
            runs[-1][1] += 1
        else:
            runs.append([rows, 1])
    shown = [
        f"{rows:,} row{'s' if rows != 1 else ''}" + (f" x {count:,}" if count > 1 else "")
        for rows, count in runs[:6]
    ]
    if len(runs) > 6:
        shown.append("...")
    return f"{len(slice_rows):,}: " + ", ".join(shown)


_NUMERIC_TYPES = {
    "Int",
    "Long",
    "Float",
    "Double",
    "Decimal",
    "DateTime",
    "Date",
    "Time",
    "TimeSpan",
}
_CELL_WIDTH = 30


def format_head(table: Any, count: int) -> str:
    """The first `count` rows as an aligned text table; invalid cells are blank."""
    columns = list(table)
    count = min(count, table.num_rows)
    rows = [[_printable(c.name) for c in columns]]
    cells_by_column = [_head_cells(column, count) for column in columns]
    rows += [[cells[k] for cells in cells_by_column] for k in range(count)]
    right = {k for k, c in enumerate(columns) if c.type in _NUMERIC_TYPES}
    return "\n".join(_align(rows, right))


def _head_cells(column: Any, count: int) -> list[str]:
    values = column.values[:count]
    values = values.tolist() if hasattr(values, "tolist") else list(values)
    invalid = column.is_invalid[:count]
    cells = []
    for value, flagged in zip(values, invalid, strict=True):
        if flagged:
            cells.append("")
        elif isinstance(value, (bytes, bytearray)):
            cells.append(_shorten(value.hex()))
        else:
            cells.append(_shorten(_printable(str(value))))
    return cells


def _printable(text: str) -> str:
    """Control characters such as line feeds shown escaped, so a cell stays on its line."""
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


def _shorten(text: str) -> str:
    if _width(text) <= _CELL_WIDTH:
        return text
    kept, used = [], 0
    for character in text:
        used += _width(character)
        if used > _CELL_WIDTH - 1:
            break
        kept.append(character)
    return "".join(kept) + "…"


def _width(text: str) -> int:
    """Terminal columns of a text: wide East Asian characters take two, combining marks none."""
    if text.isascii():
        return len(text)
    total = 0
    for character in text:
        if unicodedata.combining(character):
            continue
        total += 2 if unicodedata.east_asian_width(character) in "WF" else 1
    return total


def _align(rows: list[list[str]], right: set[int]) -> list[str]:
    widths = [max(_width(row[k]) for row in rows) for k in range(len(rows[0]))] if rows[0] else []
    lines = []
    for row in rows:
        cells = []
        for k, cell in enumerate(row):
            padding = " " * (widths[k] - _width(cell))
            cells.append(padding + cell if k in right else cell + padding)
        lines.append("  ".join(cells).rstrip())
    return lines


if __name__ == "__main__":  # pragma: no cover - `python -m vrex` goes through __main__
    sys.exit(main())
